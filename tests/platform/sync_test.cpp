#include <gtest/gtest.h>

#include <dirent.h>

#include <atomic>

#include "sync.h"

namespace brimvox {
namespace {

TEST(Event, ManualResetStaysSetUntilReset) {
    Event e(true);
    EXPECT_FALSE(e.poll());
    e.set();
    EXPECT_TRUE(e.poll());
    EXPECT_TRUE(e.wait(0));
    e.reset();
    EXPECT_FALSE(e.poll());
}

TEST(Event, AutoResetIsConsumedByOneWait) {
    Event e(false);
    e.set();
    EXPECT_TRUE(e.wait(10));
    EXPECT_FALSE(e.poll());
}

TEST(Event, WaitTimesOutAfterRoughlyItsLimit) {
    Event e(true);
    const uint64_t t0 = monotonicMs();
    EXPECT_FALSE(e.wait(60));
    const uint64_t took = monotonicMs() - t0;
    EXPECT_GE(took, 55u);
    EXPECT_LT(took, 1000u);
}

struct Shared {
    Event go{true};
    Event done{true};
    std::atomic<int> value{0};
};

void worker(void* p) {
    auto* s = static_cast<Shared*>(p);
    s->go.wait(WaitForever);
    s->value = 42;
    s->done.set();
}

TEST(Thread, RunsWithItsArgumentAndWakesOnEvent) {
    Shared s;
    ASSERT_TRUE(startThread(worker, &s));
    EXPECT_FALSE(s.done.wait(20));
    s.go.set();
    ASSERT_TRUE(s.done.wait(2000));
    EXPECT_EQ(s.value.load(), 42);
}

// Threads of this process, as the kernel lists them.
int processThreads() {
    int n = 0;
    if (DIR* d = opendir("/proc/self/task")) {
        while (dirent* e = readdir(d))
            if (e->d_name[0] != '.') ++n;
        closedir(d);
    }
    return n;
}

void lingering(void* arg) {
    static_cast<Shared*>(arg)->done.set();
    sleepMs(200);  // still running after it has reported its work done
}

TEST(Thread, JoinReturnsOnlyOnceTheThreadHasExited) {
    // A runtime that starts a helper thread along with the process's first thread (as
    // ThreadSanitizer's does) has done so before anything is counted.
    ThreadHandle* first = startJoinableThread([](void*) {}, nullptr);
    ASSERT_TRUE(first != nullptr && joinThread(first, 2000));
    const int before = processThreads();
    Shared s;
    ThreadHandle* t = startJoinableThread(lingering, &s);
    ASSERT_NE(t, nullptr);
    ASSERT_TRUE(s.done.wait(2000));
    EXPECT_FALSE(joinThread(t, 20));  // done with its work, not yet exited: still valid
    const uint64_t t0 = monotonicMs();
    ASSERT_TRUE(joinThread(t, 2000));
    EXPECT_GT(monotonicMs() - t0, 100u);
    EXPECT_LE(processThreads(), before);  // gone from the process, not merely finished

    static Shared later;  // outlives the thread that is not waited for
    later.done.reset();
    ThreadHandle* u = startJoinableThread(lingering, &later);
    ASSERT_NE(u, nullptr);
    releaseThread(u);  // it cleans up after itself
    EXPECT_TRUE(later.done.wait(2000));
}

}  // namespace
}  // namespace brimvox
