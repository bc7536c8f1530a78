// What `semhost try` takes from each block its module's audio object plays:
// the newest samples of every sample output for the scopes, and the blocks
// of the output someone listens to, with a checksum of each, for the page
// that plays them.
#pragma once

#include "session/host_session.h"

#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <vector>

// FNV-1a over the samples' bits, a word at a time: the page's player
// computes the same over what it receives.
std::uint32_t SampleChecksum(const float* samples, std::size_t count, std::uint32_t hash = 2166136261u);

// One block for the listening page.
struct ListenedBlock {
    std::uint64_t start = 0;  // the sample clock of its first sample
    std::vector<float> samples;
};

class OutputTap : public SessionObserver {
public:
    // Samples each scope shows: the newest.
    static constexpr std::size_t kScopeSamples = 1024;
    // Blocks whose checksums are kept for a page to compare with.
    static constexpr std::size_t kChecksumBlocks = 8192;

    // Starts listening to sample output `pin` (a declaration); -1 stops.
    void Listen(int pin);
    int listened() const { return m_listened; }
    // The blocks of the listened output since the last call.
    std::vector<ListenedBlock> TakeListened();
    // The checksum of `blocks` consecutive listened blocks from the one
    // starting at `from`, chained; false when they are not all kept.
    bool Checksum(std::uint64_t from, std::size_t blocks, std::uint32_t& hash) const;

    // Whether blocks ran since the last TakeScopes.
    bool scopes_changed() const { return m_scopes_changed; }
    // Each sample output's newest samples, oldest first, by declaration.
    std::map<int, std::vector<float>> TakeScopes();

    void OnRun(const ProcessingRun& run) override;

private:
    int m_listened = -1;
    std::vector<ListenedBlock> m_blocks;
    std::deque<std::pair<std::uint64_t, std::uint32_t>> m_checksums;  // block start, its checksum
    std::map<int, std::deque<float>> m_scopes;
    bool m_scopes_changed = false;
};
