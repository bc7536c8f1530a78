// The Win32 stand-ins the usual start-up code calls, each run on a host of
// the test's own (its memory a map of bytes), and the declarations they
// pop their arguments by.
#include "library/emulated/address_space.h"
#include "library/emulated/emulated_cpu.h"
#include "library/emulated/system_stand_ins.h"
#include "library/emulated/thread_block.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <map>

namespace {

class FakeHost : public StandInHost {
public:
    std::vector<std::uint32_t> arguments;
    std::map<std::uint32_t, unsigned char> memory;  // absent bytes are unmapped
    std::string crash;
    // The one region VirtualQuery knows, and the changes VirtualProtect made.
    std::uint32_t region_base = 0x10000000, region_size = 0x3000;
    unsigned region_protection = kProtReadExecute;
    std::vector<std::pair<std::uint32_t, unsigned>> protected_pages;

    void Map(std::uint32_t address, std::uint32_t size) {
        for (std::uint32_t i = 0; i < size; ++i) memory[address + i] = 0;
    }
    std::uint32_t Word(std::uint32_t address) {
        std::uint32_t value = 0;
        EXPECT_TRUE(ReadMemory(address, &value, 4, "test"));
        return value;
    }
    std::uint32_t Call(const char* library, const char* name, std::vector<std::uint32_t> given) {
        const StandIn* stand_in = FindStandIn(library, name);
        if (stand_in == nullptr) {
            ADD_FAILURE() << "no stand-in for " << library << "!" << name;
            return 0;
        }
        arguments = std::move(given);
        // The arguments the declaration pops are the ones the call passes.
        EXPECT_EQ(stand_in->argument_bytes(), 4 * arguments.size()) << name;
        return stand_in->run(*this);
    }
    std::uint32_t LastError() { return Word(address_space::kTebAddress + thread_block::kLastError); }

