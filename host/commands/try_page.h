// The page `semhost try` serves: one self-contained HTML document (style
// and script inline) that draws any module's pins from the session's
// messages and sends a person's actions back.
#pragma once

const char* TryPageHtml();
