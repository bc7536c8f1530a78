#include "validator.h"

#include "SEPlatform.h"
#include "SEProtocol.h"

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

using session_text::Hex32;

namespace {

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

// A back end that watches no registers sets no stack alignment either.
bool IsNative(const ModuleLibrary& library) { return !library.watches_registers(); }

// One pass of every check on one copy of the module. A module that faults
// is replaced by a fresh copy, and the checks go on.
class Validator : public SessionObserver {
public:
    // `live`: print each check's line as it ends (null: the caller prints).
    // Checks named in `skip` are not run again (their results say so).
    Validator(std::unique_ptr<ModuleLibrary> library, const ModuleOpener& open, const LibraryOptions& library_options,
              HostClock& clock, const ValidateOptions& options, std::ostream* live,
              const std::set<std::string>& skip = {})
        : m_options(options), m_live(live), m_clock(clock), m_open(open), m_library_options(library_options),
          m_skip(skip) {
        StartSession(std::move(library));
    }
    ~Validator() override { EndSession(); }

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
    HostSession& session() { return *m_session; }
    void StartSession(std::unique_ptr<ModuleLibrary> library);
    void EndSession();
    // A fresh copy of the module after a fault, met as a host meets it
    // (identity and pin table); false, with m_lost saying why, when none.
    bool ReplaceFaultedModule();
    // What a host learns first (identity texts to watch, the pin table),
    // for checks that come after ones that did not run. False on a fault.
    bool MeetModule();
    bool ViolationCheck(Violation kind, const std::string& passed_detail, std::string& detail);

    bool CheckIdentity(std::string& detail);
    bool CheckIdentityRefusals(std::string& detail);
    bool CheckMakeModuleRefusals(std::string& detail);
    bool CheckRecords(ObjectKind kind, std::string& detail);
    bool CheckPinDeclarations(std::string& detail);
    bool CheckAudioLifeCycle(std::string& detail);
    bool CheckGuiLifeCycle(std::string& detail);
    bool CheckRandomSession(std::string& detail);
    bool CheckHeapAfterClose(std::string& detail);
    bool CheckUnload(std::string& detail);

    std::uint32_t SampleValue(const PinDeclaration& pin, SplitMix64& random) const;
    void CloseAll();

