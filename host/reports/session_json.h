// The session's record as one JSON object: the data the picture's drawing
// code takes (render(data) in session_picture.js), and that a live page can
// send again as the session goes on.
#pragma once

#include "session_record.h"

#include <nlohmann/json.hpp>
#include <string>

nlohmann::json SessionRecordJson(const SessionRecord& record, const std::string& summary);

// The JSON's text, safe to stand inside an HTML <script> element: every '<'
// is written as \u003c, and bytes that are not UTF-8 (a module's texts may
// have them) as U+FFFD.
std::string SessionJsonForHtml(const nlohmann::json& data);
