// semhost: a host stand-in that loads a module library of this plug-in
// format and drives it as a host does. RunSemhost is the whole program
// behind main, so tests can run it in-process.
#pragma once

#include <ostream>
#include <string>
#include <vector>

// Runs one command line (without the program's name); returns the exit code.
int RunSemhost(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);
