// Reads of an isolated module's memory are served from page copies while
// the child is stopped: never stale after the child ran or the host wrote,
// and never more readable than the child's own pages.
#include "library/isolated/page_snapshot_memory.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

// Three pages at 0x10000; the last one unreadable.
class FakeChildMemory : public RemoteMemory {
public:
    static constexpr std::uintptr_t kBase = 0x10000;
    FakeChildMemory() : bytes(3 * 4096) {
        for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<unsigned char>(i * 7);
    }
    bool Read(std::uintptr_t address, void* destination, std::size_t size) override {
        ++reads;
        if (!Readable(address, size)) return false;
        std::memcpy(destination, &bytes[address - kBase], size);
        return true;
    }
    bool Write(std::uintptr_t address, const void* source, std::size_t size) override {
        if (!Readable(address, size)) return false;
        std::memcpy(&bytes[address - kBase], source, size);
        return true;
    }
    bool Readable(std::uintptr_t address, std::size_t size) const {
        return address >= kBase && address + size <= kBase + 2 * 4096;
    }
    std::vector<unsigned char> bytes;
    int reads = 0;
};

std::uint32_t ReadWord(PageSnapshotMemory& memory, std::uintptr_t address) {
    std::uint32_t value = 0;
    EXPECT_TRUE(memory.Read(address, &value, sizeof value));
    return value;
}

TEST(PageSnapshotMemory, OneCopyServesThePageUntilTheChildRunsAgain) {
    FakeChildMemory child;
    PageSnapshotMemory memory(child);
    const std::uintptr_t at = FakeChildMemory::kBase + 100;
    const std::uint32_t first = ReadWord(memory, at);
    ReadWord(memory, at + 8);
    ReadWord(memory, at + 2000);
    EXPECT_EQ(child.reads, 1);

    // The child changes its memory while it runs: a read after Forget sees it.
    child.bytes[100] ^= 0xFF;
    EXPECT_EQ(ReadWord(memory, at), first);
    memory.Forget();
    EXPECT_NE(ReadWord(memory, at), first);
    EXPECT_EQ(child.reads, 2);
}

TEST(PageSnapshotMemory, WritesAreSeenByTheNextRead) {
    FakeChildMemory child;
    PageSnapshotMemory memory(child);
    // Across the boundary of the two readable pages.
    const std::uintptr_t at = FakeChildMemory::kBase + 4096 - 2;
    ReadWord(memory, at);
    const std::uint32_t written = 0xA1B2C3D4;
    ASSERT_TRUE(memory.Write(at, &written, sizeof written));
    EXPECT_EQ(ReadWord(memory, at), written);
    // What lies beside the written bytes is read as the child holds it.
    std::uint32_t before;
    std::memcpy(&before, &child.bytes[4096 - 6], sizeof before);
    EXPECT_EQ(ReadWord(memory, at - 4), before);
}

TEST(PageSnapshotMemory, ReadReachingAnUnreadablePageFailsWhole) {
    FakeChildMemory child;
    PageSnapshotMemory memory(child);
    unsigned char bytes[8];
    std::memset(bytes, 0xEE, sizeof bytes);
    EXPECT_FALSE(memory.Read(FakeChildMemory::kBase + 2 * 4096 - 4, bytes, sizeof bytes));
    EXPECT_FALSE(memory.Read(FakeChildMemory::kBase - 4, bytes, 4));
    EXPECT_FALSE(memory.Read(~std::uintptr_t{0} - 2, bytes, sizeof bytes));
    // A large read is the system's whole.
    std::vector<unsigned char> large(2 * 4096);
    EXPECT_TRUE(memory.Read(FakeChildMemory::kBase, large.data(), large.size()));
    EXPECT_EQ(large, std::vector<unsigned char>(child.bytes.begin(), child.bytes.begin() + 2 * 4096));
}

}  // namespace
