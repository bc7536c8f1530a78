// Where a program becomes the process that holds an isolated module.
// Linux forks, and the fork serves the module. Windows has no fork: semhost
// starts its own executable again with a hidden argument, and that copy
// serves the module, so every program that runs semhost's commands (semhost
// itself, and the test programs) calls this first in main().
#pragma once

// The hidden argument, followed by the two pipe handles the child inherits
// (from semhost, to semhost) in decimal.
inline constexpr char kModuleProcessArgument[] = "--semhost-module-process";

// When this process was started as a module's process, serves the module
// and never returns. Otherwise returns, and from then on the program may
// start copies of itself as module processes.
void ServeAsModuleProcessIfStartedSo(int argc, char** argv);

// True once ServeAsModuleProcessIfStartedSo has returned in this process. A
// program whose main() does not call it cannot be its own child: it would
// run as itself again instead.
bool CanServeAsModuleProcess();
