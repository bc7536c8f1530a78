#include "reports/junit_report.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <fstream>

namespace {

// The length of the valid UTF-8 sequence at `at`, or 0 when it is not one
// (overlong forms, surrogates and values past U+10FFFF are not).
std::size_t Utf8SequenceLength(const std::string& text, std::size_t at) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(at);
    std::size_t length;
    std::uint32_t value;
    if (lead < 0x80) return 1;
    if (lead >= 0xC2 && lead <= 0xDF) length = 2, value = lead & 0x1F;
    else if (lead >= 0xE0 && lead <= 0xEF) length = 3, value = lead & 0x0F;
    else if (lead >= 0xF0 && lead <= 0xF4) length = 4, value = lead & 0x07;
    else return 0;
    if (at + length > text.size()) return 0;
    for (std::size_t i = 1; i < length; ++i) {
        if ((byte(at + i) & 0xC0) != 0x80) return 0;
        value = value << 6 | (byte(at + i) & 0x3F);
    }
    const std::uint32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (value < smallest[length] || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return 0;
    return length;
}

// Text for an attribute: markup characters as entities, and bytes XML
// cannot hold (control characters, bytes that are not UTF-8, as a module's
// texts may be) written out as "\xNN", so that the file always parses.
std::string Escape(const std::string& text) {
    std::string escaped;
    for (std::size_t i = 0; i < text.size();) {
        const char c = text[i];
        const std::size_t length = Utf8SequenceLength(text, i);
        const bool control = static_cast<unsigned char>(c) < 0x20 && c != '\t' && c != '\n';
        if (length == 0 || control) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", static_cast<unsigned>(static_cast<unsigned char>(c)));
            escaped += hex;
            ++i;
            continue;
        }
        switch (c) {
        case '&': escaped += "&amp;"; break;
        case '<': escaped += "&lt;"; break;
        case '>': escaped += "&gt;"; break;
        case '"': escaped += "&quot;"; break;
        case '\'': escaped += "&apos;"; break;
        case '\n': escaped += "&#10;"; break;
        case '\t': escaped += "&#9;"; break;
        default: escaped.append(text, i, length);
        }
        i += length;
    }
    return escaped;
}

// Seconds as xs:decimal wants them: digits, a point, no exponent.
std::string Seconds(double seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", seconds > 0 ? seconds : 0.0);
    return text;
}

// The start as the schema's timestamp: UTC, to the second, no zone.
std::string Timestamp(std::chrono::system_clock::time_point when) {
    const std::time_t seconds = std::chrono::system_clock::to_time_t(when);
    const std::tm* utc = std::gmtime(&seconds);
    char text[32] = "1970-01-01T00:00:00";
    if (utc != nullptr) std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", utc);
    return text;
}

}  // namespace

bool WriteJUnitReport(const std::string& path, const ValidationReport& report) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) return false;
    int failures = 0;
    for (const CheckResult& check : report.checks) failures += report.Fails(check);
    // The attributes and elements the strict (Ant) schema asks for, in its
    // order; a suite-level `skipped` count is not among them, and readers
    // count the <skipped> cases themselves.
    out << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
    out << "<testsuite name=\"" << Escape("semhost validate " + report.module) << "\" tests=\""
        << report.checks.size() << "\" failures=\"" << failures << "\" errors=\"0\" time=\"" << Seconds(report.seconds)
        << "\" timestamp=\"" << Timestamp(report.started) << "\" hostname=\""
        << Escape(report.hostname.empty() ? "localhost" : report.hostname) << "\">\n";
    // What a failure seen in CI is replayed from.
    out << "  <properties>\n";
    const std::pair<const char*, std::string> properties[] = {{"seed", std::to_string(report.seed)},
                                                              {"cycles", std::to_string(report.cycles)},
                                                              {"clock", report.clock},
                                                              {"back_end", report.back_end},
                                                              {"strict", report.strict ? "true" : "false"}};
    for (const auto& [name, value] : properties)
        out << "    <property name=\"" << name << "\" value=\"" << Escape(value) << "\"/>\n";
    out << "  </properties>\n";
    // The format has no warning: a warned check is a passed case (or,
    // under --strict, a failure), and the suite's output says the warning.
    std::string warnings;
    for (const CheckResult& check : report.checks) {
        out << "  <testcase classname=\"semhost.validate\" name=\"" << Escape(check.id) << "\" time=\""
            << Seconds(check.seconds) << "\"";
        if (check.warned())
            warnings += "WARN  " + check.id + ": " + check.reason + "\n      replay: " + report.ReplayCommand(check) + "\n";
        if (check.status == CheckStatus::Skipped) {
            out << ">\n    <skipped message=\"" << Escape(check.reason) << "\"/>\n  </testcase>\n";
        } else if (report.Fails(check)) {
            const bool warned = check.warned();
            out << ">\n    <failure message=\"" << Escape(warned ? "warning: " + check.reason : check.reason)
                << "\" type=\"" << (warned ? "warning (--strict)" : "check failed") << "\">replay: "
                << Escape(report.ReplayCommand(check)) << "</failure>\n  </testcase>\n";
        } else {
            out << "/>\n";
        }
    }
    out << "  <system-out>" << Escape(warnings) << "</system-out>\n";
    out << "  <system-err></system-err>\n";
    out << "</testsuite>\n";
    out.flush();
    return static_cast<bool>(out);
}
