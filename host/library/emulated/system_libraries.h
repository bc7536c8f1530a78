// The libraries that Windows itself ships: a module may import any of them,
// as every user's machine has them. semhost stands in for a few functions
// of a few of them (system_stand_ins.h); the rest load, and fault when called.
#pragma once

#include <string>

// True for a library Windows ships (case-insensitive; a name without an
// extension means ".dll", as the Windows loader takes it). Compiler
// runtimes and other libraries an installer must bring are not.
bool IsSystemLibrary(const std::string& library);
