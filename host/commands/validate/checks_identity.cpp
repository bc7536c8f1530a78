// Checks of the module's identity: getModuleProperties(0) and the indices
// and types both exports must refuse.
#include "commands/validate/check_table.h"

#include "session/session_text.h"

#include <limits>

using session_text::Hex32;

namespace checks {

CheckOutcome Identity(CheckContext& context) {
    HostSession& session = context.session();
    // A field the module leaves unwritten keeps the host's fill pattern.
    ModulePropertiesRecord properties;
    const std::int32_t untouched = static_cast<std::int32_t>(0xCDCDCDCD);
    if (!session.GetModuleProperties(0, properties, 0xCD))
        return CheckOutcome::Fail(session.faulted() ? "" : "getModuleProperties(0) returned false");
    std::vector<std::string> problems;
    if (properties.overrun != 0)
        problems.push_back("getModuleProperties(0) " +
                           OverrunText(session.library().layout().properties.size, properties.overrun));
    std::string name, id, about;
    // The texts are the module's; an unset pointer must not take semhost down.
    const ModuleMemory& memory = session.memory();
    const std::pair<ModuleAddress, std::string*> texts[] = {
        {properties.name, &name}, {properties.id, &id}, {properties.about, &about}};
    for (const auto& [address, copy] : texts) {
        if (address == 0 || memory.ReadText(address, *copy, 4096)) continue;
        return CheckOutcome::Fail("the identity texts cannot be read (" + session.library().DescribeAddress(address) +
                                  ")");
    }
    if (properties.name == 0 || name.empty()) problems.push_back("the name is null or empty");
    if (properties.id == 0 || id.empty()) problems.push_back("the id is null or empty");
    if (properties.about == 0) problems.push_back("the about text is null");
    if (properties.sdk_version == untouched)
        problems.push_back("sdk_version was not written");
    else if (properties.sdk_version <= 0)
        problems.push_back("sdk_version " + std::to_string(properties.sdk_version));
    if (!problems.empty()) return CheckOutcome::Of(problems, "");
    session.WatchIdentity(properties);
    return CheckOutcome::Pass("\"" + name + "\" (id \"" + id + "\"), about \"" + about + "\", flags " +
                              Hex32(properties.flags) + " and " + Hex32(properties.secondary_flags) + ", SDK " +
                              std::to_string(properties.sdk_version));
}

CheckOutcome IdentityRefusals(CheckContext& context) {
    std::vector<std::string> problems;
    for (std::int32_t index : {1, -1, 2, 1000, std::numeric_limits<std::int32_t>::min()}) {
        ModulePropertiesRecord properties;
        if (context.session().GetModuleProperties(index, properties))
            problems.push_back("getModuleProperties(" + std::to_string(index) + ") returned true");
        if (context.faulted()) return CheckOutcome::Fail("");
    }
    return CheckOutcome::Of(problems, "indices 1, -1, 2, 1000 and -2147483648 refused");
}

CheckOutcome MakeModuleRefusals(CheckContext& context) {
    const std::pair<std::int32_t, std::int32_t> refusals[] = {{1, MT_AUDIO}, {1, MT_GUI}, {-1, MT_GUI},
                                                              {0, 0},        {0, 3},      {0, -1}};
    std::vector<std::string> problems;
    for (const auto& [index, type] : refusals) {
        const ModuleAddress record = context.session().MakeModule(index, type, 0x5EFF0000);
        if (context.faulted()) return CheckOutcome::Fail("");
        // Nothing tells the host how to end an object it did not ask for; it
        // is left as it is.
        if (record != 0)
            problems.push_back("makeModule(" + std::to_string(index) + ", " + session_text::ModuleType(type) +
                               ") returned a record instead of null");
    }
    return CheckOutcome::Of(problems, "indices 1 and -1, types 0, 3 and -1 give null");
}

}  // namespace checks
