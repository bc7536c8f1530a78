// The instruction budget bounds a whole call from the host, whatever the
// module spends it on: its own instructions (each iteration of a rep string
// instruction among them), the host functions it calls and the bytes those
// move, and the exit functions run at the unload. The image's own
// instructions are also counted on their own, for benchmarks.
#include "pe_test_image.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace {

void Put32(std::vector<unsigned char>& code, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) code.push_back(static_cast<unsigned char>(value >> (8 * i)));
}

// Code at `code_rva` that calls the import in `slot_rva` `count` times, each
// time after `pushes` (which must leave EAX alone), then returns. EDI
// counts, so a return is a broken convention: only a hang passes.
std::vector<unsigned char> CallLoop(std::uint32_t code_rva, std::uint32_t slot_rva, std::uint32_t count,
                                    const std::vector<unsigned char>& pushes, unsigned char argument_bytes) {
    std::vector<unsigned char> code = {0xBF};  // mov edi, count
    Put32(code, count);
    code.insert(code.end(), {0xE8, 0, 0, 0, 0, 0x58});  // top: call $+5; pop eax (code_rva + 10)
    code.insert(code.end(), pushes.begin(), pushes.end());
    code.insert(code.end(), {0xFF, 0x90});  // call [eax + disp32]
    Put32(code, slot_rva - (code_rva + 10));
    code.insert(code.end(), {0x83, 0xC4, argument_bytes, 0x4F, 0x75});  // add esp, n; dec edi; jnz top
    code.push_back(static_cast<unsigned char>(5 - static_cast<int>(code.size() + 1)));
    code.push_back(0xC3);
    return code;
}

// The most code a test here runs in place of makeModule, in bytes.
constexpr std::uint32_t kPatchBytes = 64;

// Where that code goes (see PeTestImage::CodeRoom).
std::uint32_t CodeSite(const PeTestImage& image) { return image.CodeRoom(image.ExportRva("makeModule"), kPatchBytes); }

// Runs `code`, made for CodeSite, in place of makeModule; `image_instructions`
// gets the image's instructions the call ran.
std::string RunPatched(PeTestImage image, const std::vector<unsigned char>& code, std::uint64_t budget,
                       std::uint64_t* image_instructions = nullptr) {
    EXPECT_LE(code.size(), kPatchBytes);
    const std::uint32_t rva = CodeSite(image);
    image.PatchCode(rva, code);
    image.PatchReach(image.ExportRva("makeModule"), rva);
    LibraryOptions options;
    options.instruction_budget = budget;
    std::unique_ptr<ModuleLibrary> library = image.Open(options);
    if (library == nullptr) return "not loaded";
    const std::uint64_t before = library->ImageInstructions().value_or(0);
    std::uint64_t result = 0;
    std::string fault;
    library->RunOutermost([&] { library->Call(library->make_module(), CallShape::Dispatcher, {}, result); },
                          "patched", fault);
    if (image_instructions != nullptr) *image_instructions = library->ImageInstructions().value_or(0) - before;
    return fault;
}

}  // namespace

