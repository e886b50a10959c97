#include "allocation.h"

#include <atomic>
#include <cstdlib>

namespace {
std::atomic<long> allowance{-1};
}

void* allocateBytes(size_t count) {
    if (allowance.load(std::memory_order_relaxed) >= 0 &&
        allowance.fetch_sub(1, std::memory_order_relaxed) <= 0) {
        allowance.store(0, std::memory_order_relaxed);
        return nullptr;
    }
    return std::malloc(count == 0 ? 1 : count);
}

void freeBytes(void* block) {
    std::free(block);
}

void failAllocationsAfter(long successes) {
    allowance.store(successes < 0 ? -1 : successes, std::memory_order_relaxed);
}
