// semhost's functions as the module sees them: slots of the function page,
// which is readable but never executable. When the module calls (or
// returns to) one, the fetch stops the emulated CPU, and the library runs
// what the slot stands for.
#pragma once

#include "library/emulated/system_stand_ins.h"

#include <cstdint>
#include <map>
#include <string>
#include <vector>

class HostFunctionTable {
public:
    enum class Kind {
        ReturnSentinel,  // where each call from the host returns to
        Callback,        // the host's callback
        StandIn,         // a system function semhost provides
        Unprovided,      // an import semhost does not stand in for: calling it is a fault
    };
    struct Entry {
        Kind kind;
        const StandIn* stand_in;  // for StandIn
        std::string import;       // "KERNEL32.dll!GetTickCount64", for StandIn and Unprovided
    };

    HostFunctionTable();

    std::uint32_t return_sentinel() const { return SlotAddress(0); }
    std::uint32_t callback() const { return SlotAddress(1); }
    // The slot for an import; one per distinct function. 0 when the page is full.
    std::uint32_t AddStandIn(const StandIn& stand_in, const std::string& import);
    std::uint32_t AddUnprovided(const std::string& import);

    // The entry at a slot's address, or null.
    const Entry* Find(std::uint32_t address) const;

private:
    static constexpr std::uint32_t kSlotSize = 4;
    static std::uint32_t SlotAddress(std::size_t slot);
    std::uint32_t Add(Entry entry);

    std::vector<Entry> m_entries;
    std::map<std::string, std::uint32_t> m_by_import;
};
