#include <gtest/gtest.h>

#include <random>

#include "celp_codec.h"

namespace brimvox {
namespace {

CelpFrameParams workedExample() {
    CelpFrameParams p;
    p.lspIndex = 0x123456;
    p.pitchLag[0] = 60;
    p.pitchLag[1] = 100;
    const int offsets[4] = {1, 2, 1, 3}, acb[4] = {5, 10, 20, 41}, fcb[4] = {0, 7, 12, 23};
    const int signs[4] = {0x1, 0x2, 0x4, 0x8}, positions[4] = {0x001, 0x2AA, 0x555, 0x7FF};
    for (int s = 0; s < 4; ++s) {
        p.subframe[s].lagOffset = offsets[s];
        p.subframe[s].acbGainIndex = acb[s];
        p.subframe[s].fcbGainIndex = fcb[s];
        p.subframe[s].pulseSigns = signs[s];
        p.subframe[s].pulsePositions = positions[s];
    }
    return p;
}

void expectCarriedFieldsEqual(const CelpFrameParams& a, const CelpFrameParams& b) {
    EXPECT_EQ(a.badFrame, b.badFrame);
    EXPECT_EQ(a.lspIndex, b.lspIndex);
    EXPECT_EQ(a.pitchLag[0], b.pitchLag[0]);
    EXPECT_EQ(a.pitchLag[1], b.pitchLag[1]);
    for (int s = 0; s < 4; ++s) {
        SCOPED_TRACE(s);
        EXPECT_EQ(a.subframe[s].lagOffset, b.subframe[s].lagOffset);
        EXPECT_EQ(a.subframe[s].acbGainIndex, b.subframe[s].acbGainIndex);
        EXPECT_EQ(a.subframe[s].fcbGainIndex, b.subframe[s].fcbGainIndex);
        EXPECT_EQ(a.subframe[s].pulseSigns, b.subframe[s].pulseSigns);
        EXPECT_EQ(a.subframe[s].pulsePositions, b.subframe[s].pulsePositions);
    }
}

TEST(Frame, WorkedExamplePacksAndUnpacks) {
    const uint8_t expected[18] = {0x18, 0x56, 0x34, 0x12, 0x01, 0xA8, 0xEA, 0x3D, 0x48,
                                  0x82, 0x07, 0x7B, 0xEF, 0xFF, 0x5F, 0x55, 0x4B, 0x55};
    uint8_t frame[18];
    std::fill(std::begin(frame), std::end(frame), 0xCC);
    packFrame(workedExample(), frame);
    for (int i = 0; i < 18; ++i) EXPECT_EQ(frame[i], expected[i]) << "byte " << i;
    expectCarriedFieldsEqual(unpackFrame(expected, 0), workedExample());
}

TEST(Frame, ZeroFrameIsValidWithFirstPositions) {
    const uint8_t zero[18] = {};
    const CelpFrameParams p = unpackFrame(zero, 0);
    EXPECT_EQ(p.badFrame, 0);
    EXPECT_EQ(p.lspIndex, 0);
    EXPECT_EQ(p.pitchLag[0], 18);
    EXPECT_EQ(p.pitchLag[1], 18);
    const int offsets[4] = {1, 0, 1, 0};
    for (int s = 0; s < 4; ++s) {
        EXPECT_EQ(p.subframe[s].lagOffset, offsets[s]);
        EXPECT_EQ(p.subframe[s].acbGainIndex, 0);
        EXPECT_EQ(p.subframe[s].fcbGainIndex, 0);
        EXPECT_EQ(p.subframe[s].pulseSigns, 0);
        EXPECT_EQ(p.subframe[s].pulsePositions, 0);
    }
}

TEST(Frame, SpareBitsAreIgnoredAndNeverWritten) {
    uint8_t frame[18];
    packFrame(workedExample(), frame);
    EXPECT_EQ(frame[0] & 3, 0);
    frame[0] |= 3;
    expectCarriedFieldsEqual(unpackFrame(frame, 0), workedExample());
}

// A bad frame must come back with in-range, quiet values whatever the bits held.
void expectQuietBadFrame(const CelpFrameParams& p, int16_t badFrame) {
    EXPECT_EQ(p.badFrame, badFrame);
    EXPECT_EQ(p.pitchLag[0], 18);
    EXPECT_EQ(p.pitchLag[1], 18);
    for (const CelpSubframeParams& sp : p.subframe) {
        EXPECT_EQ(sp.lagOffset, 1);
        EXPECT_EQ(sp.acbGainIndex, 0);
        EXPECT_EQ(sp.fcbGainIndex, 0);
        EXPECT_EQ(sp.pulseSigns, 0);
        EXPECT_EQ(sp.pulsePositions, 0);
    }
}

TEST(Frame, CombinedGainsFrom1008MarkEverySubframeBad) {
    // Bit places of the four combined gains: word, first bit.
    const int word[4] = {2, 1, 2, 3}, first[4] = {12, 22, 22, 0};
    for (int s = 0; s < 4; ++s) {
        for (uint32_t gain : {1008u, 1015u, 1023u}) {
            SCOPED_TRACE(testing::Message() << "subframe " << s << " gain " << gain);
            uint8_t frame[18];
            CelpFrameParams p = workedExample();
            packFrame(p, frame);
            // Overwrite that subframe's 10-bit field with the invalid value.
            uint32_t w = 0;
            for (int i = 0; i < 4; ++i) w |= uint32_t(frame[4 * word[s] + i]) << (8 * i);
            w = (w & ~(0x3FFu << first[s])) | (gain << first[s]);
            for (int i = 0; i < 4; ++i) frame[4 * word[s] + i] = uint8_t(w >> (8 * i));
            const CelpFrameParams u = unpackFrame(frame, 0);
            expectQuietBadFrame(u, 1);
            EXPECT_EQ(u.lspIndex, 0x123456);
        }
    }
}

TEST(Frame, LagCodesAbove123MarkTheFrameBad) {
    for (int which = 0; which < 2; ++which) {
        for (int code = 122; code <= 127; ++code) {
            CelpFrameParams p = workedExample();
            p.pitchLag[which] = code + 18;
            uint8_t frame[18];
            packFrame(p, frame);
            const CelpFrameParams u = unpackFrame(frame, 0);
            if (code <= 123) {
                EXPECT_EQ(u.badFrame, 0);
                EXPECT_EQ(u.pitchLag[which], code + 18);
            } else {
                expectQuietBadFrame(u, 1);
            }
        }
    }
}

TEST(Frame, LostFlagIsPassedOnWithoutReadingTheFrame) {
    uint8_t frame[18];
    packFrame(workedExample(), frame);
    for (int16_t lost : {int16_t(1), int16_t(-7), int16_t(0x7FFF)}) {
        const CelpFrameParams u = unpackFrame(frame, lost);
        expectQuietBadFrame(u, lost);
        EXPECT_EQ(u.lspIndex, 0);
    }
}

TEST(Frame, RandomInRangeRecordsRoundTrip) {
    std::mt19937 rng(1234);
    auto uniform = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
    for (int i = 0; i < 2000; ++i) {
        CelpFrameParams p;
        p.lspIndex = uniform(0, 0xFFFFFF);
        p.pitchLag[0] = uniform(18, 141);
        p.pitchLag[1] = uniform(18, 141);
        for (int s = 0; s < 4; ++s) {
            p.subframe[s].lagOffset = (s % 2 == 1) ? uniform(0, 3) : 1;
            p.subframe[s].acbGainIndex = uniform(0, 41);
            p.subframe[s].fcbGainIndex = uniform(0, 23);
            p.subframe[s].pulseSigns = uniform(0, 15);
            p.subframe[s].pulsePositions = uniform(0, 2047);
        }
        uint8_t frame[18];
        packFrame(p, frame);
        expectCarriedFieldsEqual(unpackFrame(frame, 0), p);
        if (HasFailure()) break;
    }
}

}  // namespace
}  // namespace brimvox
