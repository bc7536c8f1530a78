#include "reports/check_report.h"

const char* CheckStatusName(CheckStatus status) {
    switch (status) {
    case CheckStatus::Passed: return "passed";
    case CheckStatus::Failed: return "failed";
    case CheckStatus::Skipped: return "skipped";
    case CheckStatus::Warned: return "warned";
    }
    return "failed";
}

int ValidationReport::Count(CheckStatus status) const {
    int count = 0;
    for (const CheckResult& check : checks)
        if (check.status == status) ++count;
    return count;
}

bool ValidationReport::Failed() const {
    for (const CheckResult& check : checks)
        if (Fails(check)) return true;
    return false;
}

std::string CountsLine(const ValidationReport& report) {
    return std::to_string(report.Count(CheckStatus::Passed)) + " passed, " +
           std::to_string(report.Count(CheckStatus::Failed)) + " failed, " +
           std::to_string(report.Count(CheckStatus::Skipped)) + " skipped, " +
           std::to_string(report.Count(CheckStatus::Warned)) + " warned";
}

namespace {

// A word as a POSIX shell reads it back: as it is when it holds only safe
// characters, else in single quotes.
std::string ShellWord(const std::string& word) {
    if (!word.empty() && word.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
                                                "0123456789_-./:+,=@%") == std::string::npos)
        return word;
    std::string quoted = "'";
    for (const char c : word) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

}  // namespace

std::string ValidationReport::ReplayCommand(const CheckResult& check) const {
    std::string command = "semhost validate " + ShellWord(module) + " --seed " + std::to_string(seed);
    if (cycles != 3) command += " --cycles " + std::to_string(cycles);
    if (clock == "real" && back_end.rfind("emulated", 0) == 0) command += " --clock real";
    if (strict) command += " --strict";
    return command + " --only " + check.id;
}

std::string Counted(long long count, const std::string& singular, const std::string& plural) {
    return std::to_string(count) + " " + (count == 1 ? singular : plural);
}
