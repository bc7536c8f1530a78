#include "commands/validate/check_table.h"

CheckOutcome CheckOutcome::Of(const std::vector<std::string>& problems, std::string passed) {
    if (problems.empty()) return Pass(std::move(passed));
    std::string reason = problems.front();
    if (problems.size() > 1) reason += " (and " + std::to_string(problems.size() - 1) + " more)";
    return Fail(reason);
}

const std::vector<CheckDefinition>& CheckTable() {
    using K = CheckKind;
    using N = CheckNeed;
    static const std::vector<CheckDefinition> table = {
        {kLoadCheck, "the library loads: its attach and constructors return, without a crash or hang", K::Module,
         N::Nothing, checks::Load},
        {"exports", "getModuleProperties and makeModule exported; every import the library needs provided",
         K::Module, N::Nothing, checks::Exports},
        {"other-exports", "no exports beyond getModuleProperties and makeModule (a warning names them)", K::Module,
         N::Nothing, checks::OtherExports},
        {"identity", "getModuleProperties(0): name, id and about readable, SDK version set, nothing written past "
                     "the record",
         K::Module, N::Nothing, checks::Identity},
        {"identity-refusals", "getModuleProperties refuses every index but 0", K::Module, N::Nothing,
         checks::IdentityRefusals},
        {"make-module-refusals", "makeModule gives null for other indices and unknown types", K::Module, N::Nothing,
         checks::MakeModuleRefusals},
        {"audio-record", "the audio record's magic, version and fields; two objects have two records", K::Module,
         N::Nothing, checks::AudioRecord},
        {"gui-record", "the GUI record's magic, version and fields; two objects have two records", K::Module,
         N::Nothing, checks::GuiRecord},
        {"pin-declarations", "pins numbered from 0 without gaps, named, of known data types, by the patch-store rule",
         K::Module, N::Nothing, checks::PinDeclarations},
        {"audio-life-cycle", "audio objects opened, set up, processed and closed, once per cycle", K::Module,
         N::Nothing, checks::AudioLifeCycle, true},
        {"gui-life-cycle", "GUI objects opened both ways, idled, told of each pin's change and closed, once per cycle",
         K::Module, N::Nothing, checks::GuiLifeCycle, true},
        {"random-session", "a seeded random session of host events", K::Module, N::Nothing, checks::RandomSession,
         true},
        {"finite-output", "no NaN or infinite sample in any output after any run of a sine, noise, an impulse and "
                          "silence",
         K::Module, N::Nothing, checks::FiniteOutput, true},
        {"subnormal-output", "no subnormal sample in any output after any run", K::Module, N::Nothing,
         checks::SubnormalOutput, true},
        {"buffer-bounds", "the guards before and after each sample buffer's block intact after every run", K::Module,
         N::Nothing, checks::BufferBounds, true},
        {"inputs-unchanged", "each input's buffer holds the host's signal after every run", K::Module, N::Nothing,
         checks::InputsUnchanged, true},
        {"block-sizes-and-rates", "runs in blocks of 1 to 8192 samples at 8000 to 192000 Hz, each announced through "
                                  "the dispatcher",
         K::Module, N::Nothing, checks::BlockSizesAndRates, true},
        {"pin-extremes", "every audio-side value input set to 0, -1, 1, its type's extremes and seeded random "
                         "values, with runs between: no crash, hang or non-finite output",
         K::Module, N::Nothing, checks::PinExtremes, true},
        {"pin-changes-followed", "a value input changed while running changes the output as opening with the value "
                                 "does",
         K::Module, N::Nothing, checks::PinChangesFollowed, true},
        {"allocations-in-run", "no allocation or free in any processing run after an object's first", K::Module,
         N::HeapOperations, checks::AllocationsInRun, true},
        {"sleep-while-sounding", "no AUDIO_HOST_SLEEP while an output still moves", K::Module, N::Nothing,
         checks::SleepWhileSounding, true},
        {"heap-after-close", "no block of the module's heap still held once the last object closed", K::Module,
         N::Heap, checks::HeapAfterClose, true},
        {"unload", "the library unloads: its detach and destructors return", K::Module, N::Nothing, checks::Unload},
        {"callback-opcodes", "every callback's opcode known to the calling side", K::Summary, N::Nothing,
         checks::CallbackOpcodes},
        {"callback-records", "every callback comes with the calling object's own record", K::Summary, N::Nothing,
         checks::CallbackRecords},
        {"callback-arguments", "callback arguments within the host contract; no runaway pin changes or events",
         K::Summary, N::Nothing, checks::CallbackArguments},
        {"records-unchanged", "no record field the host reads rewritten; the processing routine changed only as told",
         K::Summary, N::Nothing, checks::RecordsUnchanged},
        {"identity-texts-unchanged", "the identity texts readable and unchanged after every call", K::Summary,
         N::Nothing, checks::IdentityTextsUnchanged},
        {"calling-convention", "after every call: the registers a callee keeps kept, the stack pointer where it was",
         K::Summary, N::Registers, checks::CallingConvention},
        {"stack-alignment", "every check's verdict the same at each stack alignment a Win32 caller may give",
         K::Passes, N::StackAlignment, checks::StackAlignment},
    };
    return table;
}

const CheckDefinition* FindCheck(const std::string& id) {
    for (const CheckDefinition& check : CheckTable())
        if (id == check.id) return &check;
    return nullptr;
}

std::string MissingCapability(CheckNeed need, const ModuleLibrary& library) {
    const std::string back_end = std::string("the ") + library.back_end() + " back end ";
    switch (need) {
    case CheckNeed::Nothing: return "";
    case CheckNeed::Registers:
        return library.watches_registers() ? "" : back_end + "cannot compare registers around a call on this processor";
    case CheckNeed::Heap:
        return library.watches_heap() ? ""
                                      : back_end + "does not watch the module's heap: the system's allocator serves it";
    case CheckNeed::StackAlignment:
        return library.sets_stack_alignment()
                   ? ""
                   : back_end + "calls the module at its platform's own stack alignment only; the emulator tries all four";
    case CheckNeed::HeapOperations:
        return library.counts_heap_operations() ? "" : back_end + "cannot count its heap calls: " +
                                                           library.heap_operations_unwatched();
    }
    return "";
}
