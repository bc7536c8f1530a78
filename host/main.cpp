#include "platform/host_platform.h"
#include "library/isolated/child_entry.h"
#include "commands/semhost.h"

#include <iostream>

int main(int argc, char** argv) {
    // Windows: this may be the process of a module semhost started.
    ServeAsModuleProcessIfStartedSo(argc, argv);
    const std::vector<std::string> args(argv + 1, argv + argc);
    const int exit_code = RunSemhost(args, std::cout, std::cerr);
    host_platform::ReleaseHeldKeys();
    return exit_code;
}
