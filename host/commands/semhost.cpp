#include "commands/semhost.h"

#include "commands/validate/check_table.h"
#include "commands/commands.h"
#include "platform/host_platform.h"

#include <cerrno>
#include <cmath>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <set>

namespace {

const char kUsage[] =
    "usage: semhost info FILE\n"
    "       semhost validate FILE [--cycles N] [--seed S] [--clock real|virtual] [--strict]\n"
    "                             [--only ID,...] [--skip ID,...] [--junit OUT.xml] [--json OUT.json]\n"
    "       semhost list-checks [--json]\n"
    "       semhost play FILE [SCRIPT] [--clock real|virtual] [--brief] [--html OUT.html]\n"
    "                    [--trace OUT.json]\n"
    "       semhost try FILE [PANEL] [--port N] [--in [PIN=]IN.wav[:CHANNEL]]...\n"
    "       semhost render FILE [SCRIPT] [--in [PIN=]IN.wav[:CHANNEL]]... [--out [PIN=]OUT.wav]...\n"
    "                      [--set PIN=VALUE]... [--rate HZ] [--block N] [--seconds S]\n"
    "                      [--expect [PIN=]GOLDEN.wav[:CHANNEL]]... [--tolerance T]\n"
    "\n"
    "  info         the module's identity and its pin table as the host sees them\n"
    "  validate     checks the module against the host protocol, one line per check:\n"
    "               PASS, FAIL (with the command line that replays it), WARN (a fault\n"
    "               a host survives, with its replay line; it fails the run only with\n"
    "               --strict) or SKIP (a check the back end cannot make); then a line\n"
    "               \"N passed, N failed, N skipped, N warned\". N from 1 to 1000\n"
    "               (default 3); S from 0 to 18446744073709551615 (there are\n"
    "               no negative seeds: leave --seed out and a fresh one is drawn\n"
    "               and printed)\n"
    "  list-checks  the ids of validate's checks and what each checks\n"
    "  play         plays SCRIPT (or a generic session: each pin changed once, a sine\n"
    "               in each sample input, four blocks run) and prints a timeline, with\n"
    "               one line per sample output per run; --brief prints only the steps,\n"
    "               the module's writes, the runs and the expects; --html writes the\n"
    "               session's picture, a page that opens from disk; --trace writes it\n"
    "               in the Trace Event format (Perfetto, chrome://tracing)\n"
    "  try          serves a page on 127.0.0.1 (the address with its token is printed)\n"
    "               that drives the module's pins, feeds each sample input a generator\n"
    "               (silence, sine, noise, impulse or an --in file, looped), draws each\n"
    "               sample output's scope and plays one; until Ctrl-C. The Windows\n"
    "               build reads no --in files\n"
    "  render       runs the module's audio side over audio files: each --in feeds a\n"
    "               sample input (a file of several channels feeds the sample inputs\n"
    "               from PIN on, in pin order; :CHANNEL, counted from 1, picks one);\n"
    "               each --out writes a sample output (.wav, .aif, .aiff or .flac) in\n"
    "               the first input's encoding (16-bit, 24-bit or float; else float,\n"
    "               and 24-bit for FLAC); no PIN= means the first sample pin. The rate\n"
    "               is the inputs' (without inputs --rate's; default 48000 Hz),\n"
    "               blocks of N samples (default 256); the render ends with the\n"
    "               longest input (the others padded with silence), or lasts S\n"
    "               seconds. --set sets a pin first, then SCRIPT plays along the\n"
    "               render. --expect compares an output with a reference file: exit 1\n"
    "               naming the first sample that differs by more than T (default 0)\n"
    "               as the reference's format holds it. Not in the Windows build.\n"
    "\n"
    "--clock virtual: the module's clock moves only as the host lets it, exactly; the\n"
    "default for modules that run in the emulator. --clock real: the system's time;\n"
    "the default, and the only clock, for native modules.\n"
    "every command takes --timeout-ms N: how long a native module's call, load or\n"
    "unload may take before it counts as hung (default 20000). Every option may also\n"
    "be written --option=value.\n"
    "\n"
    "exit codes: 0 fine (a WARN alone too), 1 a check (or, with --strict, a WARN), an\n"
    "expect or a reference failed, or play noticed a breach of the host contract (a\n"
    "\"!!\" line), 2 bad input, 3 the module crashed or hung (for validate: while\n"
    "loading, which fails the load check)\n";

int UsageError(const std::string& problem, std::ostream& err) {
    err << "semhost: " << problem << '\n' << kUsage;
    return EXIT_BAD_INPUT;
}

bool ParseCount(const std::string& text, long low, long high, long& value) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos || text.size() > 9)
        return false;
    value = std::strtol(text.c_str(), nullptr, 10);
    return value >= low && value <= high;
}

