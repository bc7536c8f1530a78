// `semhost try` as a whole: the session on the calling thread, the server
// on a thread of its own, until `stop` says so; then the pin values as
// `play` ends with, and the module closed and unloaded as a host does.
#pragma once

#include "commands/try/input_files.h"
#include "commands/try/panel.h"
#include "commands/try/try_server.h"

#include <functional>
#include <ostream>
#include <string>
#include <vector>

struct TryServiceOptions {
    int port = 0;  // 0: any free port
    TryServerLimits limits;
    std::vector<TryInputFile> files;  // --in, read
};

// Returns the command's exit code. `stop` is asked every few milliseconds;
// `listening` (when given) is called once the page is served, with the
// port and the token.
int ServeTry(const std::string& file, const Panel& panel, const TryServiceOptions& options, std::ostream& out,
             std::ostream& err, const std::function<bool()>& stop,
             const std::function<void(int port, const std::string& token)>& listening = {});
