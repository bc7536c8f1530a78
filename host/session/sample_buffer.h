// A sample pin's buffer as the host lends it to the module: one block of
// 32-bit floats between two guard zones the module must leave as they are.
//
// The buffer never moves: a module keeps the address it was given once
// (AUDIO_HOST_GET_PIN_BUFFER, or its variable), so the room is made for the
// longest block the host plays, and for a shorter block everything after
// the block's end is guard. Either way a write one sample past the block,
// or one before it, lands in a guard the host checks after each run.
#pragma once

#include "session/module_memory.h"

#include <cstdint>
#include <optional>
#include <vector>

class SampleBuffer {
public:
    // The guard before the block, and the part of the guard after it that
    // is checked after each run (the rest of the room holds the same
    // pattern).
    static constexpr int kGuardSamples = 64;
    // A quiet NaN with a payload of its own: a module that reads past its
    // block gets a value that shows in its output, and one that writes
    // there will not write this by chance.
    static constexpr std::uint32_t kGuardBits = 0x7FC0A5A5;

    SampleBuffer(ModuleLibrary& library, int max_block);

    // The block's first sample: the address the module is given.
    ModuleAddress address() const { return m_block.address() + kGuardSamples * sizeof(float); }
    int length() const { return m_length; }

    // Makes the block `length` samples long (1 to max_block): zeros where
    // the block grew, the guard pattern after it.
    void SetLength(int length);
    // Writes the block's samples (`length()` of them).
    void Write(const float* samples);
    // Reads the block's samples into `samples` (resized to `length()`).
    void Read(std::vector<float>& samples) const;

    // After a run: the offset of the first sample outside the block the
    // module changed (negative: before the block; length() or more: after
    // it), or none. The guards are laid again, so each breach is told once.
    std::optional<int> CheckGuards();

private:
    void LayGuard(int from, int to);  // offsets relative to the block's start

    ModuleLibrary& m_library;
    int m_max_block;
    int m_length = 0;
    HostBlock m_block;
};