    std::uint32_t Argument(unsigned index) override {
        return index < arguments.size() ? arguments[index] : 0;
    }
    bool ReadMemory(std::uint32_t address, void* destination, std::uint32_t size, const char*) override {
        if (!CheckAccess(address, size, false, "")) return false;
        for (std::uint32_t i = 0; i < size; ++i)
            static_cast<unsigned char*>(destination)[i] = memory[address + i];
        return true;
    }
    bool WriteMemory(std::uint32_t address, const void* source, std::uint32_t size, const char*) override {
        if (!CheckAccess(address, size, true, "")) return false;
        for (std::uint32_t i = 0; i < size; ++i)
            memory[address + i] = static_cast<const unsigned char*>(source)[i];
        return true;
    }
    bool CheckAccess(std::uint32_t address, std::uint32_t size, bool, const char*) override {
        for (std::uint32_t i = 0; i < size; ++i)
            if (memory.count(address + i) == 0) {
                crash = "invalid access";
                return false;
            }
        return true;
    }
    bool TextLength(std::uint32_t, std::uint32_t, std::uint32_t& length, const char*) override {
        length = 0;
        return true;
    }
    std::string MessageText(std::uint32_t, bool, std::size_t) override { return ""; }
    void Crash(const std::string& text) override { crash = text; }
    void BreakContract(const std::string& text) override { crash = text; }
    bool CallModule(std::uint32_t) override { return true; }
    void AddExitFunction(std::uint32_t) override {}
    ModuleHeap& heap() override { std::abort(); }  // none of the stand-ins tested here allocates
    const LibraryOptions& options() const override { return m_options; }
    std::uint32_t MillisecondsSinceLoad() const override { return 0; }
    std::uint32_t image_base() const override { return region_base; }
    const std::string& image_name() const override { return m_name; }
    bool QueryRegion(std::uint32_t address, std::uint32_t& base, std::uint32_t& size,
                     unsigned& protection) const override {
        if (address < region_base || address - region_base >= region_size) return false;
        base = region_base, size = region_size, protection = region_protection;
        return true;
    }
    bool ProtectImagePages(std::uint32_t address, std::uint32_t size, unsigned protection,
                           unsigned& old_protection) override {
        if (address < region_base || address - region_base + std::uint64_t{size} > region_size) return false;
        old_protection = region_protection;
        protected_pages.emplace_back(address, protection);
        return true;
    }
    std::uint32_t& rand_seed() override { return m_seed; }
    std::uint32_t errno_address() const override { return 0; }

private:
    LibraryOptions m_options;
    std::string m_name = "module.sem";
    std::uint32_t m_seed = 0;
};

class StandIns : public ::testing::Test {
protected:
    void SetUp() override {
        host.Map(address_space::kTebAddress, 0x1000);
        host.Map(address_space::kPebAddress, 0x1000);
        host.Map(kBuffer, 64);
    }
    static constexpr std::uint32_t kBuffer = 0x00500000;
    FakeHost host;
};

TEST_F(StandIns, ThreadLocalStorageGivesOutSlotsThatHoldValuesUntilFreed) {
    const std::uint32_t first = host.Call("KERNEL32.dll", "TlsAlloc", {});
    const std::uint32_t second = host.Call("KERNEL32.dll", "TlsAlloc", {});
    EXPECT_EQ(first, 0u);
    EXPECT_EQ(second, 1u);
    EXPECT_EQ(host.Call("KERNEL32.dll", "TlsSetValue", {second, 0xCAFE}), 1u);
    EXPECT_EQ(host.Call("KERNEL32.dll", "TlsGetValue", {second}), 0xCAFEu);
    EXPECT_EQ(host.LastError(), 0u);  // a value of 0 is told from a failure so
    EXPECT_EQ(host.Call("KERNEL32.dll", "TlsGetValue", {first}), 0u);
    // A freed slot is given out again, holding 0.
    EXPECT_EQ(host.Call("KERNEL32.dll", "TlsFree", {second}), 1u);
    EXPECT_EQ(host.Call("KERNEL32.dll", "TlsFree", {second}), 0u);
    EXPECT_EQ(host.LastError(), 87u);  // ERROR_INVALID_PARAMETER
    EXPECT_EQ(host.Call("KERNEL32.dll", "TlsAlloc", {}), second);
    EXPECT_EQ(host.Call("KERNEL32.dll", "TlsGetValue", {second}), 0u);
    // An index past the slots fails without touching memory.
    EXPECT_EQ(host.Call("KERNEL32.dll", "TlsSetValue", {64, 1}), 0u);
    EXPECT_EQ(host.LastError(), 87u);
    for (int i = 2; i < 64; ++i) host.Call("KERNEL32.dll", "TlsAlloc", {});
    EXPECT_EQ(host.Call("KERNEL32.dll", "TlsAlloc", {}), 0xFFFFFFFFu);  // TLS_OUT_OF_INDEXES
    EXPECT_EQ(host.crash, "");
}

TEST_F(StandIns, VirtualQueryDescribesTheRegionAndVirtualProtectChangesOnlyTheImage) {
    const std::uint32_t address = host.region_base + 0x1234;
    EXPECT_EQ(host.Call("KERNEL32.dll", "VirtualQuery", {address, kBuffer, 28}), 28u);
    // MEMORY_BASIC_INFORMATION: the page, the region, PAGE_EXECUTE_READ,
    // the bytes left from the page, MEM_COMMIT, MEM_IMAGE.
    EXPECT_EQ(host.Word(kBuffer), host.region_base + 0x1000);
    EXPECT_EQ(host.Word(kBuffer + 4), host.region_base);
    EXPECT_EQ(host.Word(kBuffer + 8), 0x20u);
    EXPECT_EQ(host.Word(kBuffer + 12), 0x2000u);
    EXPECT_EQ(host.Word(kBuffer + 16), 0x1000u);
    EXPECT_EQ(host.Word(kBuffer + 20), 0x20u);
    EXPECT_EQ(host.Word(kBuffer + 24), 0x1000000u);
    EXPECT_EQ(host.Call("KERNEL32.dll", "VirtualQuery", {address, kBuffer, 27}), 0u);  // too small a record
    EXPECT_EQ(host.Call("KERNEL32.dll", "VirtualQuery", {0x100, kBuffer, 28}), 0u);    // nothing mapped there

    // The start-up code makes a page of the image writable for a moment.
    EXPECT_EQ(host.Call("KERNEL32.dll", "VirtualProtect", {address, 4, 0x04, kBuffer + 32}), 1u);
    ASSERT_EQ(host.protected_pages.size(), 1u);
    EXPECT_EQ(host.protected_pages[0].second, static_cast<unsigned>(kProtReadWrite));
    EXPECT_EQ(host.Word(kBuffer + 32), 0x20u);  // the old PAGE_EXECUTE_READ
    EXPECT_EQ(host.Call("KERNEL32.dll", "VirtualProtect", {address, 4, 0x1234, kBuffer + 32}), 0u);
    EXPECT_EQ(host.LastError(), 87u);
    EXPECT_EQ(host.Call("KERNEL32.dll", "VirtualProtect", {0x100, 4, 0x04, kBuffer + 32}), 0u);
    EXPECT_EQ(host.LastError(), 487u);  // ERROR_INVALID_ADDRESS
    EXPECT_EQ(host.protected_pages.size(), 1u);
}

TEST_F(StandIns, CriticalSectionsNeverWaitOnTheOneThread) {
    const std::uint32_t section = kBuffer;
    EXPECT_EQ(host.Call("KERNEL32.dll", "InitializeCriticalSectionAndSpinCount", {section, 4000}), 1u);
    host.Call("kernel32", "InitializeCriticalSection", {section});
    host.Call("KERNEL32.dll", "EnterCriticalSection", {section});
    // Entered again by the same thread, as a critical section allows.
    EXPECT_EQ(host.Call("KERNEL32.dll", "TryEnterCriticalSection", {section}), 1u);
    host.Call("KERNEL32.dll", "LeaveCriticalSection", {section});
    host.Call("KERNEL32.dll", "LeaveCriticalSection", {section});
    host.Call("KERNEL32.dll", "DeleteCriticalSection", {section});
    EXPECT_EQ(host.crash, "");
}

TEST(StandInDeclarations, StdcallPopsItsDeclaredArgumentsAndCdeclNone) {
    // Win32's own signatures: HANDLE CreateSemaphoreW(ptr, long, long, wstr) and the rest.
    const struct {
        const char* library;
        const char* name;
        std::uint32_t bytes;
    } expected[] = {
        {"kernel32.dll", "GetTickCount", 0},
        {"kernel32.dll", "SetLastError", 4},
        {"kernel32.dll", "TlsSetValue", 8},
        {"kernel32.dll", "ReleaseSemaphore", 12},
        {"kernel32.dll", "CreateSemaphoreW", 16},
        {"kernel32.dll", "VirtualProtect", 16},
        {"user32.dll", "GetAsyncKeyState", 4},
        {"msvcrt.dll", "memcpy", 0},
        {"msvcrt.dll", "_assert", 0},
    };
    for (const auto& function : expected) {
        SCOPED_TRACE(function.name);
        const StandIn* stand_in = FindStandIn(function.library, function.name);
        ASSERT_NE(stand_in, nullptr);
        EXPECT_EQ(stand_in->argument_bytes(), function.bytes);
    }
    // Two stack words for a 64-bit argument.
    constexpr StandIn wide =
        Stdcall<Arg::Int64, Arg::Ptr, Arg::Double>(SystemLibrary::Kernel32, "Wide", nullptr);
    static_assert(wide.argument_bytes() == 20);
    static_assert(Cdecl<Arg::Long>(SystemLibrary::CRuntime, "f", nullptr).argument_bytes() == 0);
}

}  // namespace
