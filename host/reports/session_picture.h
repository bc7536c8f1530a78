// The picture of a session: one self-contained HTML file that draws a lane
// per pin over the session's time, the host's steps along the top, the
// module's writes, the expectations, held keys and a crash, and shows the
// timeline's lines of the moment pointed at. It loads nothing: its style,
// its drawing code and the session's data are all in the file.
#pragma once

#include "session_record.h"

#include <string>

// The drawing code and its style, as they stand in the page: the code
// defines render(data), which (re)draws the picture from the session's JSON
// (session_json.h), so that a page that gets new data can draw it again.
const char* SessionPictureScript();
const char* SessionPictureStyle();

std::string SessionPictureHtml(const SessionRecord& record, const std::string& summary);

// Returns false when the file cannot be written.
bool WriteSessionPicture(const std::string& path, const SessionRecord& record, const std::string& summary);
