#include "semhost_test_support.h"

#include "semhost.h"

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