TEST(InstructionBudget, CountsEverythingTheCallDoes) {
    const PeTestImage image = PeTestImage::Shipped();
    ASSERT_FALSE(image.bytes.empty());
    const std::uint32_t code = CodeSite(image);
    char rep_at[40];
    std::snprintf(rep_at, sizeof rep_at, "Quillmark.sem+0x%X", code + 12);

    // lea edi, [esp - 0x20000]; mov ecx, 0x10000; rep stosb; ret
    EXPECT_EQ(RunPatched(image, {0x8D, 0xBC, 0x24, 0, 0, 0xFE, 0xFF, 0xB9, 0, 0, 1, 0, 0xF3, 0xAA, 0xC3}, 1000),
              std::string("hung: no return within 1000 instructions (at ") + rep_at + ")");
    // free(0) 100000 times: a few instructions between calls, each stretch
    // far inside the budget, the call as a whole not.
    EXPECT_EQ(RunPatched(image, CallLoop(code, image.ImportSlotRva("free"), 100000, {0x6A, 0x00}, 4), 1000)
                  .rfind("hung: no return within 1000 instructions (at Quillmark.sem+0x", 0),
              0u);
    // memmove(esp - 0x80000, esp - 0x40000, 0x40000) 10 times: 0x80000
    // bytes moved a call, 32768 instructions' worth.
    const std::vector<unsigned char> memmove_arguments = {0x68, 0, 0, 4, 0,                    // push 0x40000
                                                          0x8D, 0x8C, 0x24, 0, 0, 0xFC, 0xFF, 0x51,  // push esp - 0x40000
                                                          0x8D, 0x8C, 0x24, 0, 0, 0xF8, 0xFF, 0x51};  // push esp - 0x80000
    const std::vector<unsigned char> moves = CallLoop(code, image.ImportSlotRva("memmove"), 10, memmove_arguments, 12);
    EXPECT_EQ(RunPatched(image, moves, 100000).rfind("hung: no return within 100000 instructions", 0), 0u);
    // Within a budget that covers it, the same loop only breaks the convention (EDI).
    EXPECT_NE(RunPatched(image, moves, 1000000).find("changed EDI"), std::string::npos);
}

TEST(ImageInstructions, CountTheImagesOwnCodeExactly) {
    const PeTestImage image = PeTestImage::Shipped();
    ASSERT_FALSE(image.bytes.empty());
    std::uint64_t counted = 0;
    // The jump to the code, when it cannot stand at makeModule itself.
    const std::uint64_t jump = CodeSite(image) == image.ExportRva("makeModule") ? 0 : 1;
    // mov eax, 1; ret
    EXPECT_EQ(RunPatched(image, {0xB8, 1, 0, 0, 0, 0xC3}, 1000, &counted), "");
    EXPECT_EQ(counted, jump + 2u);
    // free(0) three times: 1 + 3 * 7 + 1 instructions of the image's; the
    // stand-in for free runs outside it, and the budget counts it besides.
    const std::uint32_t code = CodeSite(image);
    EXPECT_NE(RunPatched(image, CallLoop(code, image.ImportSlotRva("free"), 3, {0x6A, 0x00}, 4), 1000, &counted)
                  .find("changed EDI"),
              std::string::npos);
    EXPECT_EQ(counted, jump + 23u);
    // lea edi, [esp - 0x100]; mov ecx, 16; rep stosb; ret: the rep counts
    // as the budget counts it, once per iteration and once more for the
    // start that finds ECX at 0.
    EXPECT_NE(RunPatched(image, {0x8D, 0xBC, 0x24, 0, 0xFF, 0xFF, 0xFF, 0xB9, 16, 0, 0, 0, 0xF3, 0xAA, 0xC3}, 1000,
                         &counted)
                  .find("changed EDI"),
              std::string::npos);
    EXPECT_EQ(counted, jump + 2u + 17u + 1u);
}

TEST(InstructionBudget, AnExitFunctionThatRegistersItselfEndsTheUnload) {
    PeTestImage image = PeTestImage::Shipped();
    ASSERT_FALSE(image.bytes.empty());
    // The import memmove becomes _onexit (names of one length).
    const unsigned char from[] = "memmove";
    for (auto at = image.bytes.begin();
         (at = std::search(at, image.bytes.end(), from, from + sizeof from)) != image.bytes.end();)
        at = std::copy_n("_onexit", 7, at);
    const std::uint32_t slot = image.ImportSlotRva("_onexit");
    ASSERT_NE(slot, 0u);
    // Registers itself: call $+5; pop eax; lea ecx, [eax - 5]; push ecx; call [eax + disp32]; pop ecx; ret
    const std::uint32_t code = CodeSite(image);
    std::vector<unsigned char> registers = {0xE8, 0, 0, 0, 0, 0x58, 0x8D, 0x48, 0xFB, 0x51, 0xFF, 0x90};
    Put32(registers, slot - (code + 5));
    registers.insert(registers.end(), {0x59, 0xC3});
    // The call returns; the unload (when the library goes) ends at the budget
    // instead of running the exit function for ever.
    EXPECT_EQ(RunPatched(image, registers, 1000), "");
}
