// The shipped library's own i386 instructions per operation against its
// floor, the flat module of bench/floor, both counted in the emulated back
// end. The counts are exact and the same on every run, so they can bound
// the framework's cost as a test.
#include "image_bench.h"
#include "real_dll.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace {

using image_bench::ImageBench;
using image_bench::OperationInfo;

bool FloorBuilt() {
    if (std::filesystem::is_regular_file(image_bench::FloorLibraryPath())) return true;
    ADD_FAILURE() << image_bench::FloorLibraryPath()
                  << " is missing: build the win32 preset first (cmake --build --preset win32)";
    return false;
}

}  // namespace

// A floor that skipped a request, or a library that changed one, would make
// the ratio meaningless: both must ask the host and the key state the very
// same things, in the same order, for every operation.
TEST(ImageInstructions, TheFloorMakesTheShippedLibrarysRequests) {
    if (!RealDllBuilt() || !FloorBuilt()) return;
    ImageBench shipped(image_bench::ShippedLibraryPath());
    ImageBench floor(image_bench::FloorLibraryPath());
    ASSERT_TRUE(shipped.ok()) << shipped.problem();
    ASSERT_TRUE(floor.ok()) << floor.problem();
    for (const OperationInfo& info : image_bench::kOperations) {
        SCOPED_TRACE(info.name);
        EXPECT_GT(shipped.Measure(info.operation), 0u) << shipped.problem();
        EXPECT_GT(floor.Measure(info.operation), 0u) << floor.problem();
        EXPECT_FALSE(shipped.requests().empty());
        EXPECT_TRUE(shipped.requests() == floor.requests());
        EXPECT_EQ(shipped.key_queries(), floor.key_queries());
    }
    // Open's 40 key queries, Ctrl first, are among them.
    shipped.Measure(image_bench::Operation::GuiLifeCycle);
    ASSERT_EQ(shipped.key_queries().size(), 40u);
    EXPECT_EQ(shipped.key_queries().front(), 17);
}
