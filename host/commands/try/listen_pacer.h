// How `semhost try` paces its processing runs while a page listens: the page
// plays the samples it was sent at the audio rate and says how many it has
// played; the session runs a block only while what the page holds, with the
// block, fits in the page's buffer. Nothing here reads a clock: the page's
// counts of played samples are the audio clock.
#pragma once

#include <cstdint>

class ListenPacer {
public:
    // Blocks the listening page buffers: what the session keeps ahead of
    // what the page has played.
    static constexpr int kBufferBlocks = 32;

    // A fresh start: nothing sent, nothing played, a buffer of
    // `buffer_samples` (kBufferBlocks blocks of the session's block size).
    void Start(std::uint64_t buffer_samples);
    void Stop() { m_listening = false; }
    bool listening() const { return m_listening; }

    // The session sent the page a block of `samples`.
    void Sent(std::uint64_t samples) { m_sent += samples; }
    // The page says it has played `total` samples since Start. A count
    // that goes back, or past what was sent, is the page's mistake: it is
    // held to what can be so.
    void Played(std::uint64_t total);
    // Whether a block of `samples` is to run now.
    bool WantsBlock(std::uint64_t samples) const;
    // Sent and not yet played: what the page holds.
    std::uint64_t buffered() const { return m_sent - m_played; }
    std::uint64_t sent() const { return m_sent; }
    std::uint64_t played() const { return m_played; }

private:
    bool m_listening = false;
    std::uint64_t m_buffer = 0;
    std::uint64_t m_sent = 0;
    std::uint64_t m_played = 0;
};
