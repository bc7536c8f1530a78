// An image's static thread-local storage, as its TLS directory describes
// it: the template each thread's block starts from, where the loader writes
// the block's index, and the callbacks it runs around DllMain.
#pragma once

#include "library/emulated/mapped_image.h"
#include "library/emulated/pe_image.h"

#include <cstdint>
#include <string>
#include <vector>

struct ThreadLocalStorage {
    std::uint32_t template_rva = 0;
    std::uint32_t template_size = 0;
    std::uint32_t zero_fill = 0;
    std::uint32_t index_rva = 0;
    std::vector<std::uint32_t> callbacks;  // absolute addresses, in order
};

// Reads the directory of an image already relocated to `base`. False with
// one line in `problem` when any part lies outside the image; an image
// without the directory gives an empty `storage`.
bool ReadThreadLocalStorage(const MappedImage& mapped, const PeImage& image, std::uint32_t base,
                            ThreadLocalStorage& storage, std::string& problem);
