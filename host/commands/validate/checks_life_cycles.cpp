// Checks that drive objects through their lives: the audio and GUI life
// cycles, once per cycle, and the seeded random session. Each stops at the
// first failure of a cycle (or event): a module that broke the host
// contract once would only break it again, at the cost of a round trip per
// call.
#include "commands/validate/check_table.h"

#include "SEPlatform.h"

#include "platform/host_platform.h"

#include <cmath>

namespace {

constexpr int kRandomEvents = 500;
constexpr int kMaxGuiObjects = 4;

// Ends a check at a contract breach: the objects it left open are closed
// (a fault leaves nothing to close) and the breach is its failure.
CheckOutcome StopAt(CheckContext& context, const std::string& where, const std::string& breach) {
    host_platform::ReleaseHeldKeys();
    if (!context.faulted()) context.session().CloseAll();
    return CheckOutcome::Fail(where + ": " + breach + "; the check stopped there");
}

std::uint32_t SampleValue(const PinDeclaration& pin, SplitMix64& random) {
    if (pin.TakesFloat()) {
        static const float kSpecial[] = {0.0f, -0.0f, 1.0f, 0.5f, 200.0f, 200.9f, -5.0f, 1e10f, 3.0f};
        switch (random.Below(4)) {
        case 0: return PinBitsOfFloat(kSpecial[random.Below(sizeof kSpecial / sizeof kSpecial[0])]);
        case 1: return PinBitsOfFloat(static_cast<float>(random.Unit()));
        case 2: return PinBitsOfFloat(static_cast<float>(random.Unit() * 2000.0 - 1000.0));
        default:
            return random.Below(20) == 0 ? PinBitsOfFloat(std::nanf(""))
                                         : PinBitsOfFloat(static_cast<float>(random.Below(500)));
        }
    }
    if (pin.datatype == DT_BOOL) return random.Below(2);
    return static_cast<std::uint32_t>(random.Below(2000) - 1000);
}

}  // namespace

