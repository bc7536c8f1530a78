#include "commands/try/output_tap.h"

#include <cstring>

std::uint32_t SampleChecksum(const float* samples, std::size_t count, std::uint32_t hash) {
    for (std::size_t i = 0; i < count; ++i) {
        std::uint32_t bits;
        std::memcpy(&bits, &samples[i], sizeof bits);
        hash = (hash ^ bits) * 16777619u;
    }
    return hash;
}

void OutputTap::Listen(int pin) {
    m_listened = pin;
    m_blocks.clear();
    m_checksums.clear();
}

std::vector<ListenedBlock> OutputTap::TakeListened() {
    std::vector<ListenedBlock> blocks;
    blocks.swap(m_blocks);
    return blocks;
}

bool OutputTap::Checksum(std::uint64_t from, std::size_t blocks, std::uint32_t& hash) const {
    std::size_t first = 0;
    while (first < m_checksums.size() && m_checksums[first].first != from) ++first;
    if (first + blocks > m_checksums.size() || blocks == 0) return false;
    // Chained: each block's checksum goes into the next, as the page chains them.
    hash = 2166136261u;
    for (std::size_t i = first; i < first + blocks; ++i) hash = (hash ^ m_checksums[i].second) * 16777619u;
    return true;
}

std::map<int, std::vector<float>> OutputTap::TakeScopes() {
    m_scopes_changed = false;
    std::map<int, std::vector<float>> scopes;
    for (const auto& [pin, samples] : m_scopes) scopes[pin].assign(samples.begin(), samples.end());
    return scopes;
}

void OutputTap::OnRun(const ProcessingRun& run) {
    if (run.object == nullptr) return;
    for (const ProcessingRun::Output& output : run.outputs) {
        const auto port = run.object->sample_ports.find(output.audio_pin);
        if (port == run.object->sample_ports.end()) continue;
        const std::vector<float>& block = port->second.block;
        std::deque<float>& scope = m_scopes[output.pin];
        scope.insert(scope.end(), block.begin(), block.end());
        if (scope.size() > kScopeSamples)
            scope.erase(scope.begin(), scope.begin() + static_cast<std::ptrdiff_t>(scope.size() - kScopeSamples));
        m_scopes_changed = true;
        if (output.pin != m_listened) continue;
        m_blocks.push_back({run.block_start, block});
        m_checksums.emplace_back(run.block_start, SampleChecksum(block.data(), block.size()));
        while (m_checksums.size() > kChecksumBlocks) m_checksums.pop_front();
    }
}
