#include "library/emulated/thread_local_storage.h"

namespace {

constexpr std::uint32_t kMaxBlockSize = 1u << 20;
constexpr unsigned kMaxCallbacks = 64;

bool Malformed(std::string& problem, const std::string& what) {
    problem = "not a valid i386 PE image: the TLS directory's " + what + " lies outside the image";
    return false;
}

}  // namespace

bool ReadThreadLocalStorage(const MappedImage& mapped, const PeImage& image, std::uint32_t base,
                            ThreadLocalStorage& storage, std::string& problem) {
    storage = ThreadLocalStorage{};
    const PeDirectory& directory = image.directories[kTlsDirectory];
    if (directory.rva == 0 || directory.size == 0) return true;
    // The directory holds addresses, not RVAs: relocated like any pointer.
    std::uint32_t start = 0, end = 0, index = 0, callbacks = 0;
    if (!mapped.ReadU32(directory.rva, start) || !mapped.ReadU32(directory.rva + 4, end) ||
        !mapped.ReadU32(directory.rva + 8, index) || !mapped.ReadU32(directory.rva + 12, callbacks) ||
        !mapped.ReadU32(directory.rva + 16, storage.zero_fill))
        return Malformed(problem, "header");
    if (end < start || !mapped.Contains(start - base, end - start) || end - start > kMaxBlockSize ||
        storage.zero_fill > kMaxBlockSize)
        return Malformed(problem, "template");
    storage.template_rva = start - base;
    storage.template_size = end - start;
    if (index != 0) {
        if (!mapped.Contains(index - base, 4)) return Malformed(problem, "index");
        storage.index_rva = index - base;
    }
    if (callbacks == 0) return true;
    for (unsigned i = 0;; ++i) {
        std::uint32_t callback = 0;
        if (i == kMaxCallbacks || !mapped.ReadU32(callbacks - base + 4 * i, callback))
            return Malformed(problem, "callback table");
        if (callback == 0) return true;
        if (!mapped.Contains(callback - base, 1)) return Malformed(problem, "callback");
        storage.callbacks.push_back(callback);
    }
}
