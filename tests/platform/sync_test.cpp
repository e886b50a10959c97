#include <gtest/gtest.h>

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

}  // namespace
}  // namespace brimvox
