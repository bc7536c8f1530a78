// The thread and process blocks the module reaches through FS, laid out as
// Windows lays out their i386 forms (only the fields code actually reads).
#pragma once

#include <cstdint>

namespace thread_block {

// The one process and thread, as GetCurrentProcessId and GetCurrentThreadId answer.
inline constexpr std::uint32_t kOwnProcessId = 0x04D8;
inline constexpr std::uint32_t kOwnThreadId = 0x04DC;

// Thread block (TEB), at fs:[0].
inline constexpr std::uint32_t kExceptionList = 0x00;  // 0xFFFFFFFF: no handler
inline constexpr std::uint32_t kStackBase = 0x04;      // the stack's high end
inline constexpr std::uint32_t kStackLimit = 0x08;     // its low end
inline constexpr std::uint32_t kSelf = 0x18;
inline constexpr std::uint32_t kProcessId = 0x20;
inline constexpr std::uint32_t kThreadId = 0x24;
inline constexpr std::uint32_t kThreadLocalStoragePointer = 0x2C;  // the image's static TLS blocks
inline constexpr std::uint32_t kProcessBlock = 0x30;
inline constexpr std::uint32_t kLastError = 0x34;
inline constexpr std::uint32_t kErrno = 0x800;  // the C runtime's errno: a word of the block nobody else uses
inline constexpr std::uint32_t kTlsSlots = 0xE10;

// Process block (PEB).
inline constexpr std::uint32_t kImageBaseAddress = 0x08;
inline constexpr std::uint32_t kTlsBitmapBits = 0x44;  // the slots TlsAlloc gave out

}  // namespace thread_block
