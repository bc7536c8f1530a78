// What semhost asks of the operating system that a module cannot be
// used to test: an abort inside a guarded run ends that run, not semhost.
#include "platform/host_platform.h"

#include "SEHostTypes.h"
#include "semhost_test_support.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>

namespace {

struct Steps {
    int before = 0;
    int after = 0;
    bool inner_returned = true;
};

void Aborts(void* context) {
    ++static_cast<Steps*>(context)->before;
    std::abort();
    ++static_cast<Steps*>(context)->after;  // never reached
}

void RunsAnAbortingRun(void* context) {
    Steps& steps = *static_cast<Steps*>(context);
    steps.inner_returned = host_platform::RunCatchingAbort(Aborts, context);
    ++steps.after;  // the outer run goes on
}

TEST(Platform, AnAbortEndsOnlyTheInnermostGuardedRun) {
    Steps steps;
    EXPECT_TRUE(host_platform::RunCatchingAbort([](void* context) { ++static_cast<Steps*>(context)->before; }, &steps));
    EXPECT_EQ(steps.before, 1);

    steps = Steps{};
    EXPECT_FALSE(host_platform::RunCatchingAbort(Aborts, &steps));
    EXPECT_EQ(steps.before, 1);
    EXPECT_EQ(steps.after, 0);

    steps = Steps{};
    EXPECT_TRUE(host_platform::RunCatchingAbort(RunsAnAbortingRun, &steps));
    EXPECT_FALSE(steps.inner_returned);
    EXPECT_EQ(steps.after, 1);

    // Outside a run, SIGABRT is handled as it was before.
    void (*const now)(int) = std::signal(SIGABRT, SIG_DFL);
    EXPECT_EQ(now, SIG_DFL);
}

HostResult SE_CALL NoHost(void*, std::int32_t, std::int32_t, std::int32_t, void*, float) { return 0; }

// A library loaded into this process has its heap calls counted once its
// imports of the heap's functions point at the counting stand-ins: making
// an audio object allocates it, closing it frees it, and pointing the
// imports again counts nothing twice.
TEST(Platform, ALibrarysHeapCallsAreCountedThroughItsImports) {
    std::string problem;
    bool faulted = false;
    void* library = host_platform::OpenLibrary(AudioFixturePaths("sound").front(), problem, faulted);
    ASSERT_NE(library, nullptr) << problem;
    EXPECT_FALSE(faulted);
    const auto make = reinterpret_cast<MakeModuleFunction>(host_platform::FindExport(library, "makeModule"));
    ASSERT_NE(make, nullptr);
    const auto make_and_close = [&] {
        const std::uint64_t before = host_platform::HeapCallsCounted();
        auto* record = static_cast<AudioPlugRecord*>(make(0, MT_AUDIO, NoHost, 0));
        EXPECT_NE(record, nullptr);
        if (record == nullptr) return std::pair<std::uint64_t, std::uint64_t>{0, 0};
        const std::uint64_t made = host_platform::HeapCallsCounted() - before;
        record->dispatcher(record, AUDIO_CLOSE, 0, 0, nullptr, 0.0f);
        return std::pair<std::uint64_t, std::uint64_t>{made, host_platform::HeapCallsCounted() - before - made};
    };
    EXPECT_EQ(make_and_close(), (std::pair<std::uint64_t, std::uint64_t>{0, 0})) << "nothing counted yet";
    ASSERT_TRUE(host_platform::CountHeapCalls(library, problem)) << problem;
    const auto counted = make_and_close();
    EXPECT_GE(counted.first, 1u);
    EXPECT_GE(counted.second, 1u);
    ASSERT_TRUE(host_platform::CountHeapCalls(library, problem)) << problem;
    EXPECT_EQ(make_and_close(), counted);
    host_platform::CloseLibrary(library);
}

}  // namespace
