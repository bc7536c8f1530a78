// Hexadecimal numbers as the back end's messages write them.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

// "0x1A2B": as short as the value.
inline std::string Hex(std::uint64_t value) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(value));
    return text;
}

// "0x00001A2B": an address of the 32-bit space, all eight digits.
inline std::string HexAddress(std::uint32_t address) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", address);
    return text;
}