bool ParseSeed(const std::string& text, std::uint64_t& seed) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos || text.size() > 20)
        return false;
    errno = 0;
    seed = std::strtoull(text.c_str(), nullptr, 10);
    return errno == 0;
}

bool ParseClock(const std::string& text, HostClock::Mode& mode) {
    if (text != "real" && text != "virtual") return false;
    mode = text == "virtual" ? HostClock::Mode::Virtual : HostClock::Mode::Real;
    return true;
}

// "a,b,c" into the set; false, with the first unknown id, for an id that
// is no check's.
bool ParseCheckIds(const std::string& text, std::set<std::string>& ids, std::string& unknown) {
    std::size_t start = 0;
    for (;;) {
        const std::size_t comma = text.find(',', start);
        const std::string id = text.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        if (FindCheck(id) == nullptr) {
            unknown = id;
            return false;
        }
        ids.insert(id);
        if (comma == std::string::npos) return true;
        start = comma + 1;
    }
}

std::uint64_t DrawSeed() {
    const auto now = std::chrono::system_clock::now().time_since_epoch().count();
    return static_cast<std::uint64_t>(now) % 1000000000ull;
}

int Validate(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    ValidateOptions options;
    std::string file;
    for (std::size_t i = 1; i < args.size(); ++i) {
        const std::string& arg = args[i];
        const bool has_value = i + 1 < args.size();
        if (arg == "--cycles") {
            long cycles = 0;
            if (!has_value || !ParseCount(args[++i], 1, 1000, cycles))
                return UsageError("--cycles needs a number from 1 to 1000", err);
            options.cycles = static_cast<int>(cycles);
        } else if (arg == "--seed") {
            if (!has_value || !ParseSeed(args[++i], options.seed))
                return UsageError("--seed needs a whole number from 0 to 18446744073709551615", err);
            options.seed_given = true;
        } else if (arg == "--clock") {
            if (!has_value || !ParseClock(args[++i], options.clock))
                return UsageError("--clock needs real or virtual", err);
            options.clock_given = true;
        } else if (arg == "--only" || arg == "--skip") {
            std::string unknown;
            if (!has_value) return UsageError(arg + " needs check ids (semhost list-checks names them)", err);
            if (!ParseCheckIds(args[++i], arg == "--only" ? options.only : options.skip, unknown))
                return UsageError(arg + ": no check has the id \"" + unknown + "\" (semhost list-checks names them)",
                                  err);
        } else if (arg == "--strict") {
            options.strict = true;
        } else if (arg == "--junit" || arg == "--json") {
            if (!has_value || args[i + 1].empty()) return UsageError(arg + " needs a file name", err);
            (arg == "--junit" ? options.junit_path : options.json_path) = args[++i];
        } else if (arg.rfind("--", 0) == 0 || !file.empty()) {
            return UsageError("unexpected argument \"" + arg + "\"", err);
        } else {
            file = arg;
        }
    }
    if (file.empty()) return UsageError("validate needs a FILE", err);
    if (!options.seed_given) options.seed = DrawSeed();
    return RunValidate(file, options, out, err);
}

int ListChecksCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    bool json = false;
    for (std::size_t i = 1; i < args.size(); ++i) {
        if (args[i] != "--json") return UsageError("unexpected argument \"" + args[i] + "\"", err);
        json = true;
    }
    ListChecks(json, out);
    return EXIT_OK;
}

