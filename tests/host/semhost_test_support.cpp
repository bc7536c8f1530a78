#include "semhost_test_support.h"

#include "commands/semhost.h"

#include <fstream>
#include <sstream>

CommandResult RunCommand(const std::vector<std::string>& args) {
    std::ostringstream out;
    std::ostringstream err;
    CommandResult result;
    result.code = RunSemhost(args, out, err);
    result.out = out.str();
    result.err = err.str();
    return result;
}

std::string FixturePath(const std::string& fault) {
    return std::string(SEMHOST_FIXTURE_DIR) + "/fixture_" + fault + SEMHOST_FIXTURE_SUFFIX;
}

std::string WriteScratchFile(const std::string& name, const std::string& text) {
    const std::string path = std::string(SEMHOST_SCRATCH_DIR) + "/" + name;
    std::ofstream(path, std::ios::binary) << text;
    return path;
}

std::string ScriptPath(const std::string& name) { return std::string(SEMHOST_SCRIPT_DIR) + "/" + name; }

std::string LineStartingWith(const std::string& output, const std::string& prefix) {
    std::istringstream lines(output);
    std::string line;
    while (std::getline(lines, line))
        if (line.rfind(prefix, 0) == 0) return line;
    return "";
}

std::map<std::string, std::string> CheckStatuses(const std::string& output) {
    static const std::map<std::string, std::string> kTags = {
        {"PASS  ", "passed"}, {"FAIL  ", "failed"}, {"SKIP  ", "skipped"}, {"WARN  ", "warned"}};
    std::map<std::string, std::string> statuses;
    std::istringstream lines(output);
    std::string line;
    while (std::getline(lines, line)) {
        const auto tag = kTags.find(line.substr(0, 6));
        const std::size_t colon = line.find(": ");
        if (tag == kTags.end() || colon == std::string::npos) continue;
        statuses[line.substr(6, colon - 6)] = tag->second;
    }
    return statuses;
}

const std::set<std::string>& AudioCheckIds() {
    static const std::set<std::string> ids = {
        "finite-output", "subnormal-output", "buffer-bounds",      "inputs-unchanged",    "block-sizes-and-rates",
        "pin-extremes",  "pin-changes-followed", "allocations-in-run", "sleep-while-sounding"};
    return ids;
}

std::set<std::string> FailedChecks(const std::string& output) {
    std::set<std::string> failed;
    for (const auto& [id, status] : CheckStatuses(output))
        if (status == "failed") failed.insert(id);
    return failed;
}

std::string CheckReason(const std::string& output, const std::string& id) {
    for (const char* tag : {"PASS  ", "FAIL  ", "SKIP  ", "WARN  "}) {
        const std::string line = LineStartingWith(output, tag + id + ": ");
        if (!line.empty()) return line.substr(6 + id.size() + 2);
    }
    return "";
}

