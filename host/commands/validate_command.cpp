// `semhost validate FILE`: every check, one line each, then the count.
#include "commands.h"

int RunValidate(const std::string& file, const ValidateOptions& options, std::ostream& out,
                std::ostream& err) {
    HostClock clock;
    const std::unique_ptr<ModuleLibrary> library = OpenModuleFile(file, clock, err);
    if (library == nullptr) return EXIT_BAD_INPUT;
    out << "semhost validate " << file << ": " << options.cycles << " cycles, seed " << options.seed << '\n';
    const std::vector<CheckResult> results = ValidateModule(*library, clock, options, out);
    if (!options.junit_path.empty() &&
        !WriteJUnitReport(options.junit_path, "semhost validate " + file, results)) {
        err << "semhost: " << options.junit_path << ": cannot write the report\n";
        return EXIT_BAD_INPUT;
    }
    for (const CheckResult& result : results)
        if (!result.passed) return EXIT_FAILED;
    return EXIT_OK;
}