int Info(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    std::string file;
    for (std::size_t i = 1; i < args.size(); ++i) {
        if (args[i].rfind("--", 0) == 0 || !file.empty())
            return UsageError("unexpected argument \"" + args[i] + "\"", err);
        file = args[i];
    }
    if (file.empty()) return UsageError("info needs a FILE", err);
    return RunInfo(file, out, err);
}

int Play(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    std::vector<std::string> files;
    PlayOptions options;
    for (std::size_t i = 1; i < args.size(); ++i) {
        if (args[i] == "--clock") {
            HostClock::Mode mode = HostClock::Mode::Real;
            if (i + 1 >= args.size() || !ParseClock(args[++i], mode))
                return UsageError("--clock needs real or virtual", err);
            options.clock = mode;
        } else if (args[i] == "--brief") {
            options.brief = true;
        } else if (args[i] == "--html" || args[i] == "--trace") {
            if (i + 1 >= args.size() || args[i + 1].empty()) return UsageError(args[i] + " needs a file name", err);
            (args[i] == "--html" ? options.html_path : options.trace_path) = args[i + 1];
            ++i;
        } else if (args[i].rfind("--", 0) == 0) {
            return UsageError("unexpected argument \"" + args[i] + "\"", err);
        } else {
            files.push_back(args[i]);
        }
    }
    if (files.empty() || files.size() > 2) return UsageError("play needs a FILE and at most one SCRIPT", err);
    return RunPlay(files[0], files.size() == 2 ? files[1] : std::string(), options, out, err);
}

// "--name=value" as the two arguments "--name" "value", as every option
// may be written.
std::vector<std::string> SplitOptionValues(const std::vector<std::string>& given) {
    std::vector<std::string> args;
    for (const std::string& arg : given) {
        const std::size_t equals = arg.find('=');
        if (arg.rfind("--", 0) == 0 && equals != std::string::npos && equals > 2) {
            args.push_back(arg.substr(0, equals));
            args.push_back(arg.substr(equals + 1));
        } else {
            args.push_back(arg);
        }
    }
    return args;
}

// A decimal number from `low` to `high`, written whole ("0.5", "1e-6").
bool ParseDecimal(const std::string& text, double low, double high, double& value) {
    if (text.empty()) return false;
    char* end = nullptr;
    value = std::strtod(text.c_str(), &end);
    return end == text.c_str() + text.size() && std::isfinite(value) && value >= low && value <= high;
}

int Render(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    std::vector<std::string> files;
    RenderOptions options;
    bool tolerance_given = false;
    for (std::size_t i = 1; i < args.size(); ++i) {
        const std::string& arg = args[i];
        const bool has_value = i + 1 < args.size();
        std::string problem;
        if (arg == "--in" || arg == "--out" || arg == "--expect") {
            AudioBinding binding;
            if (!has_value) return UsageError(arg + " needs PIN=FILE", err);
            if (!ParseAudioBinding(args[++i], arg != "--out", binding, problem))
                return UsageError(arg + ": " + problem, err);
            (arg == "--in" ? options.inputs : arg == "--out" ? options.outputs : options.expects).push_back(binding);
        } else if (arg == "--set") {
            PinSetting setting;
            if (!has_value || !ParsePinSetting(args[++i], setting, problem))
                return UsageError("--set needs PIN=VALUE" + (problem.empty() ? "" : ": " + problem), err);
            options.settings.push_back(setting);
        } else if (arg == "--rate") {
            long rate = 0;
            if (!has_value || !ParseCount(args[++i], 1, kMaxSampleRate, rate))
                return UsageError("--rate needs a sample rate from 1 to " + std::to_string(kMaxSampleRate) + " Hz", err);
            options.sample_rate = static_cast<int>(rate);
        } else if (arg == "--block") {
            long block = 0;
            if (!has_value || !ParseCount(args[++i], 1, HostSession::kMaxBlockSize, block))
                return UsageError("--block needs a number of samples from 1 to " +
                                      std::to_string(HostSession::kMaxBlockSize),
                                  err);
            options.block_size = static_cast<int>(block);
        } else if (arg == "--seconds") {
            double seconds = 0;
            if (!has_value || !ParseDecimal(args[++i], 0.0, kMaxRenderSeconds, seconds) || seconds <= 0)
                return UsageError("--seconds needs a length above 0, at most 86400", err);
            options.seconds = seconds;
        } else if (arg == "--tolerance") {
            if (!has_value || !ParseDecimal(args[++i], 0.0, 1e30, options.tolerance))
                return UsageError("--tolerance needs a difference of 0 or more", err);
            tolerance_given = true;
        } else if (arg.rfind("--", 0) == 0) {
            return UsageError("unexpected argument \"" + arg + "\"", err);
        } else {
            files.push_back(arg);
        }
    }
    if (files.empty() || files.size() > 2) return UsageError("render needs a FILE and at most one SCRIPT", err);
    if (tolerance_given && options.expects.empty()) return UsageError("--tolerance goes with --expect", err);
    if (files.size() == 2) options.script_path = files[1];
#ifdef SEMHOST_HAS_RENDER
    return RunRender(files[0], options, out, err);
#else
    (void)out;
    err << "semhost: render is not part of this build; use the Linux semhost\n";
    return EXIT_BAD_INPUT;
#endif
}

