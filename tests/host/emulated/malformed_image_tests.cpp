// Images the loader must refuse, each made from the shipped DLL's bytes: a
// clear line and NotLoadable (or MissingExport), never a crash.
#include "pe_test_image.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

const std::string kMalformed = "not a valid i386 PE image: ";

std::string ProblemOf(const PeTestImage& image, ModuleLibrary::Status expected = ModuleLibrary::Status::NotLoadable) {
    ModuleLibrary::Status status = ModuleLibrary::Status::Loaded;
    std::string problem;
    const std::unique_ptr<ModuleLibrary> library = image.Open({}, status, problem);
    EXPECT_EQ(library, nullptr);
    EXPECT_EQ(status, expected) << problem;
    EXPECT_EQ(problem.find('\n'), std::string::npos);
    return problem;
}

TEST(MalformedImage, TruncatedAnywhereIsRefused) {
    const PeTestImage whole = PeTestImage::Shipped();
    ASSERT_FALSE(whole.bytes.empty());
    for (std::size_t length = 0; length < whole.bytes.size(); ++length) {
        PeTestImage cut = whole;
        cut.bytes.resize(length);
        const std::string problem = ProblemOf(cut);
        const bool said = problem.rfind(kMalformed, 0) == 0 ||
                          problem.rfind("a PE image cut short: ", 0) == 0 ||
                          problem.rfind("an i386 PE image cut short: ", 0) == 0;
        ASSERT_TRUE(said) << "cut at " << length << ": " << problem;
    }
    // Cut inside its headers or its sections, it says so, with how far.
    const std::string size = std::to_string(whole.bytes.size());
    PeTestImage cut = whole;
    cut.bytes.resize(cut.section_table() + 40);
    EXPECT_EQ(ProblemOf(cut), "an i386 PE image cut short: its headers need " +
                                  std::to_string(cut.U32(cut.optional_header() + 60)) +
                                  " bytes, the file has " + std::to_string(cut.bytes.size()));
    cut = whole;
    cut.bytes.resize(4096);
    EXPECT_EQ(ProblemOf(cut),
              "an i386 PE image cut short: its sections need " + size + " bytes, the file has 4096");
    cut.bytes.resize(0x30);
    EXPECT_EQ(ProblemOf(cut), "a PE image cut short: its headers need 64 bytes, the file has 48");
}

TEST(MalformedImage, HeadersOutOfRangeAreRefused) {
    const PeTestImage whole = PeTestImage::Shipped();
    ASSERT_FALSE(whole.bytes.empty());

    PeTestImage image = whole;
    image.Put32(0x3C, 0xFFFFFFF0);
    EXPECT_EQ(ProblemOf(image), kMalformed + "the PE header offset 0xFFFFFFF0 lies past the end of the file");
    EXPECT_FALSE(LooksLikeI386PeImage(image.bytes.data(), image.bytes.size()));

    image = whole;
    const std::uint32_t last_section = image.section_table() + 40 * (image.section_count() - 1);
    image.Put32(last_section + 20, static_cast<std::uint32_t>(image.bytes.size()));
    EXPECT_EQ(ProblemOf(image).rfind("an i386 PE image cut short: its sections need ", 0), 0u);

    image = whole;
    image.Put32(last_section + 8, 0x10000000);  // virtual size far past the image
    EXPECT_EQ(ProblemOf(image), kMalformed + "section .reloc runs past the end of the image");

    image = whole;
    image.Put16(image.optional_header(), 0x20B);
    EXPECT_EQ(ProblemOf(image), kMalformed + "the optional header is not PE32 (magic 0x20B)");

    image = whole;
    image.Put32(image.optional_header() + 56, 0x7FFFF000);
    EXPECT_EQ(ProblemOf(image), "the image size 0x7FFFF000 is more than semhost maps (64 MB)");
}

