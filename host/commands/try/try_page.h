// The page `semhost try` serves: one self-contained HTML document (style
// and script inline) that draws any module's pins from the session's
// messages and sends a person's actions back. Its picture of pins over time
// is the session picture's own drawing code (session_picture.h).
#pragma once

#include <string>

const std::string& TryPageHtml();
