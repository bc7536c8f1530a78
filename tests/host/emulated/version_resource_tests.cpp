// The version resource, read from the shipped DLL and from copies whose
// resource section is broken: the version, or one line saying what is
// wrong, never a read outside the file; and the module loads either way,
// as the Windows loader does not read resources.
#include "library/emulated/pe_version.h"
#include "pe_test_image.h"

#include <gtest/gtest.h>

#include <functional>

namespace {

PeVersion VersionOf(const PeTestImage& image) {
    PeImage headers;
    std::string problem;
    if (!ParsePeImage(image.bytes.data(), image.bytes.size(), headers, problem)) {
        ADD_FAILURE() << "the headers no longer parse: " << problem;
        return {};
    }
    return ReadPeVersion(image.bytes.data(), image.bytes.size(), headers);
}

// File offsets within the shipped resource tree: type, name and language
// directories, one entry each, then the data entry and the version's bytes.
struct ResourceTree {
    explicit ResourceTree(const PeTestImage& image) {
        tree = image.FileOffset(image.U32(image.directory_field(kResourceDirectory)));
        names = tree + (image.U32(tree + 20) & 0x7FFFFFFF);
        languages = tree + (image.U32(names + 20) & 0x7FFFFFFF);
        data_entry = tree + image.U32(languages + 20);
        data = image.FileOffset(image.U32(data_entry));
    }
    std::uint32_t tree, names, languages, data_entry, data;
};

TEST(VersionResource, TheShippedDllGivesTheProjectsVersion) {
    PeTestImage image = PeTestImage::Shipped();
    ASSERT_FALSE(image.bytes.empty());
    const PeVersion version = VersionOf(image);
    EXPECT_EQ(version.version, QUILL_VERSION);
    EXPECT_EQ(version.problem, "");

    // Without its FileVersion text, the fixed file version stands in.
    const ResourceTree at(image);
    bool renamed = false;
    for (std::uint32_t i = at.data; i + 22 < image.bytes.size() && !renamed; i += 2) {
        if (std::string(reinterpret_cast<const char*>(&image.bytes[i]), 22) ==
            std::string("F\0i\0l\0e\0V\0e\0r\0s\0i\0o\0n\0", 22)) {
            image.bytes[i] = 'G';
            renamed = true;
        }
    }
    ASSERT_TRUE(renamed);
    EXPECT_EQ(VersionOf(image).version, QUILL_VERSION ".0");

    // No resource directory: no version, and nothing wrong.
    image = PeTestImage::Shipped();
    image.Put32(image.directory_field(kResourceDirectory), 0);
    image.Put32(image.directory_field(kResourceDirectory) + 4, 0);
    EXPECT_EQ(VersionOf(image).version, "");
    EXPECT_EQ(VersionOf(image).problem, "");
}

TEST(VersionResource, AMalformedResourceIsOneLineAndTheModuleStillLoads) {
    const PeTestImage whole = PeTestImage::Shipped();
    ASSERT_FALSE(whole.bytes.empty());
    const ResourceTree at(whole);
    const std::uint32_t directory = whole.directory_field(kResourceDirectory);
    const struct {
        std::function<void(PeTestImage&)> Break;
        const char* problem;
    } cases[] = {
        {[&](PeTestImage& image) { image.Put32(directory, 0x7FFFF000); },
         "the resource directory lies outside the file's data"},
        {[&](PeTestImage& image) { image.Put32(directory + 4, 0x7FFFFFFF); },
         "the resource directory lies outside the file's data"},
        {[&](PeTestImage& image) { image.Put32(at.tree + 20, image.U32(at.tree + 20) & 0x7FFFFFFF); },
         "a resource entry names data where a directory belongs"},
        {[&](PeTestImage& image) { image.Put32(at.tree + 20, 0x80FFFFF0); },
         "a resource directory lies outside the resource section"},
        {[&](PeTestImage& image) { image.Put16(at.names + 14, 0xFFFF); },
         "a resource directory's entries run past the resource section"},
        {[&](PeTestImage& image) { image.Put32(at.languages + 20, image.U32(at.languages + 20) | 0x80000000); },
         "a resource entry names a directory where data belongs"},
        {[&](PeTestImage& image) { image.Put16(at.languages + 14, 0); },
         "the version resource has a directory but no data"},
        {[&](PeTestImage& image) { image.Put32(at.languages + 20, 0x7FFFFFF0); },
         "the version resource's data entry lies outside the resource section"},
        {[&](PeTestImage& image) { image.Put32(at.data_entry + 4, 0x7FFFFFFF); },
         "the version resource's data lies outside the file's data"},
        {[&](PeTestImage& image) { image.Put16(at.data, 4); },
         "a block of the version resource is shorter than its header"},
        {[&](PeTestImage& image) { image.Put16(at.data, 0xFFFF); },
         "a block of the version resource runs past its parent"},
        {[&](PeTestImage& image) { image.Put16(at.data + 6, 'W'); },
         "the version resource does not start with VS_VERSION_INFO"},
        {[&](PeTestImage& image) { image.Put32(at.data + 40, 0); },
         "the version resource's fixed file information has no valid signature"},
        {[&](PeTestImage& image) { image.Put16(at.data + 2, 0xFFFF); },
         "a value of the version resource runs past its block"},
    };
    for (const auto& broken : cases) {
        SCOPED_TRACE(broken.problem);
        PeTestImage image = whole;
        broken.Break(image);
        const PeVersion version = VersionOf(image);
        EXPECT_EQ(version.version, "");
        EXPECT_EQ(version.problem, broken.problem);
        ModuleLibrary::Status status = ModuleLibrary::Status::Faulted;
        std::string problem;
        EXPECT_NE(image.Open({}, status, problem), nullptr) << problem;
    }
}

// Each byte of the resource section set to values that make lengths,
// counts and offsets zero, huge or odd: a version of printable text, or a
// problem of one line, never both (AddressSanitizer watches the reads in
// the native-asan build).
TEST(VersionResource, AnyByteOfTheResourceSectionChangedGivesAVersionOrOneLine) {
    const PeTestImage whole = PeTestImage::Shipped();
    ASSERT_FALSE(whole.bytes.empty());
    const std::uint32_t section = whole.SectionHeader(".rsrc");
    ASSERT_NE(section, 0u);
    const std::uint32_t start = whole.U32(section + 20);
    const std::uint32_t end = start + whole.U32(section + 16);
    int problems = 0;
    for (std::uint32_t offset = start; offset < end; ++offset) {
        for (const unsigned char value : {0x00, 0x01, 0x7F, 0x80, 0xFF}) {
            PeTestImage image = whole;
            image.bytes[offset] = value;
            const PeVersion version = VersionOf(image);
            ASSERT_TRUE(version.version.empty() || version.problem.empty()) << offset;
            ASSERT_EQ(version.problem.find('\n'), std::string::npos) << offset;
            ASSERT_LE(version.version.size(), 64u);
            for (const char c : version.version) ASSERT_TRUE(c >= 0x20 && c < 0x7F) << offset;
            problems += !version.problem.empty();
        }
    }
    EXPECT_GT(problems, 0);
}

}  // namespace
