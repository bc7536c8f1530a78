#include "commands/try/try_page.h"

#include "reports/session_picture.h"

#include <array>

const TryPageFile* FindTryPageFile(std::string_view path) {
    static const std::array<TryPageFile, 6> files = {{
        {"/", "text/html; charset=utf-8", TryPageHtml()},
        {"/try_page.js", "text/javascript; charset=utf-8", TryPageScript()},
        {"/try_page.css", "text/css; charset=utf-8", TryPageStyle()},
        // The player of the Listen switch, an AudioWorklet module: the
        // policy's script-src 'self' admits it like the page's script.
        {"/try_player.js", "text/javascript; charset=utf-8", TryPlayerScript()},
        {"/session_picture.js", "text/javascript; charset=utf-8", SessionPictureScript()},
        {"/session_picture.css", "text/css; charset=utf-8", SessionPictureStyle()},
    }};
    for (const TryPageFile& file : files)
        if (file.path == path) return &file;
    return nullptr;
}
