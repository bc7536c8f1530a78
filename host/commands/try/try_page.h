// The files of the page `semhost try` serves: its HTML skeleton, script and
// style (page/, embedded at build time), and the session picture's drawing
// code and style, which draw its picture of pins over time. The page loads
// nothing but these, from the same server.
#pragma once

#include <string_view>

struct TryPageFile {
    std::string_view path;  // "/try_page.js"; "/" for the page itself
    std::string_view content_type;
    std::string_view body;
};

// The file served at `path`, or null.
const TryPageFile* FindTryPageFile(std::string_view path);

// The page's parts, as embedded (page/try_page.html, .js, .css), and the
// Listen switch's player (page/try_player.js), which runs in the page's
// audio thread.
const char* TryPageHtml();
const char* TryPageScript();
const char* TryPageStyle();
const char* TryPlayerScript();
