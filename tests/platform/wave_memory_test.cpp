#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>

#include "wave_memory.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace brimvox {
namespace {

TEST(WaveMemory, BlocksAreZeroedWritableAndDistinct) {
    auto* a = static_cast<uint8_t*>(allocateWaveMemory(4800));
    auto* b = static_cast<uint8_t*>(allocateWaveMemory(4800));
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    for (size_t i = 0; i < 4800; ++i) {
        ASSERT_EQ(a[i], 0) << i;
        ASSERT_EQ(b[i], 0) << i;
    }
    std::memset(a, 0x5A, 4800);
    std::memset(b, 0xA5, 4800);
    EXPECT_EQ(a[4799], 0x5A);
    EXPECT_EQ(b[0], 0xA5);
    freeWaveMemory(a);
    freeWaveMemory(b);
    freeWaveMemory(nullptr);
}

#ifdef _WIN32
TEST(WaveMemory, WindowsBlocksAreLockedMovableGlobalMemory) {
    void* block = allocateWaveMemory(1440);
    ASSERT_NE(block, nullptr);
    HGLOBAL memory = GlobalHandle(block);
    ASSERT_NE(memory, nullptr);
    // A movable block's handle differs from its locked address; a fixed one's does not.
    EXPECT_NE(static_cast<void*>(memory), block);
    const UINT flags = GlobalFlags(memory);
    EXPECT_NE(flags, GMEM_INVALID_HANDLE);
    EXPECT_EQ(flags & GMEM_LOCKCOUNT, 1u);
    EXPECT_GE(GlobalSize(memory), 1440u);
    freeWaveMemory(block);
}
#endif

}  // namespace
}  // namespace brimvox
