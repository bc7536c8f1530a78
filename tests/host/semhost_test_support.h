// Runs semhost commands in-process and finds the test fixtures.
#pragma once

#include <map>
#include <set>
#include <string>
#include <vector>

struct CommandResult {
    int code = -1;
    std::string out;
    std::string err;
};

CommandResult RunCommand(const std::vector<std::string>& args);

// The fixture module built with one fault ("wrong_magic") or none ("good").
std::string FixturePath(const std::string& fault);

// The audio fixture built with one fault ("nan") or none ("sound"): the
// native build, then, where the emulator runs, the i386 one.
std::vector<std::string> AudioFixturePaths(const std::string& fault);

// Writes a file under the build folder and returns its path.
std::string WriteScratchFile(const std::string& name, const std::string& text);

// The checked-in script of that name under tests/host/scripts.
std::string ScriptPath(const std::string& name);

// The output line that starts with `prefix`, or "" when there is none.
std::string LineStartingWith(const std::string& output, const std::string& prefix);

// validate's verdict on each check, by id: "passed", "failed", "skipped" or
// "warned".
std::map<std::string, std::string> CheckStatuses(const std::string& output);
// The ids of validate's audio checks, which a module without a DT_FSAMPLE
// pin gets as not run.
const std::set<std::string>& AudioCheckIds();
// The ids of the checks validate failed.
std::set<std::string> FailedChecks(const std::string& output);
// The reason on a check's line ("PASS  id: reason"), or "" when the check
// has no line.
std::string CheckReason(const std::string& output, const std::string& id);
