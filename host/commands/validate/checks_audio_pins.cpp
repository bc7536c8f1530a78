// Checks on the audio side's value inputs, each set as a host sets it from
// the patch (its module variable written, EV_PIN_STATUS delivered at the
// next block): values at their extremes and seeded random ones, and changes
// that the output must follow as it would had the object opened with them.
#include "commands/validate/check_table.h"

#include "commands/validate/audio_rig.h"

#include <cmath>
#include <cstdio>
#include <limits>

namespace {

constexpr int kRunsPerValue = 2;
constexpr int kRandomValues = 4;
// How long an object may take to follow a change (a ramp, a smoothed
// coefficient): 1024 samples at 48 kHz, about 21 ms.
constexpr int kFollowBlocks = 16;
constexpr int kSettleBlocks = 3;

struct PinValue {
    std::uint32_t bits;
    std::string text;
};

std::string FloatText(float value) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", static_cast<double>(value));
    return text;
}

PinValue FloatValue(float value) { return {PinBitsOfFloat(value), FloatText(value)}; }
PinValue IntValue(std::int32_t value) { return {static_cast<std::uint32_t>(value), std::to_string(value)}; }

// 0, -1, 1, the largest and smallest values of the pin's type (for a float
// 1e9 and 1e-9 either side of 0: far beyond any control's range, still far
// from overflow in a gain), then seeded random ones over the type's range.
std::vector<PinValue> ExtremeValues(const PinDeclaration& pin, SplitMix64& random) {
    std::vector<PinValue> values;
    switch (pin.datatype) {
    case DT_FLOAT:
        for (const float value : {0.0f, -1.0f, 1.0f, 1e9f, -1e9f, 1e-9f, -1e-9f}) values.push_back(FloatValue(value));
        for (int i = 0; i < kRandomValues; ++i) {
            // Magnitudes from 1e-9 to 1e9 alike, either sign.
            const double magnitude = std::pow(10.0, random.Unit() * 18.0 - 9.0);
            values.push_back(FloatValue(static_cast<float>(random.Below(2) == 0 ? magnitude : -magnitude)));
        }
        break;
    case DT_BOOL:
        values = {IntValue(0), IntValue(1)};
        break;
    case DT_SHORT:
        for (const std::int32_t value : {0, -1, 1, 32767, -32768}) values.push_back(IntValue(value));
        for (int i = 0; i < kRandomValues; ++i) values.push_back(IntValue(random.Below(65536) - 32768));
        break;
    default:
        for (const std::int32_t value : {0, -1, 1, std::numeric_limits<std::int32_t>::max(),
                                         std::numeric_limits<std::int32_t>::min()})
            values.push_back(IntValue(value));
        for (int i = 0; i < kRandomValues; ++i) values.push_back(IntValue(static_cast<std::int32_t>(random.Next())));
    }
    return values;
}

// The values a change moves a pin to, until one changes the output.
std::vector<PinValue> ChangedValues(const PinDeclaration& pin, std::uint32_t now) {
    std::vector<PinValue> values;
    if (pin.datatype == DT_BOOL) {
        values.push_back(IntValue(now == 0 ? 1 : 0));
    } else if (pin.datatype == DT_FLOAT) {
        for (const float value : {0.5f, 1.0f, -1.0f}) values.push_back(FloatValue(value));
    } else {
        for (const std::int32_t value : {1, 2, -1}) values.push_back(IntValue(value));
    }
    std::vector<PinValue> changed;
    for (const PinValue& value : values)
        if (value.bits != now) changed.push_back(value);
    return changed;
}

// Peak and RMS of each output in a block, by which objects are compared.
struct Levels {
    std::vector<double> values;
    std::string text;  // "\"Out\" peak 0.25, RMS 0.177"
};

Levels LevelsOf(const HostSession& session, const RunRecord& run) {
    Levels levels;
    for (const ProcessingRun::Output& output : run.outputs) {
        levels.values.push_back(output.stats.peak);
        levels.values.push_back(output.stats.Rms());
        char text[96];
        std::snprintf(text, sizeof text, " peak %.4g, RMS %.4g", output.stats.peak, output.stats.Rms());
        levels.text += (levels.text.empty() ? "" : "; ") + OutputName(session, output) + text;
    }
    return levels;
}

double Distance(const Levels& a, const Levels& b) {
    double distance = 0.0;
    for (std::size_t i = 0; i < a.values.size() && i < b.values.size(); ++i)
        distance += std::fabs(a.values[i] - b.values[i]);
    return distance;
}

// Levels that differ by more than 5%: what a module's own randomness (a
// noise source seeded per object) would not make.
bool Differ(const Levels& a, const Levels& b) {
    double size = 0.0;
    for (const double value : a.values) size += std::fabs(value);
    return Distance(a, b) > 1e-6 + 0.05 * size;
}

std::string PinName(const PinDeclaration& pin) { return "\"" + pin.name + "\""; }

}  // namespace

