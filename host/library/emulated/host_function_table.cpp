#include "library/emulated/host_function_table.h"

#include "library/emulated/address_space.h"

HostFunctionTable::HostFunctionTable() {
    m_entries.push_back({Kind::ReturnSentinel, nullptr, {}});
    m_entries.push_back({Kind::Callback, nullptr, {}});
}

std::uint32_t HostFunctionTable::SlotAddress(std::size_t slot) {
    return address_space::kHostFunctionBase + static_cast<std::uint32_t>(slot) * kSlotSize;
}

std::uint32_t HostFunctionTable::Add(Entry entry) {
    const auto known = m_by_import.find(entry.import);
    if (known != m_by_import.end()) return known->second;
    if (m_entries.size() >= address_space::kHostFunctionSize / kSlotSize) return 0;
    const std::uint32_t address = SlotAddress(m_entries.size());
    m_by_import.emplace(entry.import, address);
    m_entries.push_back(std::move(entry));
    return address;
}

std::uint32_t HostFunctionTable::AddStandIn(const StandIn& stand_in, const std::string& import) {
    return Add({Kind::StandIn, &stand_in, import});
}

std::uint32_t HostFunctionTable::AddUnprovided(const std::string& import) {
    return Add({Kind::Unprovided, nullptr, import});
}

const HostFunctionTable::Entry* HostFunctionTable::Find(std::uint32_t address) const {
    if (address < address_space::kHostFunctionBase || (address - address_space::kHostFunctionBase) % kSlotSize != 0)
        return nullptr;
    const std::size_t slot = (address - address_space::kHostFunctionBase) / kSlotSize;
    return slot < m_entries.size() ? &m_entries[slot] : nullptr;
}
