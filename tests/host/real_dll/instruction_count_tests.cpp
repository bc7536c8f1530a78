// The shipped library's own i386 instructions per operation against its
// floor, the flat module of bench/floor, both counted in the emulated back
// end. The counts are exact and the same on every run, so they can bound
// the framework's cost as a test.
#include "image_bench.h"
#include "real_dll.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>

namespace {

using image_bench::ImageBench;
using image_bench::OperationInfo;

// The most each operation may cost, as a multiple of its floor. Above the
// goal of 1.25 by a margin of about eight instructions for a notification,
// so that a change of the compiler's choices does not fail it, while any of
// the costs taken out of the library fails it at once: a realigning stack
// (60 instructions a notification), pin operations out of line (80), the
// dispatcher's extra copy of the arguments (15). The life cycles run once
// per object; the GUI one is held to its goal of 1.5. The audio one makes
// and ends an array of pin objects and runs the framework's constructor,
// dispatcher and destructors, which its floor, making the same host calls,
// does not: 2.35 is its count today and about 20 instructions, while the walk
// of the declarations coming back (about 400) or pins ended out of line
// (about 70) fails at once.
double CeilingOf(image_bench::Operation operation) {
    switch (operation) {
    case image_bench::Operation::GuiLifeCycle: return 1.5;
    case image_bench::Operation::AudioLifeCycle: return 2.35;
    default: return 1.3;
    }
}

bool FloorBuilt() {
    if (std::filesystem::is_regular_file(image_bench::FloorLibraryPath())) return true;
    ADD_FAILURE() << image_bench::FloorLibraryPath()
                  << " is missing: build the win32 preset first (cmake --build --preset win32)";
    return false;
}

// The shipped library and its floor, each loaded with its objects made.
class ImageInstructions : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(RealDllBuilt() && FloorBuilt());
        shipped.emplace(image_bench::ShippedLibraryPath());
        floor.emplace(image_bench::FloorLibraryPath());
        ASSERT_TRUE(shipped->ok()) << shipped->problem();
        ASSERT_TRUE(floor->ok()) << floor->problem();
    }

    std::optional<ImageBench> shipped;
    std::optional<ImageBench> floor;
};

}  // namespace

// A floor that skipped a request, or a library that changed one, would make
// the ratio meaningless: both must ask the host and the key state the very
// same things, in the same order, for every operation.
TEST_F(ImageInstructions, TheFloorMakesTheShippedLibrarysRequests) {
    for (const OperationInfo& info : image_bench::kOperations) {
        SCOPED_TRACE(info.name);
        EXPECT_GT(shipped->Measure(info.operation), 0u) << shipped->problem();
        EXPECT_GT(floor->Measure(info.operation), 0u) << floor->problem();
        EXPECT_FALSE(shipped->requests().empty());
        EXPECT_TRUE(shipped->requests() == floor->requests());
        EXPECT_EQ(shipped->key_queries(), floor->key_queries());
    }
    // Open's 40 key queries, Ctrl first, are among them.
    shipped->Measure(image_bench::Operation::GuiLifeCycle);
    ASSERT_EQ(shipped->key_queries().size(), 40u);
    EXPECT_EQ(shipped->key_queries().front(), 17);
}

TEST_F(ImageInstructions, TheShippedLibraryStaysUnderItsCeilings) {
    for (const OperationInfo& info : image_bench::kOperations) {
        const std::uint64_t shipped_count = shipped->Measure(info.operation);
        const std::uint64_t floor_count = floor->Measure(info.operation);
        ASSERT_GT(floor_count, 0u) << info.name << ": " << floor->problem();
        EXPECT_LE(static_cast<double>(shipped_count) / static_cast<double>(floor_count), CeilingOf(info.operation))
            << info.name << ": " << shipped_count << " instructions, floor " << floor_count;
    }
}
