// Checks of what makeModule gives: the audio and GUI records, and the pin
// declarations an audio object makes.
#include "commands/validate/check_table.h"

#include "SEProtocol.h"

#include "protocol/protocol_names.h"
#include "session/session_text.h"

#include <map>

using session_text::Hex32;

namespace {

constexpr int kGapProbe = 16;

CheckOutcome Records(CheckContext& context, ObjectKind kind) {
    HostSession& session = context.session();
    std::string problem;
    HostedObject* first = session.Create(kind, problem);
    if (first == nullptr) return CheckOutcome::Fail(problem);
    HostedObject* second = session.Create(kind, problem);
    if (second == nullptr) return CheckOutcome::Fail("second object: " + problem);
    const bool distinct = first->record != second->record && first->fields.object != second->fields.object;
    session.Close(*second);
    session.Close(*first);
    if (!distinct) return CheckOutcome::Fail("two makeModule calls gave the same record or object");
    const bool gui = kind == ObjectKind::Gui;
    return CheckOutcome::Pass("magic " + Hex32(gui ? GUI_PLUG_MAGIC : AUDIO_PLUG_MAGIC) +
                              ", version 1, the host's host_value, object and " +
                              (gui ? std::string("dispatcher") : std::string("dispatcher, process and event_handler")) +
                              " set; two objects have two records");
}

}  // namespace

namespace checks {

CheckOutcome AudioRecord(CheckContext& context) { return Records(context, ObjectKind::Audio); }

CheckOutcome GuiRecord(CheckContext& context) { return Records(context, ObjectKind::Gui); }

CheckOutcome PinDeclarations(CheckContext& context) {
    HostSession& session = context.session();
    std::string problem;
    HostedObject* audio = session.Create(ObjectKind::Audio, problem);
    if (audio == nullptr) return CheckOutcome::Fail(problem);
    std::vector<std::string> problems;
    session.ReadPinTable(*audio, problems);
    if (session.faulted()) return CheckOutcome::Fail("");
    const std::vector<PinDeclaration>& pins = session.pins();
    const int count = static_cast<int>(pins.size());

    // The host stops at the first refused number: a declaration past a gap
    // would never be seen.
    const HostBlock scratch(session.library(), session.library().layout().pin.size);
    for (int number = count + 1; number <= count + kGapProbe; ++number) {
        if (session.Dispatch(*audio, AUDIO_GET_PIN_PROPERTIES, number, 0, scratch.address()) != 0) {
            problems.push_back("a gap in the pin table: pin " + std::to_string(count) + " is not declared, but pin " +
                               std::to_string(number) + " is");
            break;
        }
        if (session.faulted()) return CheckOutcome::Fail("");
    }
    if (session.Dispatch(*audio, AUDIO_GET_PIN_PROPERTIES, -1, 0, scratch.address()) != 0)
        problems.push_back("pin -1 is declared");
    if (session.faulted()) return CheckOutcome::Fail("");

    std::map<std::string, int> names;
    for (const PinDeclaration& pin : pins) {
        const std::string label = "pin " + std::to_string(pin.index);
        if (pin.name.empty())
            problems.push_back(label + " has an empty name");
        else if (names.count(pin.name))
            problems.push_back(label + " has the same name as pin " + std::to_string(names[pin.name]) + ", \"" +
                               pin.name + "\"");
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
    session.Close(*audio);
    return CheckOutcome::Of(problems, Counted(count, "pin", "pins") +
                                          (count > 0 ? ", numbered 0 to " + std::to_string(count - 1) : std::string()) +
                                          ", no gap; names, directions, data types and the patch-store rule as "
                                          "required");
}

}  // namespace checks
