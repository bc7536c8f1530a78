#include "session/sample_buffer.h"

#include <algorithm>

SampleBuffer::SampleBuffer(ModuleLibrary& library, int max_block)
    : m_library(library),
      m_max_block(max_block),
      m_block(library, static_cast<std::size_t>(kGuardSamples + max_block + kGuardSamples) * sizeof(float)) {
    LayGuard(-kGuardSamples, max_block + kGuardSamples);
}

void SampleBuffer::LayGuard(int from, int to) {
    if (to <= from) return;
    const std::vector<std::uint32_t> pattern(static_cast<std::size_t>(to - from), kGuardBits);
    m_library.Write(address() + static_cast<ModuleAddress>(static_cast<std::int64_t>(from) * 4), pattern.data(),
                    pattern.size() * sizeof(std::uint32_t));
}

void SampleBuffer::SetLength(int length) {
    length = std::clamp(length, 1, m_max_block);
    if (length > m_length) {
        const std::vector<float> zeros(static_cast<std::size_t>(length - m_length), 0.0f);
        m_library.Write(address() + static_cast<ModuleAddress>(m_length) * 4, zeros.data(), zeros.size() * 4);
    } else if (length < m_length) {
        LayGuard(length, m_length);
    }
    m_length = length;
}

void SampleBuffer::Write(const float* samples) {
    m_library.Write(address(), samples, static_cast<std::size_t>(m_length) * sizeof(float));
}

void SampleBuffer::Read(std::vector<float>& samples) const {
    samples.resize(static_cast<std::size_t>(m_length));
    if (!m_library.Read(address(), samples.data(), samples.size() * sizeof(float)))
        std::fill(samples.begin(), samples.end(), 0.0f);
}

std::optional<int> SampleBuffer::CheckGuards() {
    // The guard before the block and the 64 samples after it are read each
    // run; the room beyond holds the pattern too, unchecked.
    const int after = kGuardSamples;
    std::vector<std::uint32_t> before(kGuardSamples);
    std::vector<std::uint32_t> behind(static_cast<std::size_t>(after));
    m_library.Read(m_block.address(), before.data(), before.size() * 4);
    m_library.Read(address() + static_cast<ModuleAddress>(m_length) * 4, behind.data(), behind.size() * 4);
    std::optional<int> breach;
    // The write nearest the block is the one that tells where the module
    // miscounted.
    for (int i = kGuardSamples; i-- > 0;)
        if (before[static_cast<std::size_t>(i)] != kGuardBits) {
            breach = i - kGuardSamples;
            break;
        }
    if (!breach)
        for (int i = 0; i < after; ++i)
            if (behind[static_cast<std::size_t>(i)] != kGuardBits) {
                breach = m_length + i;
                break;
            }
    if (breach) {
        LayGuard(-kGuardSamples, 0);
        LayGuard(m_length, m_length + after);
    }
    return breach;
}
