// Faults of module code, each from a few hand-assembled instructions put in
// place of getModuleProperties and called as a dispatcher: the calling
// convention, the CPU's own faults, hangs, and the watched heap.
#include "pe_test_image.h"

#include <gtest/gtest.h>

#include <cstdio>

namespace {

class ModuleFault : public ::testing::Test {
protected:
    void SetUp() override {
        m_image = PeTestImage::Shipped();
        ASSERT_FALSE(m_image.bytes.empty());
        m_code = m_image.ExportRva("getModuleProperties");
    }

    // "Quillmark.sem+0x..." of an offset from the patched code.
    std::string At(std::uint32_t offset) const {
        char text[40];
        std::snprintf(text, sizeof text, "Quillmark.sem+0x%X", m_code + offset);
        return text;
    }

    // Loads the image with `code` in place and calls it with (1, 2): the
    // fault, or "" when it returned.
    std::string Run(const std::vector<unsigned char>& code, const LibraryOptions& options = {},
                    std::uint64_t* result = nullptr) {
        PeTestImage image = m_image;
        image.PatchCode(m_code, code);
        m_library = image.Open(options);
        if (m_library == nullptr) return "not loaded";
        std::uint64_t answer = 0;
        std::string fault;
        const bool returned = m_library->RunOutermost(
            [&] { m_library->Call(m_library->get_module_properties(), CallShape::Dispatcher, {1, 2}, answer); },
            "patched", fault);
        EXPECT_EQ(returned, fault.empty());
        EXPECT_EQ(m_library->faulted(), !returned);
        if (result != nullptr) *result = answer;
        return fault;
    }

