#include "junit_report.h"

#include <fstream>

namespace {

std::string Escape(const std::string& text) {
    std::string escaped;
    for (char c : text) {
        switch (c) {
        case '&':
            escaped += "&amp;";
            break;
        case '<':
            escaped += "&lt;";
            break;
        case '>':
            escaped += "&gt;";
            break;
        case '"':
            escaped += "&quot;";
            break;
        case '\'':
            escaped += "&apos;";
            break;
        default:
            // Control characters other than tab and newline are not allowed in XML.
            if (static_cast<unsigned char>(c) < 0x20 && c != '\t' && c != '\n') {
                escaped += '?';
            } else {
                escaped += c;
            }
        }
    }
    return escaped;
}

}  // namespace

bool WriteJUnitReport(const std::string& path, const std::string& suite,
                      const std::vector<CheckResult>& results) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) return false;
    int failures = 0;
    for (const CheckResult& result : results)
        if (!result.passed) ++failures;
    out << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
    out << "<testsuite name=\"" << Escape(suite) << "\" tests=\"" << results.size() << "\" failures=\""
        << failures << "\" errors=\"0\">\n";
    for (const CheckResult& result : results) {
        out << "  <testcase classname=\"semhost.validate\" name=\"" << Escape(result.name) << "\"";
        if (result.passed) {
            out << "/>\n";
            continue;
        }
        out << ">\n    <failure message=\"" << Escape(result.detail) << "\"/>\n  </testcase>\n";
    }
    out << "</testsuite>\n";
    out.flush();
    return static_cast<bool>(out);
}
