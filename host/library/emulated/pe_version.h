// The version a PE image's version resource gives, as a person sees it in
// the file's properties. Read from the file's bytes under the rules of the
// image's other tables: every offset and length is checked against the
// resource directory, its section and the file before a byte is read, and
// a malformed resource is a problem to report, never a crash. Pure: no
// emulator, so that semhost.exe, which loads modules with the system's own
// loader, reads the version with the same code.
#pragma once

#include "library/emulated/pe_image.h"

#include <cstddef>
#include <string>

struct PeVersion {
    // The version resource's FileVersion text (printable ASCII, at most 64
    // characters), else its fixed file version "a.b.c.d". Empty: the image
    // has no version resource, or it is malformed.
    std::string version;
    // One line saying what is wrong when the resource section is malformed.
    std::string problem;
};

// The version resource of an image whose headers ParsePeImage has read
// from the same bytes.
PeVersion ReadPeVersion(const unsigned char* bytes, std::size_t size, const PeImage& image);

// The same for a file: nothing (and no problem) for a file that is no i386
// PE image; a problem when its headers or its resource are malformed or it
// cannot be read.
PeVersion ReadPeFileVersion(const std::string& path);