namespace checks {

CheckOutcome PinExtremes(CheckContext& context) {
    if (!IsAudioModule(context.session())) return NotAnAudioModule();
    HostSession& session = context.session();
    const std::vector<PinDeclaration> inputs = AudioValueInputs(session);
    if (inputs.empty())
        return CheckOutcome::Pass("no value input on the audio side to set (every pin runs between the module and "
                                  "its GUI side, or is a sample pin)");
    SplitMix64 random(context.options().seed);
    ResetPins(context.session());
    AudioRig rig(context, "pin extremes");
    if (!rig.Open(48000.0f, 64, StandardSine()) || !rig.Run(kRunsPerValue)) return rig.Stop();
    // A module whose output is not finite at the values it opened with
    // fails finite-output; here only what the values do is judged.
    bool finite_before = true;
    for (const RunRecord& run : rig.runs())
        for (const ProcessingRun::Output& output : run.outputs) finite_before = finite_before && output.stats.Finite();
    int set = 0;
    for (const PinDeclaration& pin : inputs) {
        const std::uint32_t start = session.PinBits(pin.index);
        for (const PinValue& value : ExtremeValues(pin, random)) {
            const std::size_t from = rig.runs().size();
            if (!rig.Set(pin.index, value.bits) || !rig.Run(kRunsPerValue)) {
                const CheckOutcome stopped = rig.Stop();
                if (session.faulted()) context.FaultContext("after " + PinName(pin) + " was set to " + value.text);
                return stopped;
            }
            ++set;
            if (!finite_before) continue;
            for (std::size_t i = from; i < rig.runs().size(); ++i) {
                for (const ProcessingRun::Output& output : rig.runs()[i].outputs) {
                    if (output.stats.Finite()) continue;
                    const std::string reason =
                        "after " + PinName(pin) + " was set to " + value.text + " (its variable and EV_PIN_STATUS), " +
                        OutputName(session, output) + " held " + std::to_string(output.stats.nan) + " NaN and " +
                        std::to_string(output.stats.infinite) + " infinite samples in " + RunName(rig.runs()[i]);
                    // The checks after this one meet no object of it.
                    if (!rig.Close()) return rig.Stop();
                    return CheckOutcome::Fail(reason);
                }
            }
        }
        if (!rig.Set(pin.index, start)) return rig.Stop();
    }
    if (!rig.Close()) return rig.Stop();
    return CheckOutcome::Pass(Counted(static_cast<long long>(inputs.size()), "value input", "value inputs") +
                              " set to 0, -1, 1, the extremes of their types and " + std::to_string(kRandomValues) +
                              " random values each (seed " + std::to_string(context.options().seed) + "), " +
                              std::to_string(set) + " values with " + std::to_string(kRunsPerValue) +
                              " runs after each" +
                              (finite_before ? ", every output finite" : "; the output was not finite before any was set (finite-output's finding)"));
}

CheckOutcome PinChangesFollowed(CheckContext& context) {
    if (!IsAudioModule(context.session())) return NotAnAudioModule();
    HostSession& session = context.session();
    if (!DeclaresSamplePin(session, DR_OUT)) return NoSamplePin(DR_OUT, "no output to follow a change");
    const std::vector<PinDeclaration> inputs = AudioValueInputs(session);
    if (inputs.empty())
        return CheckOutcome::Pass("no value input on the audio side: nothing changes while it runs");
    ResetPins(session);
    std::string followed;
    std::string unheard;
    for (const PinDeclaration& pin : inputs) {
        const std::uint32_t start = session.PinBits(pin.index);
        AudioRig changed(context, "pin changes followed, " + PinName(pin) + " changed");
        if (!changed.Open(48000.0f, 64, StandardSine()) || !changed.Run(kSettleBlocks)) return changed.Stop();
        const Levels before = LevelsOf(session, changed.runs().back());
        const std::string start_text = session.FormatPinValue(pin.index, start);
        bool heard = false;
        for (const PinValue& value : ChangedValues(pin, start)) {
            if (!changed.Set(pin.index, value.bits) || !changed.Run(kFollowBlocks)) return changed.Stop();
            const Levels after = LevelsOf(session, changed.runs().back());
            // What the value gives an object that opens with it.
            AudioRig opened(context, "pin changes followed, opened with " + PinName(pin) + " " + value.text);
            if (!opened.Open(48000.0f, 64, StandardSine()) || !opened.Run(kSettleBlocks)) return opened.Stop();
            const Levels fresh = LevelsOf(session, opened.runs().back());
            if (!opened.Close()) return opened.Stop();
            if (!Differ(before, fresh)) continue;
            heard = true;
            // It must come at least a tenth of the way to what opening with
            // the value gives: a ramp may take longer, a deaf object stays.
            if (Distance(after, fresh) > 0.9 * Distance(before, fresh)) {
                if (!changed.Close()) return changed.Stop();
                return CheckOutcome::Fail(
                    PinName(pin) + " changed from " + start_text + " to " + value.text +
                    " (its variable and EV_PIN_STATUS) while running, and " + std::to_string(kFollowBlocks * 64) +
                    " samples later the output was still as before (" + after.text + "); an object opened at " +
                    value.text + " gives " + fresh.text + ": the change was not followed (are its status events read?)");
            }
            followed += (followed.empty() ? "" : ", ") + PinName(pin) + " " + start_text + " to " + value.text;
            break;
        }
        if (!heard) unheard += (unheard.empty() ? "" : ", ") + PinName(pin);
        if (!changed.Set(pin.index, start) || !changed.Close()) return changed.Stop();
    }
    std::string reason = followed.empty() ? "no change of a value input made a difference to an object opened with it"
                                          : "followed while running as an object opened with the value: " + followed;
    if (!followed.empty() && !unheard.empty()) reason += "; no value tried changed the output for " + unheard;
    return CheckOutcome::Pass(reason);
}

}  // namespace checks
