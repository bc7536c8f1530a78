// The exit codes of every semhost command.
#pragma once

enum ExitCode {
    EXIT_OK = 0,
    EXIT_FAILED = 1,     // a check or an expectation failed
    EXIT_BAD_INPUT = 2,  // the file or script cannot be used; wrong arguments
    EXIT_CRASHED = 3,    // the module crashed or hung where it could not be reported as a check
    // Interrupted: this and the signal's number, as a shell counts it (130
    // for SIGINT or Ctrl-C, 143 for SIGTERM); the objects were closed.
    EXIT_INTERRUPTED = 128,
};