    const ValidateOptions& m_options;
    std::ostream* m_live;
    HostClock& m_clock;
    const ModuleOpener& m_open;
    const LibraryOptions m_library_options;
    const std::set<std::string> m_skip;
    // The session is declared after its library: it closes what a failed
    // check left open before the library goes.
    std::unique_ptr<ModuleLibrary> m_library;
    std::unique_ptr<HostSession> m_session;
    std::string m_lost;        // why no copy of the module is left, or ""
    bool m_met = false;        // MeetModule ran on this copy
    long m_earlier_calls = 0;  // host calls and callbacks of replaced copies
    long m_earlier_callbacks = 0;
    std::vector<CheckResult> m_results;
    std::map<Violation, Tally> m_tallies;
    std::string m_context;
};

bool Validator::RunCheck(const std::string& name, const std::function<bool(std::string&)>& body) {
    m_context = name;
    std::string detail;
    bool passed = body(detail);
    const bool faulted = m_session != nullptr && session().faulted();
    if (faulted) {
        passed = false;
        // A fault outside the session's calls (the unload) says it itself.
        if (!session().fault().empty()) detail = session().fault();
    }
    if (m_live != nullptr) {
        *m_live << (passed ? "PASS  " : "FAIL  ") << name << ": " << detail << '\n';
        m_live->flush();
    }
    m_results.push_back({name, passed, detail});
    return !faulted;
}

void Validator::StartSession(std::unique_ptr<ModuleLibrary> library) {
    m_library = std::move(library);
    m_met = false;
    m_session = std::make_unique<HostSession>(*m_library);
    m_session->AddObserver(this);
}

void Validator::EndSession() {
    if (m_session == nullptr) return;
    m_earlier_calls += m_session->host_calls();
    m_earlier_callbacks += m_session->callbacks();
    m_session->RemoveObserver(this);
    m_session.reset();
    m_library.reset();
}

bool Validator::ReplaceFaultedModule() {
    host_platform::ReleaseHeldKeys();
    EndSession();
    std::string problem;
    std::unique_ptr<ModuleLibrary> copy = m_open(m_library_options, problem);
    if (copy == nullptr) {
        m_lost = "a fresh copy of the module could not be loaded: " + problem;
        return false;
    }
    StartSession(std::move(copy));
    m_context = "a fresh copy of the module";
    if (MeetModule()) return true;
    m_lost = "a fresh copy of the module faulted before the check: " + session().fault();
    EndSession();
    return false;
}

bool Validator::MeetModule() {
    m_met = true;
    ModulePropertiesRecord properties;
    std::string problem;
    if (session().GetModuleProperties(0, properties)) session().WatchIdentity(properties);
    if (HostedObject* probe = session().Create(ObjectKind::Audio, problem)) {
        std::vector<std::string> ignored;  // the pin declarations check reports them
        session().ReadPinTable(*probe, ignored);
        if (!session().faulted()) session().Close(*probe);
    }
    return !session().faulted();
}

void Validator::CloseAll() {
    for (HostedObject* gui : session().Objects(ObjectKind::Gui)) session().Close(*gui);
    for (HostedObject* audio : session().Objects(ObjectKind::Audio)) session().Close(*audio);
}

bool Validator::CheckIdentity(std::string& detail) {
    // A field the module leaves unwritten keeps the host's fill pattern.
    ModulePropertiesRecord properties;
    const std::int32_t untouched = static_cast<std::int32_t>(0xCDCDCDCD);
    if (!session().GetModuleProperties(0, properties, 0xCD)) {
        if (!session().faulted()) detail = "getModuleProperties(0) returned false";
        return false;
    }
    std::vector<std::string> problems;
    if (properties.overrun != 0)
        problems.push_back("getModuleProperties(0) " +
                           OverrunText(session().library().layout().properties.size, properties.overrun));
    std::string name, id, about;
    // The texts are the module's; an unset pointer must not take semhost down.
    const ModuleMemory& memory = session().memory();
    const std::pair<ModuleAddress, std::string*> texts[] = {
        {properties.name, &name}, {properties.id, &id}, {properties.about, &about}};
    for (const auto& [address, copy] : texts) {
        if (address == 0 || memory.ReadText(address, *copy, 4096)) continue;
        detail = "the identity texts cannot be read (" + session().library().DescribeAddress(address) + ")";
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
    session().WatchIdentity(properties);
    detail = "\"" + name + "\" (id \"" + id + "\"), about \"" + about + "\", flags " + Hex32(properties.flags) +
             " and " + Hex32(properties.secondary_flags) + ", SDK " + std::to_string(properties.sdk_version);
    return true;
}

bool Validator::CheckIdentityRefusals(std::string& detail) {
    std::vector<std::string> problems;
    for (std::int32_t index : {1, -1, 2, 1000, std::numeric_limits<std::int32_t>::min()}) {
        ModulePropertiesRecord properties;
        if (session().GetModuleProperties(index, properties))
            problems.push_back("getModuleProperties(" + std::to_string(index) + ") returned true");
        if (session().faulted()) return false;
    }
    detail = "indices 1, -1, 2, 1000 and -2147483648 refused";
    return Verdict(problems, detail);
}

bool Validator::CheckMakeModuleRefusals(std::string& detail) {
    const std::pair<std::int32_t, std::int32_t> refusals[] = {{1, MT_AUDIO}, {1, MT_GUI}, {-1, MT_GUI},
                                                              {0, 0},        {0, 3},      {0, -1}};
    std::vector<std::string> problems;
    for (const auto& [index, type] : refusals) {
        const ModuleAddress record = session().MakeModule(index, type, 0x5EFF0000);
        if (session().faulted()) return false;
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
    HostedObject* first = session().Create(kind, problem);
    if (first == nullptr) {
        detail = problem;
        return false;
    }
    HostedObject* second = session().Create(kind, problem);
    if (second == nullptr) {
        detail = "second object: " + problem;
        return false;
    }
    bool passed = true;
    if (first->record == second->record || first->fields.object == second->fields.object) {
        detail = "two makeModule calls gave the same record or object";
        passed = false;
    }
    session().Close(*second);
    session().Close(*first);
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
    HostedObject* audio = session().Create(ObjectKind::Audio, problem);
    if (audio == nullptr) {
        detail = problem;
        return false;
    }
    std::vector<std::string> problems;
    session().ReadPinTable(*audio, problems);
    if (session().faulted()) return false;
    const std::vector<PinDeclaration>& pins = session().pins();
    const int count = static_cast<int>(pins.size());

    // The host stops at the first refused number: a declaration past a gap
    // would never be seen.
    const HostBlock scratch(session().library(), session().library().layout().pin.size);
    for (int number = count + 1; number <= count + kGapProbe; ++number) {
        if (session().Dispatch(*audio, AUDIO_GET_PIN_PROPERTIES, number, 0, scratch.address()) != 0) {
            problems.push_back("a gap in the pin table: pin " + std::to_string(count) +
                               " is not declared, but pin " + std::to_string(number) + " is");
            break;
        }
        if (session().faulted()) return false;
    }
    if (session().Dispatch(*audio, AUDIO_GET_PIN_PROPERTIES, -1, 0, scratch.address()) != 0)
        problems.push_back("pin -1 is declared");
    if (session().faulted()) return false;

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
        if (!KeepsPatchStoreRule(pin.flags, pin.direction))
            problems.push_back(label +
                               " breaks the patch-store rule: IO_PATCH_STORE on an input without "
                               "IO_PRIVATE or IO_UI_COMMUNICATION");
    }
    session().Close(*audio);
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
        HostedObject* audio = session().Create(ObjectKind::Audio, problem);
        if (audio == nullptr) {
            detail = "cycle " + std::to_string(cycle) + ": " + problem;
            return false;
        }
        session().Dispatch(*audio, AUDIO_SET_SAMPLE_RATE, 0, 0, 0, cycle % 2 ? 44100.0f : 48000.0f);
        session().Dispatch(*audio, AUDIO_SET_BLOCK_SIZE, 0, cycle % 2 ? 256 : 64);
        session().Dispatch(*audio, AUDIO_OPEN);
        const int cycle_runs = session().Process(*audio, 4);
        if (session().faulted()) return false;
        session().Close(*audio);
        if (cycle_runs == 0) {
            detail = "cycle " + std::to_string(cycle) + ": the processing routine could not be run";
            return false;
        }
        runs += cycle_runs;
    }
    detail = std::to_string(m_options.cycles) + " cycles of open, sample rate, block size, processing (" +
             std::to_string(runs) + " runs) and close";
    return !session().faulted();
}

std::uint32_t Validator::SampleValue(const PinDeclaration& pin, SplitMix64& random) const {
    if (pin.TakesFloat()) {
        static const float kSpecial[] = {0.0f, -0.0f, 1.0f, 0.5f, 200.0f, 200.9f, -5.0f, 1e10f, 3.0f};
        switch (random.Below(4)) {
        case 0:
            return PinBitsOfFloat(kSpecial[random.Below(sizeof kSpecial / sizeof kSpecial[0])]);
        case 1:
            return PinBitsOfFloat(static_cast<float>(random.Unit()));
        case 2:
            return PinBitsOfFloat(static_cast<float>(random.Unit() * 2000.0 - 1000.0));
        default:
            return random.Below(20) == 0 ? PinBitsOfFloat(std::nanf(""))
                                         : PinBitsOfFloat(static_cast<float>(random.Below(500)));
        }
    }
    if (pin.datatype == DT_BOOL) return random.Below(2);
    return static_cast<std::uint32_t>(random.Below(2000) - 1000);
}

bool Validator::CheckGuiLifeCycle(std::string& detail) {
    const std::vector<PinDeclaration> pins = session().pins();
    SplitMix64 values(1);
    long changes = 0;
    for (int cycle = 1; cycle <= m_options.cycles; ++cycle) {
        m_context = "GUI life cycle, cycle " + std::to_string(cycle);
        std::string problem;
        HostedObject* closed_flag = session().Create(ObjectKind::Gui, problem);
        HostedObject* open_flag =
            closed_flag != nullptr ? session().Create(ObjectKind::Gui, problem) : nullptr;
        if (open_flag == nullptr) {
            detail = "cycle " + std::to_string(cycle) + ": " + problem;
            return false;
        }
        session().Dispatch(*closed_flag, GUI_OPEN, 0);
        session().Dispatch(*open_flag, GUI_OPEN, 1);
        for (int idle = 0; idle < 3; ++idle) {
            session().Dispatch(*closed_flag, GUI_IDLE);
            session().Dispatch(*open_flag, GUI_IDLE);
        }
        for (const PinDeclaration& pin : pins) {
            if (pin.datatype == DT_BOOL) {
                session().SetPin(pin.index, 1);
                session().SetPin(pin.index, 0);
                changes += 2;
            } else {
                session().SetPin(pin.index, SampleValue(pin, values));
                ++changes;
            }
            if (session().faulted()) return false;
        }
        session().Close(*open_flag);
        session().Close(*closed_flag);
        if (session().faulted()) return false;
    }
    detail = std::to_string(m_options.cycles) +
             " cycles of two objects opened with flag false and true, idle, " + std::to_string(changes) +
             " pin changes and close";
    return true;
}

bool Validator::CheckRandomSession(std::string& detail) {
    SplitMix64 random(m_options.seed);
    std::string problem;
    HostedObject* audio = session().Create(ObjectKind::Audio, problem);
    if (audio == nullptr) {
        detail = problem;
        return false;
    }
    session().Dispatch(*audio, AUDIO_SET_SAMPLE_RATE, 0, 0, 0, 44100.0f);
    session().Dispatch(*audio, AUDIO_SET_BLOCK_SIZE, 0, 256);
    session().Dispatch(*audio, AUDIO_OPEN);
    HostedObject* first_gui = session().Create(ObjectKind::Gui, problem);
    if (first_gui == nullptr) {
        detail = problem;
        return false;
    }
    session().Dispatch(*first_gui, GUI_OPEN, 0);
    bool ctrl_held = false;
    const std::vector<PinDeclaration> pins = session().pins();
    for (int step = 0; step < kRandomEvents && !session().faulted(); ++step) {
        m_context =
            "random session, seed " + std::to_string(m_options.seed) + ", event " + std::to_string(step + 1);
        std::vector<HostedObject*> guis = session().Objects(ObjectKind::Gui);
        const int choice = random.Below(100);
        if (choice < 45) {
            if (pins.empty()) continue;
            const PinDeclaration& pin = pins[random.Below(static_cast<int>(pins.size()))];
            session().SetPin(pin.index, SampleValue(pin, random));
        } else if (choice < 60) {
            if (!guis.empty())
                session().Dispatch(*guis[random.Below(static_cast<int>(guis.size()))], GUI_IDLE);
        } else if (choice < 67) {
            ctrl_held = !ctrl_held;
            host_platform::SetKeyHeld(platform::kVirtualKeyControl, ctrl_held);
        } else if (choice < 73) {
            if (static_cast<int>(guis.size()) >= kMaxGuiObjects) continue;
            HostedObject* gui = session().Create(ObjectKind::Gui, problem);
            if (gui == nullptr) {
                detail = problem;
                host_platform::ReleaseHeldKeys();
                return false;
            }
            session().Dispatch(*gui, GUI_OPEN, random.Below(2));
        } else if (choice < 79) {
            if (guis.size() > 1) session().Close(*guis[random.Below(static_cast<int>(guis.size()))]);
        } else if (choice < 88) {
            session().Process(*audio, 1 + random.Below(3));
        } else if (choice < 93) {
            static const float kRates[] = {22050.0f, 44100.0f, 48000.0f, 96000.0f};
            if (random.Below(2) == 0)
                session().Dispatch(*audio, AUDIO_SET_SAMPLE_RATE, 0, 0, 0, kRates[random.Below(4)]);
            else
                session().Dispatch(*audio, AUDIO_SET_BLOCK_SIZE, 0, 32 << random.Below(5));
        } else {
            // Let the module's clock move, so that timing paths differ.
            m_clock.Wait(static_cast<std::uint32_t>(random.Below(4)));
        }
    }
    host_platform::ReleaseHeldKeys();
    if (session().faulted()) return false;
    CloseAll();
    detail = std::to_string(kRandomEvents) + " host events, seed " + std::to_string(m_options.seed) +
             " (replay with --seed " + std::to_string(m_options.seed) + ")";
    return !session().faulted();
}

bool Validator::CheckUnload(std::string& detail) {
    CloseAll();
    if (session().faulted()) return false;
    std::string fault;
    if (!m_library->Unload(fault)) {
        detail = "the module " + fault + " while unloading";
        return false;
    }
    detail = "the library unloaded: its detach and destructors returned";
    return true;
}

bool Validator::CheckHeapAfterClose(std::string& detail) {
    // The random session ends with every object closed: what the module
    // still holds of its heap then is lost for good.
    CloseAll();
    const std::vector<HeldBlock> held = m_library->HeldBlocks();
    if (held.empty()) {
        detail = "every block of the module's heap freed once the last object closed";
        return true;
    }
    std::size_t bytes = 0;
    for (const HeldBlock& block : held) bytes += block.size;
    detail = std::to_string(held.size()) + (held.size() == 1 ? " block" : " blocks") + " (" + std::to_string(bytes) +
             " bytes) leaked: still held after the last object closed:";
    for (std::size_t i = 0; i < held.size() && i < 3; ++i)
        detail += (i == 0 ? " " : ", ") + std::to_string(held[i].size) + " bytes at " +
                  m_library->DescribeAddress(held[i].address);
    if (held.size() > 3) detail += ", ...";
    return false;
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
    std::vector<std::pair<std::string, std::function<bool(std::string&)>>> checks = {
        {"exports",
         [this](std::string& detail) {
             // A load warning (an import semhost does not provide) is a call
             // that would fail in a real host too.
             std::vector<std::string> problems = session().library().warnings();
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
    // Only the emulator counts the module's heap blocks.
    if (m_library->watches_heap())
        checks.push_back({"heap after close", [this](std::string& detail) { return CheckHeapAfterClose(detail); }});
    checks.push_back({"unload", [this](std::string& detail) { return CheckUnload(detail); }});
    for (std::size_t i = 0; i < checks.size(); ++i) {
        if (m_session == nullptr) {
            m_results.push_back({checks[i].first, false, "not run: " + m_lost});
            if (m_live != nullptr) *m_live << "FAIL  " << checks[i].first << ": not run: " << m_lost << '\n';
            continue;
        }
        if (m_skip.count(checks[i].first) != 0) {
            // Failed at an earlier alignment: its verdict cannot change.
            m_results.push_back({checks[i].first, true, "not repeated: it failed at an earlier alignment"});
            if (!m_met && !MeetModule()) ReplaceFaultedModule();
            continue;
        }
        if (RunCheck(checks[i].first, checks[i].second)) continue;
        // The checks on every call need no module: after the last check
        // the faulted copy is let go, and no fresh one loaded.
        if (i + 1 < checks.size())
            ReplaceFaultedModule();
        else
            EndSession();
    }
    const long callbacks = m_earlier_callbacks + (m_session ? m_session->callbacks() : 0);
    const long calls = m_earlier_calls + (m_session ? m_session->host_calls() : 0);
    const std::string counted = std::to_string(callbacks) + " callbacks";
    const std::string called = std::to_string(calls) + " calls";
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
        if (!ViolationCheck(Violation::RunawayNesting, "", detail)) return false;
        return ViolationCheck(Violation::RunawayEvents,
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

namespace {

// One result per check over every pass: failed where any pass failed, with
// the first failure's detail and the alignment it came at.
std::vector<CheckResult> MergePasses(const std::vector<std::vector<CheckResult>>& passes,
                                     const std::vector<unsigned>& alignments) {
    std::vector<CheckResult> merged = passes.front();
    for (std::size_t check = 0; check < merged.size(); ++check) {
        for (std::size_t pass = 0; pass < passes.size(); ++pass) {
            if (check >= passes[pass].size() || passes[pass][check].passed) continue;
            merged[check].passed = false;
            merged[check].detail =
                "at stack alignment " + std::to_string(alignments[pass]) + ": " + passes[pass][check].detail;
            break;
        }
    }
    return merged;
}

}  // namespace

std::vector<CheckResult> ValidateModule(std::unique_ptr<ModuleLibrary> library, const ModuleOpener& open,
                                        HostClock& clock, const ValidateOptions& options, std::ostream& out) {
    std::vector<CheckResult> results;
    if (IsNative(*library)) {
        Validator validator(std::move(library), open, LibraryOptions{}, clock, options, &out);
        results = validator.Run();
    } else {
        // Win32 promises a caller only 4-byte stack alignment: code that
        // needs more must work at each of the four a caller may give.
        const std::vector<unsigned> alignments = {4, 8, 12, 0};
        out << "each check runs on the emulated module at the four stack alignments a caller may give ((ESP+4) mod "
               "16 = 4, 8, 12 and 0 at entry)\n";
        std::vector<std::vector<CheckResult>> passes;
        std::set<std::string> failed_before;
        for (const unsigned alignment : alignments) {
            LibraryOptions library_options;
            library_options.stack_alignment = alignment;
            std::string problem;
            std::unique_ptr<ModuleLibrary> copy = library != nullptr ? std::move(library) : open(library_options, problem);
            if (copy == nullptr) {
                std::vector<CheckResult> lost = passes.front();
                for (CheckResult& result : lost) result = {result.name, false, "not run: the module could not be loaded again: " + problem};
                passes.push_back(lost);
                continue;
            }
            Validator validator(std::move(copy), open, library_options, clock, options, nullptr, failed_before);
            passes.push_back(validator.Run());
            for (const CheckResult& result : passes.back())
                if (!result.passed) failed_before.insert(result.name);
        }
        results = MergePasses(passes, alignments);
        for (const CheckResult& result : results)
            out << (result.passed ? "PASS  " : "FAIL  ") << result.name << ": " << result.detail << '\n';
    }
    int failed = 0;
    for (const CheckResult& result : results)
        if (!result.passed) ++failed;
    out << results.size() - failed << " passed, " << failed << " failed\n";
    out.flush();
    return results;
}
