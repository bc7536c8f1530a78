// `semhost validate FILE`: every check, one line each, then the count.
#include "commands.h"

#include <sstream>

int RunValidate(const std::string& file, const ValidateOptions& options, std::ostream& out,
                std::ostream& err) {
    HostClock clock;
    int failure = EXIT_BAD_INPUT;
    std::unique_ptr<ModuleLibrary> library = OpenModuleFile(file, clock, err, {}, &failure);
    if (library == nullptr) return failure;
    // Later copies load as the first did; a problem they meet is reported
    // as the checks they could not run.
    const ModuleOpener open = [&](const LibraryOptions& library_options, std::string& problem) {
        std::ostringstream reason;
        std::unique_ptr<ModuleLibrary> copy = OpenModuleFile(file, clock, reason, library_options);
        problem = reason.str();
        while (!problem.empty() && problem.back() == '\n') problem.pop_back();
        return copy;
    };
    out << "semhost validate " << file << ": " << options.cycles << " cycles, seed " << options.seed << '\n';
    const std::vector<CheckResult> results = ValidateModule(std::move(library), open, clock, options, out);
    bool failed = false;
    for (const CheckResult& result : results) failed = failed || !result.passed;
    if (failed) {
        // As every failure: one line on standard error, here naming the
        // checks whose FAIL lines are on standard output.
        std::string names;
        int count = 0;
        for (const CheckResult& result : results)
            if (!result.passed) names += (count++ == 0 ? "" : ", ") + result.name;
        err << "semhost: " << file << ": " << count << (count == 1 ? " check" : " checks") << " failed ("
            << names << ")\n";
    }
    if (!options.junit_path.empty() && !WriteJUnitReport(options.junit_path, "semhost validate " + file, results)) {
        err << "semhost: " << options.junit_path << ": cannot write the report\n";
        // A failed check still says so: the report's trouble must not hide it.
        return failed ? EXIT_FAILED : EXIT_BAD_INPUT;
    }
    return failed ? EXIT_FAILED : EXIT_OK;
}
