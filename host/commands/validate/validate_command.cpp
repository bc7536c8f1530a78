// `semhost validate FILE`: the selected checks, one line each, then the
// count; the same results in a JUnit and a JSON file when asked for. A
// module that crashes or hangs while loading fails the load check alone,
// and the exit code says the module crashed.
#include "commands/commands.h"
#include "platform/host_platform.h"

#include <chrono>
#include <filesystem>
#include <sstream>
#include <system_error>

namespace {

// Whether writing `output` would overwrite `input`: the same file by its
// identity (device and inode, or what Windows gives for it), however the
// two paths spell it (links, "./", case).
bool SameFile(const std::string& output, const std::string& input) {
    std::error_code error;
    return std::filesystem::equivalent(output, input, error) && !error;
}

}  // namespace

int RunValidate(const std::string& file, const ValidateOptions& options, std::ostream& out,
                std::ostream& err) {
    for (const std::string* report : {&options.junit_path, &options.json_path}) {
        if (report->empty() || !SameFile(*report, file)) continue;
        err << "semhost: " << *report << ": is the module under test; the report would overwrite it\n";
        return EXIT_BAD_INPUT;
    }
    if (!options.junit_path.empty() && options.junit_path == options.json_path) {
        err << "semhost: " << options.json_path << ": named for both the JUnit and the JSON report\n";
        return EXIT_BAD_INPUT;
    }
    const auto started = std::chrono::system_clock::now();
    const auto began = std::chrono::steady_clock::now();
    HostClock clock = options.clock_given ? HostClock(options.clock) : HostClock::ModuleDefault();
    int failure = EXIT_BAD_INPUT;
    std::ostringstream load_problem;
    std::unique_ptr<HostedModule> module = HostedModule::Open(file, clock, load_problem, failure);
    err << load_problem.str();
    if (module == nullptr && failure != EXIT_CRASHED) return failure;
    // Later copies load as the first did; a problem they meet is reported
    // as the checks they could not run.
    const ModuleOpener open = [&](const LibraryOptions& library_options, std::string& problem) {
        std::ostringstream reason;
        HostingOptions hosting;
        hosting.library = library_options;
        int ignored = EXIT_OK;
        std::unique_ptr<HostedModule> copy = HostedModule::Open(file, clock, reason, ignored, hosting);
        problem = reason.str();
        while (!problem.empty() && problem.back() == '\n') problem.pop_back();
        return copy;
    };
    ValidationReport report;
    report.module = file;
    report.seed = options.seed;
    report.cycles = options.cycles;
    report.back_end = module != nullptr ? module->library().back_end() : ModuleLibrary::BackEndFor(file);
    // A module that crashed or hung while loading settles the clock as one
    // that loaded would have.
    if (module == nullptr) clock.Settle(report.back_end.rfind("emulated", 0) == 0);
    report.clock = clock.mode() == HostClock::Mode::Virtual ? "virtual" : "real";
    report.strict = options.strict;
    report.hostname = host_platform::HostName();
    report.started = started;
    out << "semhost validate " << file << ": " << report.back_end << ", "
        << Counted(options.cycles, "cycle", "cycles") << ", seed " << options.seed << ", " << report.clock
        << " clock" << (options.strict ? ", strict (a warning fails)" : "") << "\n";
    if (module != nullptr) {
        ValidateModule(std::move(module), open, clock, options, report, out);
    } else {
        // The load is the failed check; its one line on standard error is
        // Open's.
        std::string fault = load_problem.str();
        const std::string prefix = "semhost: " + file + ": ";
        if (fault.rfind(prefix, 0) == 0) fault.erase(0, prefix.size());
        while (!fault.empty() && fault.back() == '\n') fault.pop_back();
        ReportLoadFault(fault, report, out);
    }
    report.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    const bool failed = report.Failed();
    if (failed && failure != EXIT_CRASHED) {
        // As every failure: one line on standard error, here naming the
        // checks whose FAIL (or, under --strict, WARN) lines are on
        // standard output.
        std::string told;
        for (const CheckStatus status : {CheckStatus::Failed, CheckStatus::Warned}) {
            std::string ids;
            for (const CheckResult& check : report.checks)
                if (check.status == status && report.Fails(check)) ids += (ids.empty() ? "" : ", ") + check.id;
            if (ids.empty()) continue;
            told += std::string(told.empty() ? "" : "; ") + Counted(report.Count(status), "check", "checks") + " " +
                    (status == CheckStatus::Failed ? "failed" : "warned, which --strict fails") + " (" + ids + ")";
        }
        err << "semhost: " << file << ": " << told << "\n";
    }
    bool written = true;
    if (!options.junit_path.empty() && !WriteJUnitReport(options.junit_path, report)) {
        err << "semhost: " << options.junit_path << ": cannot write the report\n";
        written = false;
    }
    if (!options.json_path.empty() && !WriteJsonReport(options.json_path, report)) {
        err << "semhost: " << options.json_path << ": cannot write the report\n";
        written = false;
    }
    // A failed check still says so: a report's trouble must not hide it.
    if (failure == EXIT_CRASHED) return EXIT_CRASHED;
    if (failed) return EXIT_FAILED;
    return written ? EXIT_OK : EXIT_BAD_INPUT;
}
