// The fuzzer's bytes, read front to back by everyone who needs a decision:
// the driver (which call to make next), the host (what to answer) and the
// platform (clock, keys, random numbers). Past the end every read gives 0,
// so a short input is still a complete, valid run.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>

namespace fuzz {

class Input {
public:
    Input(const std::uint8_t* data, std::size_t size) : m_data(data), m_size(size) {}

    bool Empty() const { return m_position >= m_size; }

    std::uint8_t Byte() { return Empty() ? 0 : m_data[m_position++]; }

    // Little-endian, zero-padded past the end.
    std::uint32_t Word() {
        std::uint32_t word = 0;
        for (int shift = 0; shift < 32; shift += 8) word |= static_cast<std::uint32_t>(Byte()) << shift;
        return word;
    }

    // True with a probability of about `in256` out of 256.
    bool Chance(unsigned in256) { return Byte() < in256; }

    // A signed 32-bit value biased to what breaks code: the pin numbers and
    // their neighbours, the ends of the range, and any bit pattern.
    std::int32_t Int() {
        const std::uint8_t selector = Byte();
        switch (selector % 16) {
        case 8: return -1;
        case 9: return 8;
        case 10: return std::numeric_limits<std::int32_t>::min();
        case 11: return std::numeric_limits<std::int32_t>::max();
        case 12: return static_cast<std::int32_t>(selector >> 4) - 8;  // small, either sign
        case 13:
        case 14:
        case 15: return static_cast<std::int32_t>(Word());
        default: return selector % 16;  // 0 to 7: the module's pins
        }
    }

    // The bits of a 32-bit float biased to the values that break arithmetic:
    // zeros of both signs, NaNs (quiet, signalling, with payload), infinities,
    // denormals, the largest values, and any bit pattern.
    std::uint32_t FloatBits() {
        const std::uint8_t selector = Byte();
        switch (selector % 20) {
        case 0: return 0x00000000u;   // +0
        case 1: return 0x80000000u;   // -0
        case 2: return 0x3F800000u;   // 1
        case 3: return 0x7FC00000u;   // quiet NaN
        case 4: return 0xFFA00001u;   // negative signalling NaN with payload
        case 5: return 0x7F800000u;   // +inf
        case 6: return 0xFF800000u;   // -inf
        case 7: return 0x00000001u;   // smallest denormal
        case 8: return 0x807FFFFFu;   // largest negative denormal
        case 9: return 0x7F7FFFFFu;   // largest finite
        case 10: return 0xFF7FFFFFu;  // most negative finite
        case 11: return 0x43480000u;  // 200
        case 12: return 0x501502F9u;  // 1e10
        case 13: return 0xC0A00000u;  // -5
        case 14: return 0x4F000000u;  // 2^31, just outside a 32-bit integer
        case 15: return 0xCF000000u;  // -2^31, just inside
        default: return Word();
        }
    }

    float Float() { return std::bit_cast<float>(FloatBits()); }

    // Null or any address, for a `ptr` that nobody may read through: the base
    // class passes it on and the module ignores it.
    void* Pointer() { return Chance(128) ? nullptr : reinterpret_cast<void*>(static_cast<std::uintptr_t>(Word())); }

    // Up to `limit` raw bytes, zeros and all.
    std::string Text(std::size_t limit) {
        const std::size_t length = Byte() % (limit + 1);
        std::string text;
        for (std::size_t i = 0; i < length && !Empty(); ++i) text.push_back(static_cast<char>(Byte()));
        return text;
    }

private:
    const std::uint8_t* m_data;
    std::size_t m_size;
    std::size_t m_position = 0;
};

// The input of the run in progress; the host and the platform read from it.
Input& CurrentInput();
void SetCurrentInput(Input* input);

}  // namespace fuzz
