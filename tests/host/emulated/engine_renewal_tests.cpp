// A long session renews the emulation engine between calls (it keeps the
// code it translates for every stretch). The module must not notice: its
// memory, protections, segments and x87 control word are the same after.
#include "library/emulated/emulated_cpu.h"
#include "pe_test_image.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace {

constexpr std::uint32_t kCode = 0x1000, kData = 0x2000, kReadOnly = 0x3000, kNoAccess = 0x4000, kStop = 0x5000;
constexpr std::uint32_t kStackLow = 0x6000, kStackTop = 0x7FF0, kGdt = 0x9000, kThread = 0xA000, kPage = 0x1000;

// Maps the pages above with their protections and puts a value in each.
void PrepareMemory(EmulatedCpu& cpu) {
    ASSERT_TRUE(cpu.ok());
    ASSERT_TRUE(cpu.Map(kCode, kPage, kProtReadExecute) && cpu.Map(kData, kPage, kProtReadWrite) &&
                cpu.Map(kReadOnly, kPage, kProtRead) && cpu.Map(kNoAccess, kPage, kProtNone) &&
                cpu.Map(kStop, kPage, kProtRead) && cpu.Map(kStackLow, 0x2000, kProtReadWrite) &&
                cpu.Map(kGdt, kPage, kProtRead) && cpu.Map(kThread, kPage, kProtReadWrite));
    ASSERT_TRUE(cpu.SetUpSegments(kGdt, kThread));
    const std::uint32_t data = 41, read_only = 1000, thread = 7, control_word = 0x0C7F;
    const std::vector<unsigned char> hidden(16, 0x55);
    ASSERT_TRUE(cpu.Load(kData, &data, 4) && cpu.Load(kData + 0x10, &control_word, 4) &&
                cpu.Load(kReadOnly, &read_only, 4) && cpu.Load(kThread, &thread, 4) &&
                cpu.Load(kNoAccess, hidden.data(), hidden.size()));
    const std::vector<unsigned char> code = {
        // 0x1000: fldcw [0x2010]; ret
        0xD9, 0x2D, 0x10, 0x20, 0x00, 0x00, 0xC3,
        // 0x1007: mov eax, [0x2000]; add eax, [0x3000]; add eax, fs:[0]; inc dword [0x2000];
        //         fnstcw [0x2014]; ret
        0xA1, 0x00, 0x20, 0x00, 0x00, 0x03, 0x05, 0x00, 0x30, 0x00, 0x00, 0x64, 0x03, 0x05, 0x00, 0x00, 0x00, 0x00,
        0xFF, 0x05, 0x00, 0x20, 0x00, 0x00, 0xD9, 0x3D, 0x14, 0x20, 0x00, 0x00, 0xC3,
        // 0x1026: mov dword [0x3000], 1; ret
        0xC7, 0x05, 0x00, 0x30, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0xC3};
    ASSERT_TRUE(cpu.Load(kCode, code.data(), code.size()));
}

CpuStop Call(EmulatedCpu& cpu, std::uint32_t function) {
    cpu.Set(CpuRegister::Esp, kStackTop);
    EXPECT_TRUE(cpu.Load(kStackTop, &kStop, 4));
    return cpu.Run(function, kStop, 10000);
}

TEST(EngineRenewal, TheFreshEngineHasTheMemoryProtectionsSegmentsAndControlWordOfTheWornOne) {
    EmulatedCpu cpu;
    PrepareMemory(cpu);
    EXPECT_EQ(Call(cpu, 0x1000).kind, CpuStop::Kind::Returned);
    EXPECT_EQ(Call(cpu, 0x1007).kind, CpuStop::Kind::Returned);
    EXPECT_EQ(cpu.Get(CpuRegister::Eax), 41u + 1000 + 7);
    const std::uint32_t ebx = 0x12345678;
    cpu.Set(CpuRegister::Ebx, ebx);

    ASSERT_TRUE(cpu.Renew());
    EXPECT_EQ(cpu.engines_opened(), 2u);
    EXPECT_EQ(cpu.Get(CpuRegister::Ebx), ebx);
    EXPECT_EQ(Call(cpu, 0x1007).kind, CpuStop::Kind::Returned);
    EXPECT_EQ(cpu.Get(CpuRegister::Eax), 42u + 1000 + 7);  // the increment, the read-only word, fs:[0]
    std::uint16_t control_word = 0;
    ASSERT_TRUE(cpu.Read(kData + 0x14, &control_word, 2));
    EXPECT_EQ(control_word, 0x0C7F);  // set by fldcw before the renewal

    const CpuStop refused = Call(cpu, 0x1026);
    EXPECT_EQ(refused.kind, CpuStop::Kind::ProtectedWrite);
    EXPECT_EQ(refused.address, kReadOnly);
    std::uint32_t word = 0, refused_at = 0;
    EXPECT_FALSE(cpu.Read(kNoAccess, &word, 4));
    EXPECT_FALSE(cpu.Allows(kNoAccess, 4, kProtRead, refused_at));
    ASSERT_TRUE(cpu.Protect(kNoAccess, kPage, kProtRead));
    ASSERT_TRUE(cpu.Read(kNoAccess, &word, 4));
    EXPECT_EQ(word, 0x55555555u);
}

// makeModule's place holds code that counts its calls in the image's data
// and returns the count: every call is seen, across the renewals.
TEST(EngineRenewal, AModuleCalledPastTheRenewalsKeepsItsCount) {
    PeTestImage image = PeTestImage::Shipped();
    const std::uint32_t header = image.SectionHeader(".data");
    ASSERT_NE(header, 0u);
    const std::uint32_t data_rva = image.U32(header + 12);
    const std::uint32_t rva = image.CodeRoom(image.ExportRva("makeModule"), 32);
    const std::uint32_t offset = data_rva - (rva + 5);  // from the address `call $+5` pushes
    std::vector<unsigned char> code = {0xE8, 0, 0, 0, 0, 0x58, 0xFF, 0x80};  // call $+5; pop eax; inc dword [eax+d]
    for (int i = 0; i < 4; ++i) code.push_back(static_cast<unsigned char>(offset >> (8 * i)));
    code.insert(code.end(), {0x8B, 0x80});  // mov eax, [eax+d]
    for (int i = 0; i < 4; ++i) code.push_back(static_cast<unsigned char>(offset >> (8 * i)));
    code.push_back(0xC3);
    image.PatchCode(rva, code);
    image.PatchReach(image.ExportRva("makeModule"), rva);
    std::unique_ptr<ModuleLibrary> library = image.Open();
    ASSERT_NE(library, nullptr);
    const std::uint64_t calls = EmulatedCpu::kStretchesPerEngine * 5 / 2;
    std::uint64_t result = 0, before = 0;
    std::string fault;
    ASSERT_TRUE(library->RunOutermost(
        [&] { library->Call(library->make_module(), CallShape::Dispatcher, {}, before); }, "first", fault));
    for (std::uint64_t i = 0; i < calls; ++i)
        ASSERT_TRUE(library->RunOutermost(
            [&] { library->Call(library->make_module(), CallShape::Dispatcher, {}, result); }, "count", fault))
            << fault;
    EXPECT_EQ(result, before + calls);
}

}  // namespace
