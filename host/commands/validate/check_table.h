// The checks of `semhost validate`, in one table: each has a stable id (what
// --only, --skip, the JSON and JUnit files and the replay line name it by),
// a line saying what it checks, when it runs, what it needs of the back end,
// and a small function that makes it. The functions live in a file per
// subject (checks_*.cpp).
#pragma once

#include "commands/validate/check_context.h"

#include <string>
#include <vector>

enum class CheckKind {
    Module,   // makes calls into the module, in table order
    Summary,  // judges what every call of the pass showed, after the others
    Passes,   // compares the passes at each stack alignment, after them all
};

// What a check needs of the back end; where the back end cannot give it,
// the check is skipped with the reason, never counted as passed.
enum class CheckNeed { Nothing, Registers, Heap, StackAlignment, HeapOperations };

struct CheckDefinition {
    const char* id;
    const char* summary;  // what it checks, for list-checks
    CheckKind kind;
    CheckNeed need;
    CheckOutcome (*run)(CheckContext& context);
    // Runs on a module the host has met (identity watched, pin table read).
    bool needs_pins = false;
};

const std::vector<CheckDefinition>& CheckTable();
// The id of the check that stands for the library's load.
inline constexpr char kLoadCheck[] = "load";
// The check of that id, or null.
const CheckDefinition* FindCheck(const std::string& id);
// Why a back end cannot make checks that need `need`, or "" when it can.
std::string MissingCapability(CheckNeed need, const ModuleLibrary& library);

// The checks, by subject.
namespace checks {
// checks_library.cpp
CheckOutcome Load(CheckContext& context);
CheckOutcome Exports(CheckContext& context);
CheckOutcome OtherExports(CheckContext& context);
CheckOutcome HeapAfterClose(CheckContext& context);
CheckOutcome Unload(CheckContext& context);
// checks_identity.cpp
CheckOutcome Identity(CheckContext& context);
CheckOutcome IdentityRefusals(CheckContext& context);
CheckOutcome MakeModuleRefusals(CheckContext& context);
// checks_records.cpp
CheckOutcome AudioRecord(CheckContext& context);
CheckOutcome GuiRecord(CheckContext& context);
CheckOutcome PinDeclarations(CheckContext& context);
// checks_life_cycles.cpp
CheckOutcome AudioLifeCycle(CheckContext& context);
CheckOutcome GuiLifeCycle(CheckContext& context);
CheckOutcome RandomSession(CheckContext& context);
// checks_audio_output.cpp
CheckOutcome FiniteOutput(CheckContext& context);
CheckOutcome SubnormalOutput(CheckContext& context);
CheckOutcome SleepWhileSounding(CheckContext& context);
// checks_audio_buffers.cpp
CheckOutcome BufferBounds(CheckContext& context);
CheckOutcome InputsUnchanged(CheckContext& context);
CheckOutcome AllocationsInRun(CheckContext& context);
// checks_audio_settings.cpp
CheckOutcome BlockSizesAndRates(CheckContext& context);
// checks_audio_pins.cpp
CheckOutcome PinExtremes(CheckContext& context);
CheckOutcome PinChangesFollowed(CheckContext& context);
// checks_calls.cpp
CheckOutcome CallbackOpcodes(CheckContext& context);
CheckOutcome CallbackRecords(CheckContext& context);
CheckOutcome CallbackArguments(CheckContext& context);
CheckOutcome RecordsUnchanged(CheckContext& context);
CheckOutcome IdentityTextsUnchanged(CheckContext& context);
CheckOutcome CallingConvention(CheckContext& context);
CheckOutcome StackAlignment(CheckContext& context);
}  // namespace checks
