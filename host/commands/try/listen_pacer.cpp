#include "commands/try/listen_pacer.h"

#include <algorithm>

void ListenPacer::Start(std::uint64_t buffer_samples) {
    m_listening = true;
    m_buffer = buffer_samples;
    m_sent = 0;
    m_played = 0;
}

void ListenPacer::Played(std::uint64_t total) { m_played = std::clamp(total, m_played, m_sent); }

bool ListenPacer::WantsBlock(std::uint64_t samples) const {
    return m_listening && buffered() + samples <= m_buffer;
}