TEST(MalformedImage, OnlyAnI386DllIsTaken) {
    const PeTestImage whole = PeTestImage::Shipped();
    ASSERT_FALSE(whole.bytes.empty());

    PeTestImage image = whole;
    image.Put16(image.file_header(), 0x8664);
    EXPECT_EQ(ProblemOf(image), "not an i386 image: its machine is 0x8664");
    EXPECT_FALSE(LooksLikeI386PeImage(image.bytes.data(), image.bytes.size()));

    image = whole;
    image.Put16(image.file_header() + 18, image.U16(image.file_header() + 18) & ~0x2000u);
    EXPECT_EQ(ProblemOf(image), "is a program, not a DLL");
    // Still an i386 image: the emulator is the back end to say what is wrong.
    EXPECT_TRUE(LooksLikeI386PeImage(image.bytes.data(), image.bytes.size()));
}

TEST(MalformedImage, ImportTablesOutOfRangeAreRefused) {
    const PeTestImage whole = PeTestImage::Shipped();
    ASSERT_FALSE(whole.bytes.empty());
    const std::uint32_t descriptor = whole.FileOffset(whole.U32(whole.directory_field(1)));

    PeTestImage image = whole;
    image.Put32(descriptor + 12, 0xFFFFFF00);
    EXPECT_EQ(ProblemOf(image), kMalformed + "the name of an imported library lies outside the image");

    image = whole;
    image.Put32(image.FileOffset(image.U32(descriptor)), 0x7FFFFFF0);  // the first function's name
    EXPECT_EQ(ProblemOf(image), kMalformed + "the name of a function imported from msvcrt.dll lies outside the image");

    image = whole;
    image.Put32(descriptor + 16, 0x7FFFFFF0);  // the address table
    EXPECT_EQ(ProblemOf(image),
              kMalformed + "the import address table of msvcrt.dll runs past the end of the image");
}

TEST(MalformedImage, ALibraryAUserLacksIsRefusedByName) {
    PeTestImage image = PeTestImage::Shipped();
    ASSERT_FALSE(image.bytes.empty());
    const std::uint32_t name = image.ImportedLibraryNameOffset("msvcrt.dll");
    ASSERT_NE(name, 0u);
    // The next name starts 16 bytes on: room for this one and its NUL.
    std::memcpy(&image.bytes[name], "libstdc++-6.dll", 16);
    EXPECT_EQ(ProblemOf(image),
              "imports libstdc++-6.dll, which a user's machine does not have (the module could not be found)");

    // Its name as printable text: the problem stays one line.
    std::memcpy(&image.bytes[name], "lib\nfoo.dll", 12);
    EXPECT_EQ(ProblemOf(image), "imports lib?foo.dll, which a user's machine does not have (the module could not be found)");

    // A system library in another spelling is fine.
    image = PeTestImage::Shipped();
    std::memcpy(&image.bytes[name], "MSVCRT.DLL", 10);
    EXPECT_NE(image.Open(), nullptr);
}

TEST(MalformedImage, AFunctionSemhostLacksIsAWarningUntilCalled) {
    PeTestImage image = PeTestImage::Shipped();
    ASSERT_FALSE(image.bytes.empty());
    const std::uint32_t slot = image.ImportSlotRva("rand");
    const std::uint32_t name = image.FileOffset(image.U32(image.FileOffset(slot))) + 2;
    std::memcpy(&image.bytes[name], "rane", 4);
    const std::unique_ptr<ModuleLibrary> library = image.Open();
    ASSERT_NE(library, nullptr);
    ASSERT_EQ(library->warnings().size(), 1u);
    EXPECT_EQ(library->warnings()[0], "imports msvcrt.dll!rane, which semhost does not stand in for");

    std::uint32_t trap = 0;
    ASSERT_TRUE(library->Read(library->get_module_properties() - image.ExportRva("getModuleProperties") + slot, &trap, 4));
    std::string fault;
    std::uint64_t result = 0;
    EXPECT_FALSE(library->RunOutermost([&] { library->Call(trap, CallShape::Dispatcher, {}, result); }, "rane", fault));
    EXPECT_EQ(fault.rfind("crashed: called msvcrt.dll!rane, which semhost does not stand in for (at ", 0), 0u)
        << fault;
}