int Try(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    std::vector<std::string> files;
    std::vector<TryInputBinding> inputs;
    long port = 0;
    for (std::size_t i = 1; i < args.size(); ++i) {
        if (args[i] == "--port") {
            if (i + 1 >= args.size() || !ParseCount(args[++i], 1, 65535, port))
                return UsageError("--port needs a port number from 1 to 65535", err);
        } else if (args[i] == "--in") {
            AudioBinding binding;
            std::string problem;
            if (i + 1 >= args.size()) return UsageError("--in needs [PIN=]FILE", err);
            if (!ParseAudioBinding(args[++i], true, binding, problem)) return UsageError("--in: " + problem, err);
            inputs.push_back({binding.pin_text, binding.path, binding.channel});
        } else if (args[i].rfind("--", 0) == 0) {
            return UsageError("unexpected argument \"" + args[i] + "\"", err);
        } else {
            files.push_back(args[i]);
        }
    }
    if (files.empty() || files.size() > 2) return UsageError("try needs a FILE and at most one PANEL", err);
    return RunTry(files[0], files.size() == 2 ? files[1] : std::string(), static_cast<int>(port), inputs, out, err);
}

// Takes --timeout-ms N out of a command's arguments, as every command
// knows it. False, with `problem`, for a value that is not 1 to 3600000.
bool TakeTimeLimit(std::vector<std::string>& args, int& milliseconds, std::string& problem) {
    for (std::size_t i = 1; i < args.size(); ++i) {
        if (args[i] != "--timeout-ms") continue;
        long value = 0;
        if (i + 1 >= args.size() || !ParseCount(args[i + 1], 1, 3'600'000, value)) {
            problem = "--timeout-ms needs a number of milliseconds from 1 to 3600000";
            return false;
        }
        milliseconds = static_cast<int>(value);
        args.erase(args.begin() + static_cast<std::ptrdiff_t>(i), args.begin() + static_cast<std::ptrdiff_t>(i) + 2);
        --i;
    }
    return true;
}

}  // namespace

int RunSemhost(const std::vector<std::string>& given, std::ostream& out, std::ostream& err) {
    host_platform::Prepare();
    if (given.empty()) return UsageError("no command", err);
    std::vector<std::string> args = SplitOptionValues(given);
    int time_limit_ms = LibraryOptions{}.time_limit_ms;
    std::string problem;
    if (!TakeTimeLimit(args, time_limit_ms, problem)) return UsageError(problem, err);
    SetModuleTimeLimit(time_limit_ms);
    const std::string& command = args[0];
    if (command == "help" || command == "--help" || command == "-h") {
        out << kUsage;
        return EXIT_OK;
    }
    if (command == "info") return Info(args, out, err);
    if (command == "list-checks") return ListChecksCommand(args, out, err);
    if (command == "validate") return Validate(args, out, err);
    if (command == "play") return Play(args, out, err);
    if (command == "try") return Try(args, out, err);
    if (command == "render") return Render(args, out, err);
    return UsageError("unknown command \"" + command + "\"", err);
}
