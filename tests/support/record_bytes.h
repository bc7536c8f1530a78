// Reading and writing host records as raw bytes at literal offsets, the way a
// host sees them, independent of the structs that declare them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace record_bytes {

static_assert(sizeof(void*) == 4 || sizeof(void*) == 8, "offsets are given for 4- and 8-byte pointers");

// An offset or size for the build's pointer width: the first for 4-byte
// pointers (the product target), the second for 8-byte ones (native).
constexpr std::size_t At(std::size_t with_4_byte_pointers, std::size_t with_8_byte_pointers) {
    return sizeof(void*) == 4 ? with_4_byte_pointers : with_8_byte_pointers;
}

template <typename T>
T Read(const void* record, std::size_t offset) {
    T value;
    std::memcpy(&value, static_cast<const unsigned char*>(record) + offset, sizeof value);
    return value;
}

template <typename T>
void Write(void* record, std::size_t offset, T value) {
    std::memcpy(static_cast<unsigned char*>(record) + offset, &value, sizeof value);
}

// A pointer-sized word: an address, or an address-sized value.
inline std::uintptr_t Word(const void* record, std::size_t offset) { return Read<std::uintptr_t>(record, offset); }

template <typename Function>
std::uintptr_t AddressOf(Function function) {
    return reinterpret_cast<std::uintptr_t>(function);
}

}  // namespace record_bytes