TEST(MalformedImage, RelocationsThatCannotMoveItAreRefused) {
    const PeTestImage whole = PeTestImage::Shipped();
    ASSERT_FALSE(whole.bytes.empty());
    const std::uint32_t block = whole.FileOffset(whole.U32(whole.directory_field(5)));
    const std::string cannot_move = "cannot be moved from its preferred base 0x70840000: ";
    ASSERT_EQ(whole.preferred_base(), 0x70840000u);

    PeTestImage image = whole;
    image.Put32(block + 4, 0);
    EXPECT_EQ(ProblemOf(image), kMalformed + "a relocation block has the size 0");

    image = whole;
    image.Put32(block + 4, 0xFFFFFFF0);
    EXPECT_EQ(ProblemOf(image), kMalformed + "a relocation block of 0xFFFFFFF0 bytes runs past the relocation directory");

    image = whole;
    image.Put16(block + 8, 0xA000 | (image.U16(block + 8) & 0xFFF));  // DIR64, of 64-bit images
    EXPECT_EQ(ProblemOf(image).rfind("uses relocation type 10 (at RVA 0x", 0), 0u);

    image = whole;
    image.Put16(image.file_header() + 18, image.U16(image.file_header() + 18) | 0x0001);
    EXPECT_EQ(ProblemOf(image), cannot_move + "its relocations are stripped");

    image = whole;
    image.Put32(image.directory_field(5) + 4, 0);
    EXPECT_EQ(ProblemOf(image), cannot_move + "it has no relocations");
}

TEST(MalformedImage, AMissingExportIsNamed) {
    PeTestImage image = PeTestImage::Shipped();
    ASSERT_FALSE(image.bytes.empty());
    const std::uint32_t directory = image.FileOffset(image.U32(image.directory_field(0)));
    const std::uint32_t names = image.FileOffset(image.U32(directory + 32));
    for (unsigned i = 0; i < image.U32(directory + 24); ++i) {
        char* name = reinterpret_cast<char*>(&image.bytes[image.FileOffset(image.U32(names + 4 * i))]);
        if (std::strcmp(name, "makeModule") == 0) name[9] = 'X';
    }
    EXPECT_EQ(ProblemOf(image, ModuleLibrary::Status::MissingExport), "lacks the export \"makeModule\"");
}

TEST(MalformedImage, DllMainDecidesTheLoad) {
    const PeTestImage whole = PeTestImage::Shipped();
    ASSERT_FALSE(whole.bytes.empty());
    const std::uint32_t entry = whole.entry_point();
    char at[40];
    std::snprintf(at, sizeof at, "Quillmark.sem+0x%X", entry);

    PeTestImage image = whole;
    image.PatchCode(entry, {0x31, 0xC0, 0xC2, 0x0C, 0x00});  // xor eax, eax; ret 12
    EXPECT_EQ(ProblemOf(image), "DllMain answered FALSE to process attach");

    image = whole;
    image.PatchCode(entry, {0xB8, 0x01, 0x00, 0x00, 0x00, 0xC3});  // mov eax, 1; ret (cdecl by mistake)
    // A fault in DllMain is the module's, not a file the host cannot use.
    constexpr ModuleLibrary::Status kFaulted = ModuleLibrary::Status::Faulted;
    EXPECT_EQ(ProblemOf(image, kFaulted), std::string("DllMain broke the calling convention: ") + at +
                                              " popped 0 bytes of its arguments, not the 12 of stdcall");

    image = whole;
    image.PatchCode(entry, {0xA3, 0x00, 0x00, 0x00, 0x00, 0xC2, 0x0C, 0x00});  // mov [0], eax
    EXPECT_EQ(ProblemOf(image, kFaulted),
              std::string("DllMain crashed: invalid write of 4 bytes at 0x00000000 (at ") + at + ")");

    // A DllMain that never returns spends the load's instruction budget.
    image = whole;
    image.PatchCode(entry, {0xEB, 0xFE});  // jmp $
    LibraryOptions small_budget;
    small_budget.instruction_budget = 10'000;
    ModuleLibrary::Status status = ModuleLibrary::Status::Loaded;
    std::string problem;
    EXPECT_EQ(image.Open(small_budget, status, problem), nullptr);
    EXPECT_EQ(status, kFaulted);
    EXPECT_EQ(problem.rfind("DllMain hung: ", 0), 0u) << problem;

    // No entry point at all: nothing to run, and the load goes on.
    image = whole;
    image.Put32(image.optional_header() + 16, 0);
    EXPECT_NE(image.Open(), nullptr);
}

}  // namespace
