// The entry points compiled into the test: what the host sees when memory
// for a new object cannot be had, and that refusals allocate nothing. The
// program is linked with malloc wrapped, so the test decides when it fails.
#include "SEExports.h"
#include "SEHostTypes.h"
#include "fake_host.h"
#include "fake_platform.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>

namespace {
bool g_watching = false;
bool g_fail = false;
int g_allocations = 0;
}  // namespace

extern "C" void* __real_malloc(std::size_t size);
extern "C" void* __wrap_malloc(std::size_t size) {
    if (!g_watching) return __real_malloc(size);
    ++g_allocations;
    return g_fail ? nullptr : __real_malloc(size);
}

namespace {

class MakeModuleAllocationTest : public ::testing::Test {
protected:
    void SetUp() override { fake_platform::Reset(); }
    void TearDown() override { g_watching = g_fail = false; }
    void Watch(bool fail) {
        g_allocations = 0;
        g_fail = fail;
        g_watching = true;
    }
    FakeHost host;
};

}  // namespace

TEST_F(MakeModuleAllocationTest, NoMemoryForTheObjectGivesNull) {
    Watch(true);
    EXPECT_EQ(makeModule(0, MT_AUDIO, host.callback(), 1), nullptr);
    EXPECT_EQ(makeModule(0, MT_GUI, host.callback(), 2), nullptr);
    g_watching = false;
    EXPECT_EQ(g_allocations, 2) << "each type asked for its object";
    EXPECT_TRUE(host.calls.empty());
}

TEST_F(MakeModuleAllocationTest, RefusalsAllocateNothing) {
    Watch(false);
    EXPECT_EQ(makeModule(0, 0, host.callback(), 0), nullptr);
    EXPECT_EQ(makeModule(0, 3, host.callback(), 0), nullptr);
    EXPECT_EQ(makeModule(0, -1, host.callback(), 0), nullptr);
    EXPECT_EQ(makeModule(1, MT_AUDIO, host.callback(), 0), nullptr);
    EXPECT_EQ(makeModule(-1, MT_GUI, host.callback(), 0), nullptr);
    ModuleProperties properties{};
    getModuleProperties(0, &properties);
    getModuleProperties(1, &properties);
    g_watching = false;
    EXPECT_EQ(g_allocations, 0);

    // The watch sees the allocation of a real object.
    Watch(false);
    void* record = makeModule(0, MT_GUI, host.callback(), 0);
    g_watching = false;
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(g_allocations, 1);
    static_cast<GuiPlugRecord*>(record)->dispatcher(record, GUI_CLOSE, 0, 0, nullptr, 0.0f);
}
