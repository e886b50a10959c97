// The encoder allocates nothing per frame: every working buffer lives on the stack or in the
// codec. Global allocation is counted while frames are encoded.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <vector>

#include "celp_codec.h"

// The replacement operators below pair malloc with free; GCC's check of inlined new/delete pairs
// cannot see that and reports a mismatch.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif

namespace {
std::atomic<bool> counting{false};
std::atomic<long> allocations{0};
}  // namespace

void* operator new(std::size_t size) {
    if (counting) ++allocations;
    if (void* p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}

namespace brimvox {
namespace {

TEST(EncodeFrame, AllocatesNothingPerFrame) {
    CelpCodec codec;
    int16_t pcm[FrameSamples];
    uint8_t frame[FrameBytes];
    // A first frame outside the count, so one-time set-up (if any) is not counted.
    for (int n = 0; n < FrameSamples; ++n) pcm[n] = static_cast<int16_t>((n * 977) % 20000 - 10000);
    codec.encodeFrame(pcm, frame, 50);
    counting = true;
    for (int f = 0; f < 20; ++f) {
        for (int n = 0; n < FrameSamples; ++n) {
            pcm[n] = static_cast<int16_t>(((f * 240 + n) * 7919) % 30000 - 15000);
        }
        codec.encodeFrame(pcm, frame, 50);
    }
    counting = false;
    EXPECT_EQ(allocations.load(), 0);
    // The counter itself works.
    counting = true;
    {
        std::vector<int> probe(3, 1);
        EXPECT_EQ(probe[2], 1);
    }
    counting = false;
    EXPECT_EQ(allocations.load(), 1);
}

}  // namespace
}  // namespace brimvox