    PeTestImage m_image;
    std::uint32_t m_code = 0;
    std::unique_ptr<ModuleLibrary> m_library;
};

TEST_F(ModuleFault, TheCallingConventionIsCheckedAtEachReturn) {
    const std::string broke = "broke the calling convention: " + At(0);
    EXPECT_EQ(Run({0xC2, 0x08, 0x00}),  // ret 8
              broke + " popped 8 bytes of its arguments (declared stdcall or thiscall by mistake)");
    EXPECT_EQ(Run({0xBB, 0x11, 0x00, 0x00, 0x00, 0xC3}),  // mov ebx, 0x11; ret
              broke + " changed EBX (0xEB0C0DE1 -> 0x00000011)");
    EXPECT_EQ(Run({0x31, 0xF6, 0xC3}), broke + " changed ESI (0xE510C0DE -> 0x00000000)");  // xor esi, esi
    EXPECT_EQ(Run({0x47, 0xC3}), broke + " changed EDI (0xED10C0DE -> 0xED10C0DF)");        // inc edi
    EXPECT_EQ(Run({0x89, 0xE5, 0xC3}).rfind(broke + " changed EBP (0xEB9C0DE5 -> 0x", 0), 0u);  // mov ebp, esp
    EXPECT_EQ(Run({0xFD, 0xC3}), broke + " returned with the direction flag set");         // std; ret

    // Kept registers saved and restored, and the answer in EAX: fine.
    std::uint64_t result = 0;
    EXPECT_EQ(Run({0x53, 0xBB, 0x05, 0, 0, 0, 0xB8, 0xF9, 0xFF, 0xFF, 0xFF, 0x5B, 0xC3}, {}, &result), "");
    EXPECT_EQ(result, static_cast<std::uint64_t>(-7));  // sign-extended
}

TEST_F(ModuleFault, TheStackIsAlignedAsAsked) {
    // lea eax, [esp+4]; and eax, 15; ret
    const std::vector<unsigned char> alignment_of_entry = {0x8D, 0x44, 0x24, 0x04, 0x83, 0xE0, 0x0F, 0xC3};
    for (const unsigned alignment : {0u, 4u, 8u, 12u}) {
        LibraryOptions options;
        options.stack_alignment = alignment;
        std::uint64_t result = 99;
        EXPECT_EQ(Run(alignment_of_entry, options, &result), "");
        EXPECT_EQ(result, alignment);
    }
}

TEST_F(ModuleFault, CpuFaultsNameTheInstruction) {
    EXPECT_EQ(Run({0xC7, 0x05, 0x10, 0, 0, 0, 0x01, 0, 0, 0, 0xC3}),  // mov dword [0x10], 1
              "crashed: invalid write of 4 bytes at 0x00000010 (at " + At(0) + ")");
    EXPECT_EQ(Run({0x8B, 0x05, 0x00, 0x00, 0x00, 0xC0, 0xC3}),  // mov eax, [0xC0000000]
              "crashed: invalid read of 4 bytes at 0xC0000000 (at " + At(0) + ")");
    EXPECT_EQ(Run({0xE8, 0, 0, 0, 0, 0x58, 0x89, 0x00, 0xC3}),  // call $+5; pop eax; mov [eax], eax
              "crashed: invalid write of 4 bytes at " + At(5) + ", in the read-only section .text (at " + At(6) + ")");
    EXPECT_EQ(Run({0x31, 0xC9, 0xF7, 0xF1, 0xC3}),  // xor ecx, ecx; div ecx
              "crashed: division fault (a division by zero or a quotient too large) (at " + At(2) + ")");
    EXPECT_EQ(Run({0x0F, 0x0B}), "crashed: invalid instruction (at " + At(0) + ")");  // ud2
    EXPECT_EQ(Run({0x90, 0xCC}), "crashed: breakpoint (int3) (at " + At(1) + ")");
    EXPECT_EQ(Run({0xF4}), "crashed: executed hlt, a privileged instruction (at " + At(0) + ")");
    // A far jump through a register makes the engine's translator abort the
    // process; it must end the call instead, and leave semhost running.
    EXPECT_EQ(Run({0x90, 0xFF, 0xEB}).rfind("crashed: the emulator cannot translate the code at or after ", 0), 0u);
    EXPECT_EQ(Run({0x31, 0xC0, 0xFF, 0xE0}), "crashed: jumped to 0x00000000, where nothing is mapped");
    // ECX is never what an earlier call left: mov eax, [ecx+8]
    EXPECT_EQ(Run({0x8B, 0x41, 0x08, 0xC3}),
              "crashed: invalid read of 4 bytes at 0xEC0C0DF4 (at " + At(0) +
                  "): the address comes from ECX, which a call into the module does not set (a member function "
                  "(thiscall) called as a plain routine?)");

    // A jump into the module's data: call $+5; pop eax; add eax, (.data - here); jmp eax
    const std::uint32_t data = m_image.U32(m_image.SectionHeader(".data") + 12);
    const std::uint32_t distance = data - (m_code + 5);
    char data_at[40];
    std::snprintf(data_at, sizeof data_at, "Quillmark.sem+0x%X", data);
    EXPECT_EQ(Run({0xE8, 0, 0, 0, 0, 0x58, 0x05, static_cast<unsigned char>(distance),
                   static_cast<unsigned char>(distance >> 8), static_cast<unsigned char>(distance >> 16),
                   static_cast<unsigned char>(distance >> 24), 0xFF, 0xE0}),
              std::string("crashed: jumped to ") + data_at + ", in the section .data, which is not code");
}

TEST_F(ModuleFault, ALoopIsAHangAtTheBudget) {
    LibraryOptions options;
    options.instruction_budget = 100000;
    EXPECT_EQ(Run({0xEB, 0xFE}, options), "hung: no return within 100000 instructions (at " + At(0) + ")");
    // A long but finite loop within the budget returns: mov ecx, 30000; loop $
    EXPECT_EQ(Run({0xB9, 0x30, 0x75, 0, 0, 0xE2, 0xFE, 0xC3}, options), "");
}

TEST_F(ModuleFault, TheHeapIsWatchedBlockByBlock) {
    // The patched code frees its argument, as the module's code would.
    const std::uint32_t free_slot = m_image.ImportSlotRva("free");
    PeTestImage image = m_image;
    image.PatchCode(m_code, CallImportCode(m_code, free_slot, true));
    const std::unique_ptr<ModuleLibrary> library = image.Open();
    ASSERT_NE(library, nullptr);
    const ModuleAddress base = library->get_module_properties() - m_code;
    std::uint32_t malloc_function = 0;
    ASSERT_TRUE(library->Read(base + m_image.ImportSlotRva("malloc"), &malloc_function, 4));

    std::string fault;
    std::uint64_t result = 0;
    auto call = [&](ModuleAddress function, std::uint64_t argument) {
        return library->RunOutermost(
            [&] { library->Call(function, CallShape::MakeModule, {argument}, result); }, "heap", fault);
    };
    ASSERT_TRUE(call(malloc_function, 24)) << fault;
    const ModuleAddress block = result;
    ASSERT_EQ(library->HeldBlocks().size(), 1u);
    EXPECT_EQ(library->HeldBlocks()[0].address, block);
    EXPECT_EQ(library->HeldBlocks()[0].size, 24u);
    ASSERT_TRUE(call(library->get_module_properties(), 0)) << "free(NULL) is fine: " << fault;
    ASSERT_TRUE(call(library->get_module_properties(), block)) << fault;
    EXPECT_TRUE(library->HeldBlocks().empty());

    char expected[160];
    std::snprintf(expected, sizeof expected,
                  "crashed: free of 0x%08llX, which is no block of the module's heap (a double free?) (at %s)",
                  static_cast<unsigned long long>(block), At(10).c_str());
    EXPECT_FALSE(call(library->get_module_properties(), block));
    EXPECT_EQ(fault, expected);
}

TEST_F(ModuleFault, AWritePastABlockIsFoundAtItsFree) {
    PeTestImage image = m_image;
    image.PatchCode(m_code, CallImportCode(m_code, m_image.ImportSlotRva("free"), true));
    const std::unique_ptr<ModuleLibrary> library = image.Open();
    ASSERT_NE(library, nullptr);
    std::uint32_t malloc_function = 0;
    ASSERT_TRUE(library->Read(library->get_module_properties() - m_code + m_image.ImportSlotRva("malloc"),
                              &malloc_function, 4));
    std::string fault;
    std::uint64_t block = 0, ignored = 0;
    ASSERT_TRUE(library->RunOutermost(
        [&] { library->Call(malloc_function, CallShape::MakeModule, {24}, block); }, "malloc", fault));
    // Inside the block is fine; one byte past its end is not.
    ASSERT_TRUE(library->Write(block + 23, "x", 1));
    ASSERT_TRUE(library->Write(block + 24, "x", 1));
    EXPECT_FALSE(library->RunOutermost(
        [&] { library->Call(library->get_module_properties(), CallShape::Process, {block}, ignored); }, "free",
        fault));
    char expected[160];
    std::snprintf(expected, sizeof expected,
                  "crashed: the block 0x%08llX (24 bytes) of the module's heap was written past its end "
                  "(found at its free) (at %s)",
                  static_cast<unsigned long long>(block), At(10).c_str());
    EXPECT_EQ(fault, expected);
}

}  // namespace
