// The refusal of an output file, before the command that writes it runs.
#include "commands/commands.h"

#include <filesystem>
#include <fstream>
#include <system_error>

bool CheckOutputFile(const std::string& path, const std::vector<std::string>& inputs, std::ostream& err) {
    namespace fs = std::filesystem;
    std::error_code error;
    for (const std::string& input : inputs) {
        if (input.empty()) continue;
        const bool same = fs::exists(path, error) && fs::exists(input, error)
                              ? fs::equivalent(path, input, error)
                              : fs::weakly_canonical(path, error) == fs::weakly_canonical(input, error);
        if (same) {
            err << "semhost: " << path << ": is an input of the command (" << input << "); it is not overwritten\n";
            return false;
        }
    }
    if (fs::is_directory(path, error)) {
        err << "semhost: " << path << ": is a folder; cannot write the file\n";
        return false;
    }
    const bool existed = fs::exists(path, error);
    {
        // Appending changes nothing in a file that is there.
        std::ofstream probe(path, std::ios::binary | std::ios::app);
        if (!probe) {
            err << "semhost: " << path << ": cannot write the file\n";
            return false;
        }
    }
    if (!existed) fs::remove(path, error);
    return true;
}
