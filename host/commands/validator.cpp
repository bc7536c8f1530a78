#include "validator.h"

#include "host_platform.h"
#include "host_session.h"
#include "protocol_names.h"
#include "session_text.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <limits>
#include <map>
#include <set>

using session_text::FloatBits;
using session_text::Hex32;

namespace {

constexpr int kVirtualKeyControl = 17;
constexpr int kRandomEvents = 500;
constexpr int kMaxGuiObjects = 4;
constexpr int kGapProbe = 16;

// A small generator whose sequence is the same on every platform, so that a
// printed seed replays the same session anywhere.
class SplitMix64 {
public:
    explicit SplitMix64(std::uint64_t seed) : m_state(seed) {}
    std::uint64_t Next() {
        std::uint64_t z = (m_state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    int Below(int bound) { return static_cast<int>(Next() % static_cast<std::uint64_t>(bound)); }
    double Unit() { return static_cast<double>(Next() >> 11) / 9007199254740992.0; }

private:
    std::uint64_t m_state;
};

// The first problem, and how many more there were.
bool Verdict(const std::vector<std::string>& problems, std::string& detail) {
    if (problems.empty()) return true;
    detail = problems.front();
    if (problems.size() > 1) detail += " (and " + std::to_string(problems.size() - 1) + " more)";
    return false;
}

class Validator : public SessionObserver {
public:
    Validator(ModuleLibrary& library, HostClock& clock, const ValidateOptions& options, std::ostream& out)
        : m_options(options), m_out(out), m_clock(clock), m_session(library) {
        m_session.AddObserver(this);
    }
    // The session, a member, closes what a failed check left open after
    // this object's other members are gone.
    ~Validator() override { m_session.RemoveObserver(this); }

    std::vector<CheckResult> Run();

    void OnViolation(Violation kind, const std::string& reason) override {
        Tally& tally = m_tallies[kind];
        if (tally.count++ == 0) tally.first = reason + " [in " + m_context + "]";
    }

private:
    struct Tally {
        long count = 0;
        std::string first;
    };

    // Runs one check and prints its line. False when the module faulted,
    // after which nothing more can be asked of it.
    bool RunCheck(const std::string& name, const std::function<bool(std::string&)>& body);
    bool ViolationCheck(Violation kind, const std::string& passed_detail, std::string& detail);

    bool CheckIdentity(std::string& detail);
    bool CheckIdentityRefusals(std::string& detail);
    bool CheckMakeModuleRefusals(std::string& detail);
    bool CheckRecords(ObjectKind kind, std::string& detail);
    bool CheckPinDeclarations(std::string& detail);
    bool CheckAudioLifeCycle(std::string& detail);
    bool CheckGuiLifeCycle(std::string& detail);
    bool CheckRandomSession(std::string& detail);

    std::uint32_t SampleValue(const PinDeclaration& pin, SplitMix64& random) const;
    void CloseAll();

    const ValidateOptions& m_options;
    std::ostream& m_out;
    HostClock& m_clock;
    HostSession m_session;
    std::vector<CheckResult> m_results;
    std::map<Violation, Tally> m_tallies;
    std::string m_context;
};

bool Validator::RunCheck(const std::string& name, const std::function<bool(std::string&)>& body) {
    m_context = name;
    std::string detail;
    bool passed = body(detail);
    if (m_session.faulted()) {
        passed = false;
        detail = m_session.fault();
    }
    m_out << (passed ? "PASS  " : "FAIL  ") << name << ": " << detail << '\n';
    m_out.flush();
    m_results.push_back({name, passed, detail});
    return !m_session.faulted();
}

void Validator::CloseAll() {
    for (HostedObject* gui : m_session.Objects(ObjectKind::Gui)) m_session.Close(*gui);
    for (HostedObject* audio : m_session.Objects(ObjectKind::Audio)) m_session.Close(*audio);
}

bool Validator::CheckIdentity(std::string& detail) {
    // A field the module leaves unwritten keeps the host's fill pattern.
    ModulePropertiesRecord properties;
    const std::int32_t untouched = static_cast<std::int32_t>(0xCDCDCDCD);
    if (!m_session.GetModuleProperties(0, properties, 0xCD)) {
        if (!m_session.faulted()) detail = "getModuleProperties(0) returned false";
        return false;
    }
    std::vector<std::string> problems;
    if (properties.overran)
        problems.push_back("getModuleProperties(0) wrote past the end of the " +
                           std::to_string(m_session.library().layout().properties.size) + "-byte record");
    std::string name, id, about;
    // The texts are the module's; an unset pointer must not take semhost down.
    const ModuleMemory& memory = m_session.memory();
    const std::pair<ModuleAddress, std::string*> texts[] = {
        {properties.name, &name}, {properties.id, &id}, {properties.about, &about}};
    for (const auto& [address, copy] : texts) {
        if (address == 0 || memory.ReadText(address, *copy, 4096)) continue;
        detail = "the identity texts cannot be read (" + m_session.library().DescribeAddress(address) + ")";
        return false;
    }
    if (properties.name == 0 || name.empty()) problems.push_back("the name is null or empty");
    if (properties.id == 0 || id.empty()) problems.push_back("the id is null or empty");
    if (properties.about == 0) problems.push_back("the about text is null");
    if (properties.sdk_version == untouched)
        problems.push_back("sdk_version was not written");
    else if (properties.sdk_version <= 0)
        problems.push_back("sdk_version " + std::to_string(properties.sdk_version));
    if (!Verdict(problems, detail)) return false;
    m_session.WatchIdentity(properties);
    detail = "\"" + name + "\" (id \"" + id + "\"), about \"" + about + "\", flags " + Hex32(properties.flags) +
             " and " + Hex32(properties.secondary_flags) + ", SDK " + std::to_string(properties.sdk_version);
    return true;
}

bool Validator::CheckIdentityRefusals(std::string& detail) {
    std::vector<std::string> problems;
    for (std::int32_t index : {1, -1, 2, 1000, std::numeric_limits<std::int32_t>::min()}) {
        ModulePropertiesRecord properties;
        if (m_session.GetModuleProperties(index, properties))
            problems.push_back("getModuleProperties(" + std::to_string(index) + ") returned true");
        if (m_session.faulted()) return false;
    }
    detail = "indices 1, -1, 2, 1000 and -2147483648 refused";
    return Verdict(problems, detail);
}

bool Validator::CheckMakeModuleRefusals(std::string& detail) {
    const std::pair<std::int32_t, std::int32_t> refusals[] = {{1, MT_AUDIO}, {1, MT_GUI}, {-1, MT_GUI},
                                                              {0, 0},        {0, 3},      {0, -1}};
    std::vector<std::string> problems;
    for (const auto& [index, type] : refusals) {
        const ModuleAddress record = m_session.MakeModule(index, type, 0x5EFF0000);
        if (m_session.faulted()) return false;
        // Nothing tells the host how to end an object it did not ask for; it
        // is left as it is.
        if (record != 0)
            problems.push_back("makeModule(" + std::to_string(index) + ", " + session_text::ModuleType(type) +
                               ") returned a record instead of null");
    }
    detail = "indices 1 and -1, types 0, 3 and -1 give null";
    return Verdict(problems, detail);
}

bool Validator::CheckRecords(ObjectKind kind, std::string& detail) {
    std::string problem;
    HostedObject* first = m_session.Create(kind, problem);
    if (first == nullptr) {
        detail = problem;
        return false;
    }
    HostedObject* second = m_session.Create(kind, problem);
    if (second == nullptr) {
        detail = "second object: " + problem;
        return false;
    }
    bool passed = true;
    if (first->record == second->record || first->fields.object == second->fields.object) {
        detail = "two makeModule calls gave the same record or object";
        passed = false;
    }
    m_session.Close(*second);
    m_session.Close(*first);
    if (passed) {
        const bool gui = kind == ObjectKind::Gui;
        detail = "magic " + Hex32(gui ? GUI_PLUG_MAGIC : AUDIO_PLUG_MAGIC) +
                 ", version 1, the host's host_value, object and " +
                 (gui ? std::string("dispatcher") : std::string("dispatcher, process and event_handler")) +
                 " set; two objects have two records";
    }
    return passed;
}

bool Validator::CheckPinDeclarations(std::string& detail) {
    std::string problem;
    HostedObject* audio = m_session.Create(ObjectKind::Audio, problem);
    if (audio == nullptr) {
        detail = problem;
        return false;
    }
    std::vector<std::string> problems;
    m_session.ReadPinTable(*audio, problems);
    if (m_session.faulted()) return false;
    const std::vector<PinDeclaration>& pins = m_session.pins();
    const int count = static_cast<int>(pins.size());

    // The host stops at the first refused number: a declaration past a gap
    // would never be seen.
    const HostBlock scratch(m_session.library(), m_session.library().layout().pin.size);
    for (int number = count + 1; number <= count + kGapProbe; ++number) {
        if (m_session.Dispatch(*audio, AUDIO_GET_PIN_PROPERTIES, number, 0, scratch.address()) != 0) {
            problems.push_back("a gap in the pin table: pin " + std::to_string(count) +
                               " is not declared, but pin " + std::to_string(number) + " is");
            break;
        }
        if (m_session.faulted()) return false;
    }
    if (m_session.Dispatch(*audio, AUDIO_GET_PIN_PROPERTIES, -1, 0, scratch.address()) != 0)
        problems.push_back("pin -1 is declared");
    if (m_session.faulted()) return false;

    std::map<std::string, int> names;
    for (const PinDeclaration& pin : pins) {
        const std::string label = "pin " + std::to_string(pin.index);
        if (pin.name.empty())
            problems.push_back(label + " has an empty name");
        else if (names.count(pin.name))
            problems.push_back(label + " has the same name as pin " + std::to_string(names[pin.name]) +
                               ", \"" + pin.name + "\"");
        else
            names[pin.name] = pin.index;
        if (pin.direction != DR_IN && pin.direction != DR_OUT)
            problems.push_back(label + " has the unknown direction " + std::to_string(pin.direction));
        if (!protocol_names::IsKnownDataType(pin.datatype))
            problems.push_back(label + " has the unknown data type " + std::to_string(pin.datatype));
        const bool patch_store_allowed = (pin.flags & IO_PATCH_STORE) == 0 || (pin.flags & IO_PRIVATE) != 0 ||
                                         pin.direction == DR_OUT || (pin.flags & IO_UI_COMMUNICATION) != 0;
        if (!patch_store_allowed)
            problems.push_back(label +
                               " breaks the patch-store rule: IO_PATCH_STORE on an input without "
                               "IO_PRIVATE or IO_UI_COMMUNICATION");
    }
    m_session.Close(*audio);
    detail = std::to_string(count) + " pins" +
             (count > 0 ? ", numbered 0 to " + std::to_string(count - 1) : std::string()) +
             ", no gap; names, directions, data types and the patch-store rule as required";
    return Verdict(problems, detail);
}

bool Validator::CheckAudioLifeCycle(std::string& detail) {
    int runs = 0;
    for (int cycle = 1; cycle <= m_options.cycles; ++cycle) {
        m_context = "audio life cycle, cycle " + std::to_string(cycle);
        std::string problem;
        HostedObject* audio = m_session.Create(ObjectKind::Audio, problem);
        if (audio == nullptr) {
            detail = "cycle " + std::to_string(cycle) + ": " + problem;
            return false;
        }
        m_session.Dispatch(*audio, AUDIO_SET_SAMPLE_RATE, 0, 0, 0, cycle % 2 ? 44100.0f : 48000.0f);
        m_session.Dispatch(*audio, AUDIO_SET_BLOCK_SIZE, 0, cycle % 2 ? 256 : 64);
        m_session.Dispatch(*audio, AUDIO_OPEN);
        const int cycle_runs = m_session.Process(*audio, 4);
        if (m_session.faulted()) return false;
        m_session.Close(*audio);
        if (cycle_runs == 0) {
            detail = "cycle " + std::to_string(cycle) + ": the processing routine could not be run";
            return false;
        }
        runs += cycle_runs;
    }
    detail = std::to_string(m_options.cycles) + " cycles of open, sample rate, block size, processing (" +
             std::to_string(runs) + " runs) and close";
    return !m_session.faulted();
}

std::uint32_t Validator::SampleValue(const PinDeclaration& pin, SplitMix64& random) const {
    if (pin.TakesFloat()) {
        static const float kSpecial[] = {0.0f, -0.0f, 1.0f, 0.5f, 200.0f, 200.9f, -5.0f, 1e10f, 3.0f};
        switch (random.Below(4)) {
        case 0:
            return FloatBits(kSpecial[random.Below(sizeof kSpecial / sizeof kSpecial[0])]);
        case 1:
            return FloatBits(static_cast<float>(random.Unit()));
        case 2:
            return FloatBits(static_cast<float>(random.Unit() * 2000.0 - 1000.0));
        default:
            return random.Below(20) == 0 ? FloatBits(std::nanf(""))
                                         : FloatBits(static_cast<float>(random.Below(500)));
        }
    }
    if (pin.datatype == DT_BOOL) return random.Below(2);
    return static_cast<std::uint32_t>(random.Below(2000) - 1000);
}

bool Validator::CheckGuiLifeCycle(std::string& detail) {
    const std::vector<PinDeclaration> pins = m_session.pins();
    SplitMix64 values(1);
    long changes = 0;
    for (int cycle = 1; cycle <= m_options.cycles; ++cycle) {
        m_context = "GUI life cycle, cycle " + std::to_string(cycle);
        std::string problem;
        HostedObject* closed_flag = m_session.Create(ObjectKind::Gui, problem);
        HostedObject* open_flag =
            closed_flag != nullptr ? m_session.Create(ObjectKind::Gui, problem) : nullptr;
        if (open_flag == nullptr) {
            detail = "cycle " + std::to_string(cycle) + ": " + problem;
            return false;
        }
        m_session.Dispatch(*closed_flag, GUI_OPEN, 0);
        m_session.Dispatch(*open_flag, GUI_OPEN, 1);
        for (int idle = 0; idle < 3; ++idle) {
            m_session.Dispatch(*closed_flag, GUI_IDLE);
            m_session.Dispatch(*open_flag, GUI_IDLE);
        }
        for (const PinDeclaration& pin : pins) {
            if (pin.datatype == DT_BOOL) {
                m_session.SetPin(pin.index, 1);
                m_session.SetPin(pin.index, 0);
                changes += 2;
            } else {
                m_session.SetPin(pin.index, SampleValue(pin, values));
                ++changes;
            }
            if (m_session.faulted()) return false;
        }
        m_session.Close(*open_flag);
        m_session.Close(*closed_flag);
        if (m_session.faulted()) return false;
    }
    detail = std::to_string(m_options.cycles) +
             " cycles of two objects opened with flag false and true, idle, " + std::to_string(changes) +
             " pin changes and close";
    return true;
}

bool Validator::CheckRandomSession(std::string& detail) {
    SplitMix64 random(m_options.seed);
    std::string problem;
    HostedObject* audio = m_session.Create(ObjectKind::Audio, problem);
    if (audio == nullptr) {
        detail = problem;
        return false;
    }
    m_session.Dispatch(*audio, AUDIO_SET_SAMPLE_RATE, 0, 0, 0, 44100.0f);
    m_session.Dispatch(*audio, AUDIO_SET_BLOCK_SIZE, 0, 256);
    m_session.Dispatch(*audio, AUDIO_OPEN);
    HostedObject* first_gui = m_session.Create(ObjectKind::Gui, problem);
    if (first_gui == nullptr) {
        detail = problem;
        return false;
    }
    m_session.Dispatch(*first_gui, GUI_OPEN, 0);
    bool ctrl_held = false;
    const std::vector<PinDeclaration> pins = m_session.pins();
    for (int step = 0; step < kRandomEvents && !m_session.faulted(); ++step) {
        m_context =
            "random session, seed " + std::to_string(m_options.seed) + ", event " + std::to_string(step + 1);
        std::vector<HostedObject*> guis = m_session.Objects(ObjectKind::Gui);
        const int choice = random.Below(100);
        if (choice < 45) {
            if (pins.empty()) continue;
            const PinDeclaration& pin = pins[random.Below(static_cast<int>(pins.size()))];
            m_session.SetPin(pin.index, SampleValue(pin, random));
        } else if (choice < 60) {
            if (!guis.empty())
                m_session.Dispatch(*guis[random.Below(static_cast<int>(guis.size()))], GUI_IDLE);
        } else if (choice < 67) {
            ctrl_held = !ctrl_held;
            host_platform::SetKeyHeld(kVirtualKeyControl, ctrl_held);
        } else if (choice < 73) {
            if (static_cast<int>(guis.size()) >= kMaxGuiObjects) continue;
            HostedObject* gui = m_session.Create(ObjectKind::Gui, problem);
            if (gui == nullptr) {
                detail = problem;
                host_platform::ReleaseHeldKeys();
                return false;
            }
            m_session.Dispatch(*gui, GUI_OPEN, random.Below(2));
        } else if (choice < 79) {
            if (guis.size() > 1) m_session.Close(*guis[random.Below(static_cast<int>(guis.size()))]);
        } else if (choice < 88) {
            m_session.Process(*audio, 1 + random.Below(3));
        } else if (choice < 93) {
            static const float kRates[] = {22050.0f, 44100.0f, 48000.0f, 96000.0f};
            if (random.Below(2) == 0)
                m_session.Dispatch(*audio, AUDIO_SET_SAMPLE_RATE, 0, 0, 0, kRates[random.Below(4)]);
            else
                m_session.Dispatch(*audio, AUDIO_SET_BLOCK_SIZE, 0, 32 << random.Below(5));
        } else {
            // Let the module's clock move, so that timing paths differ.
            m_clock.Wait(static_cast<std::uint32_t>(random.Below(4)));
        }
    }
    host_platform::ReleaseHeldKeys();
    if (m_session.faulted()) return false;
    CloseAll();
    detail = std::to_string(kRandomEvents) + " host events, seed " + std::to_string(m_options.seed) +
             " (replay with --seed " + std::to_string(m_options.seed) + ")";
    return !m_session.faulted();
}

bool Validator::ViolationCheck(Violation kind, const std::string& passed_detail, std::string& detail) {
    const auto found = m_tallies.find(kind);
    if (found == m_tallies.end()) {
        detail = passed_detail;
        return true;
    }
    detail = found->second.first;
    if (found->second.count > 1) detail += " (" + std::to_string(found->second.count) + " times in all)";
    return false;
}

std::vector<CheckResult> Validator::Run() {
    const std::vector<std::pair<std::string, std::function<bool(std::string&)>>> checks = {
        {"exports",
         [this](std::string& detail) {
             // A load warning (an import semhost does not provide) is a call
             // that would fail in a real host too.
             std::vector<std::string> problems = m_session.library().warnings();
             detail = "getModuleProperties and makeModule are exported";
             return Verdict(problems, detail);
         }},
        {"identity", [this](std::string& detail) { return CheckIdentity(detail); }},
        {"identity refusals", [this](std::string& detail) { return CheckIdentityRefusals(detail); }},
        {"makeModule refusals", [this](std::string& detail) { return CheckMakeModuleRefusals(detail); }},
        {"audio record", [this](std::string& detail) { return CheckRecords(ObjectKind::Audio, detail); }},
        {"GUI record", [this](std::string& detail) { return CheckRecords(ObjectKind::Gui, detail); }},
        {"pin declarations", [this](std::string& detail) { return CheckPinDeclarations(detail); }},
        {"audio life cycle", [this](std::string& detail) { return CheckAudioLifeCycle(detail); }},
        {"GUI life cycle", [this](std::string& detail) { return CheckGuiLifeCycle(detail); }},
        {"random session", [this](std::string& detail) { return CheckRandomSession(detail); }},
    };
    for (std::size_t i = 0; i < checks.size(); ++i) {
        if (RunCheck(checks[i].first, checks[i].second)) continue;
        m_out << "      the module crashed: the " << checks.size() - i - 1 << " checks after \""
              << checks[i].first << "\" and the checks on every call were not run\n";
        host_platform::ReleaseHeldKeys();
        return m_results;
    }
    const std::string counted = std::to_string(m_session.callbacks()) + " callbacks";
    const std::string called = std::to_string(m_session.host_calls()) + " calls";
    m_context = "summary";
    RunCheck("callback opcodes", [&](std::string& detail) {
        return ViolationCheck(Violation::UnknownOpcode, counted + ", every opcode known to its side", detail);
    });
    RunCheck("callback records", [&](std::string& detail) {
        return ViolationCheck(Violation::ForeignRecord,
                              counted + ", each with the calling object's own record", detail);
    });
    RunCheck("callback arguments", [&](std::string& detail) {
        if (!ViolationCheck(Violation::BadArguments, "", detail)) return false;
        return ViolationCheck(Violation::RunawayNesting,
                              counted + ", pins and arguments within the host contract", detail);
    });
    RunCheck("records unchanged", [&](std::string& detail) {
        return ViolationCheck(Violation::RecordChanged,
                              "after each of " + called +
                                  ", magic, version, host_value, object and dispatcher " +
                                  "of every record as the host first read them, and each change of "
                                  "the processing routine told with AUDIO_HOST_PROCESS_CHANGED",
                              detail);
    });
    RunCheck("identity texts unchanged", [&](std::string& detail) {
        return ViolationCheck(Violation::IdentityChanged,
                              "name, id and about readable and unchanged after each of " + called, detail);
    });
    return m_results;
}

}  // namespace

std::vector<CheckResult> ValidateModule(ModuleLibrary& library, HostClock& clock, const ValidateOptions& options,
                                        std::ostream& out) {
    Validator validator(library, clock, options, out);
    std::vector<CheckResult> results = validator.Run();
    int failed = 0;
    for (const CheckResult& result : results)
        if (!result.passed) ++failed;
    out << results.size() - failed << " passed, " << failed << " failed\n";
    out.flush();
    return results;
}
