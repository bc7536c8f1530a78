// What semhost asks of the operating system that a module cannot be
// used to test: an abort inside a guarded run ends that run, not semhost.
#include "platform/host_platform.h"

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

}  // namespace