namespace checks {

CheckOutcome AudioLifeCycle(CheckContext& context) {
    HostSession& session = context.session();
    const int cycles = context.options().cycles;
    int runs = 0;
    for (int cycle = 1; cycle <= cycles; ++cycle) {
        const std::string where = "cycle " + std::to_string(cycle);
        context.Within("audio life cycle, " + where);
        std::string problem;
        HostedObject* audio = session.Create(ObjectKind::Audio, problem);
        if (audio == nullptr) return CheckOutcome::Fail(where + ": " + problem);
        session.Dispatch(*audio, AUDIO_SET_SAMPLE_RATE, 0, 0, 0, cycle % 2 ? 44100.0f : 48000.0f);
        session.Dispatch(*audio, AUDIO_SET_BLOCK_SIZE, 0, cycle % 2 ? 256 : 64);
        session.Dispatch(*audio, AUDIO_OPEN);
        if (session.faulted()) return CheckOutcome::Fail("");
        if (const std::string* breach = context.Breach()) return StopAt(context, where, *breach);
        const int cycle_runs = session.Process(*audio, 4);
        if (session.faulted()) return CheckOutcome::Fail("");
        if (const std::string* breach = context.Breach()) return StopAt(context, where, *breach);
        session.Close(*audio);
        if (session.faulted()) return CheckOutcome::Fail("");
        if (cycle_runs == 0) return CheckOutcome::Fail(where + ": the processing routine could not be run");
        runs += cycle_runs;
    }
    return CheckOutcome::Pass(Counted(cycles, "cycle", "cycles") + " of open, sample rate, block size, processing (" +
                              Counted(runs, "run", "runs") + ") and close");
}

CheckOutcome GuiLifeCycle(CheckContext& context) {
    HostSession& session = context.session();
    const int cycles = context.options().cycles;
    const std::vector<PinDeclaration> pins = session.pins();
    SplitMix64 values(1);
    long changes = 0;
    for (int cycle = 1; cycle <= cycles; ++cycle) {
        const std::string where = "cycle " + std::to_string(cycle);
        context.Within("GUI life cycle, " + where);
        std::string problem;
        HostedObject* closed_flag = session.Create(ObjectKind::Gui, problem);
        HostedObject* open_flag = closed_flag != nullptr ? session.Create(ObjectKind::Gui, problem) : nullptr;
        if (open_flag == nullptr) return CheckOutcome::Fail(where + ": " + problem);
        session.Dispatch(*closed_flag, GUI_OPEN, 0);
        session.Dispatch(*open_flag, GUI_OPEN, 1);
        for (int idle = 0; idle < 3; ++idle) {
            session.Dispatch(*closed_flag, GUI_IDLE);
            session.Dispatch(*open_flag, GUI_IDLE);
        }
        if (session.faulted()) return CheckOutcome::Fail("");
        if (const std::string* breach = context.Breach()) return StopAt(context, where, *breach);
        for (const PinDeclaration& pin : pins) {
            if (pin.datatype == DT_BOOL) {
                session.SetPin(pin.index, 1);
                session.SetPin(pin.index, 0);
                changes += 2;
            } else {
                session.SetPin(pin.index, SampleValue(pin, values));
                ++changes;
            }
            if (session.faulted()) return CheckOutcome::Fail("");
            if (const std::string* breach = context.Breach()) return StopAt(context, where, *breach);
        }
        session.Close(*open_flag);
        session.Close(*closed_flag);
        if (session.faulted()) return CheckOutcome::Fail("");
        if (const std::string* breach = context.Breach()) return StopAt(context, where, *breach);
    }
    return CheckOutcome::Pass(Counted(cycles, "cycle", "cycles") +
                              " of two objects opened with flag false and true, idle, " +
                              Counted(changes, "pin change", "pin changes") + " and close");
}

CheckOutcome RandomSession(CheckContext& context) {
    HostSession& session = context.session();
    const std::uint64_t seed = context.options().seed;
    SplitMix64 random(seed);
    std::string problem;
    HostedObject* audio = session.Create(ObjectKind::Audio, problem);
    if (audio == nullptr) return CheckOutcome::Fail(problem);
    session.Dispatch(*audio, AUDIO_SET_SAMPLE_RATE, 0, 0, 0, 44100.0f);
    session.Dispatch(*audio, AUDIO_SET_BLOCK_SIZE, 0, 256);
    session.Dispatch(*audio, AUDIO_OPEN);
    HostedObject* first_gui = session.Create(ObjectKind::Gui, problem);
    if (first_gui == nullptr) return CheckOutcome::Fail(problem);
    session.Dispatch(*first_gui, GUI_OPEN, 0);
    bool ctrl_held = false;
    const std::vector<PinDeclaration> pins = session.pins();
    for (int step = 0; step < kRandomEvents && !session.faulted(); ++step) {
        // The breach came in the event before this one.
        if (const std::string* breach = context.Breach())
            return StopAt(context, step == 0 ? std::string("at the start") : "event " + std::to_string(step), *breach);
        context.Within("random session, seed " + std::to_string(seed) + ", event " + std::to_string(step + 1));
        std::vector<HostedObject*> guis = session.Objects(ObjectKind::Gui);
        const int choice = random.Below(100);
        if (choice < 45) {
            if (pins.empty()) continue;
            const PinDeclaration& pin = pins[random.Below(static_cast<int>(pins.size()))];
            session.SetPin(pin.index, SampleValue(pin, random));
        } else if (choice < 60) {
            if (!guis.empty()) session.Dispatch(*guis[random.Below(static_cast<int>(guis.size()))], GUI_IDLE);
        } else if (choice < 67) {
            ctrl_held = !ctrl_held;
            host_platform::SetKeyHeld(platform::kVirtualKeyControl, ctrl_held);
        } else if (choice < 73) {
            if (static_cast<int>(guis.size()) >= kMaxGuiObjects) continue;
            HostedObject* gui = session.Create(ObjectKind::Gui, problem);
            if (gui == nullptr) {
                host_platform::ReleaseHeldKeys();
                return CheckOutcome::Fail(problem);
            }
            session.Dispatch(*gui, GUI_OPEN, random.Below(2));
        } else if (choice < 79) {
            if (guis.size() > 1) session.Close(*guis[random.Below(static_cast<int>(guis.size()))]);
        } else if (choice < 88) {
            session.Process(*audio, 1 + random.Below(3));
        } else if (choice < 93) {
            static const float kRates[] = {22050.0f, 44100.0f, 48000.0f, 96000.0f};
            if (random.Below(2) == 0)
                session.Dispatch(*audio, AUDIO_SET_SAMPLE_RATE, 0, 0, 0, kRates[random.Below(4)]);
            else
                session.Dispatch(*audio, AUDIO_SET_BLOCK_SIZE, 0, 32 << random.Below(5));
        } else {
            // Let the module's clock move, so that timing paths differ.
            context.clock().Wait(static_cast<std::uint32_t>(random.Below(4)));
        }
    }
    host_platform::ReleaseHeldKeys();
    if (session.faulted()) return CheckOutcome::Fail("");
    if (const std::string* breach = context.Breach())
        return StopAt(context, "event " + std::to_string(kRandomEvents), *breach);
    session.CloseAll();
    if (session.faulted()) return CheckOutcome::Fail("");
    return CheckOutcome::Pass(std::to_string(kRandomEvents) + " host events, seed " + std::to_string(seed));
}

}  // namespace checks
