// Checks of the library as a whole: its load, its exports and imports, its
// heap once every object has closed, and its unload.
#include "commands/validate/check_table.h"

namespace checks {

CheckOutcome Load(CheckContext& context) {
    // The copy under test is loaded before any check runs; a load that
    // crashed or hung never reaches here (RunValidate, or the pass at that
    // alignment, reports it as this check's failure).
    return CheckOutcome::Pass(std::string("the library loaded in the ") + context.library().back_end() +
                              " back end: its attach and constructors returned");
}

CheckOutcome Exports(CheckContext& context) {
    // A load warning (an import semhost does not stand in for) is a call that
    // would fail in a real host too.
    return CheckOutcome::Of(context.library().warnings(), "getModuleProperties and makeModule are exported");
}

CheckOutcome OtherExports(CheckContext& context) {
    // A host looks up the two names only; a third export is code no host
    // calls, or one that expects a host of its own.
    const ModuleLibrary& library = context.library();
    if (!library.exported_names())
        return CheckOutcome::Skip(std::string("not run: the ") + library.back_end() +
                                  " back end could not read the file's exports: " + library.exports_problem());
    std::string others;
    int count = 0;
    for (const std::string& name : *library.exported_names()) {
        if (name == "getModuleProperties" || name == "makeModule") continue;
        others += (others.empty() ? "" : ", ") + name;
        ++count;
    }
    if (count == 0) return CheckOutcome::Pass("getModuleProperties and makeModule are its only exports");
    return CheckOutcome::Warn(Counted(count, "export", "exports") + " beyond getModuleProperties and makeModule, "
                              "which no host of the format calls: " + others);
}

CheckOutcome HeapAfterClose(CheckContext& context) {
    // The checks before end with every object closed: what the module
    // still holds of its heap then is lost for good.
    context.session().CloseAll();
    if (context.faulted()) return CheckOutcome::Fail("");
    ModuleLibrary& library = context.library();
    const std::vector<HeldBlock> held = library.HeldBlocks();
    if (held.empty()) return CheckOutcome::Pass("every block of the module's heap freed once the last object closed");
    std::size_t bytes = 0;
    for (const HeldBlock& block : held) bytes += block.size;
    std::string reason = Counted(static_cast<long long>(held.size()), "block", "blocks") + " (" +
                         std::to_string(bytes) + " bytes) leaked: still held after the last object closed:";
    for (std::size_t i = 0; i < held.size() && i < 3; ++i)
        reason += (i == 0 ? " " : ", ") + std::to_string(held[i].size) + " bytes at " +
                  library.DescribeAddress(held[i].address);
    if (held.size() > 3) reason += ", ...";
    return CheckOutcome::Fail(reason);
}

CheckOutcome Unload(CheckContext& context) {
    context.session().CloseAll();
    if (context.faulted()) return CheckOutcome::Fail("");
    std::string fault;
    if (!context.library().Unload(fault)) return CheckOutcome::Fail("the module " + fault + " while unloading");
    return CheckOutcome::Pass("the library unloaded: its detach and destructors returned");
}

}  // namespace checks
