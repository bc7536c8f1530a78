#include "reports/session_picture.h"

#include "reports/session_json.h"

#include <fstream>

namespace {

std::string EscapeHtml(const std::string& text) {
    std::string escaped;
    for (const char c : text) {
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
        default:
            escaped += c;
        }
    }
    return escaped;
}

}  // namespace

std::string SessionPictureHtml(const SessionRecord& record, const std::string& summary) {
    const std::string data = SessionJsonForHtml(SessionRecordJson(record, summary));
    std::string html;
    html += "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n";
    // Nothing may be fetched: the page is whole as it is.
    html +=
        "<meta http-equiv=\"Content-Security-Policy\" content=\"default-src 'none'; "
        "script-src 'unsafe-inline'; style-src 'unsafe-inline'; img-src data:\">\n";
    html += "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n";
    html +=
        "<title>" + EscapeHtml(record.command) + ": " + EscapeHtml(record.module_name + " (" + record.script + ")") + "</title>\n";
    html += "<style>\n";
    html += SessionPictureStyle();
    html += "</style>\n</head>\n<body>\n<div id=\"session\"></div>\n";
    html +=
        "<noscript><p>The picture is drawn by the page's script; this browser runs none.</p></noscript>\n";
    html += "<script type=\"application/json\" id=\"session-data\">" + data + "</script>\n";
    html += "<script>\n";
    html += SessionPictureScript();
    html += "\nrender(JSON.parse(document.getElementById(\"session-data\").textContent));\n</script>\n";
    html += "</body>\n</html>\n";
    return html;
}

bool WriteSessionPicture(const std::string& path, const SessionRecord& record, const std::string& summary) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) return false;
    out << SessionPictureHtml(record, summary);
    out.flush();
    return static_cast<bool>(out);
}
