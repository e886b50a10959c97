#include "allocation.h"

#include <atomic>
#include <cstdlib>
#include <new>
#include <system_error>

namespace brimvox::retrieve {

namespace {

std::atomic<long> allowance{-1};
std::atomic<AllocationFailure> failureKind{AllocationFailure::nullResult};

// False when an injected failure is due; throws instead when the failure is to be an exception.
bool allocationAllowed() {
    if (allowance.load(std::memory_order_relaxed) < 0 ||
        allowance.fetch_sub(1, std::memory_order_relaxed) > 0) {
        return true;
    }
    allowance.store(0, std::memory_order_relaxed);
    switch (failureKind.load(std::memory_order_relaxed)) {
        case AllocationFailure::badAlloc:
            throw std::bad_alloc();
        case AllocationFailure::systemError:
            throw std::system_error(std::make_error_code(std::errc::resource_deadlock_would_occur));
        default:
            return false;
    }
}

}  // namespace

void* allocateBytes(size_t count) {
    if (!allocationAllowed()) return nullptr;
    return std::malloc(count == 0 ? 1 : count);
}

void freeBytes(void* block) {
    std::free(block);
}

BSTR allocateBstr(const OLECHAR* text, UINT length) {
    if (!allocationAllowed()) return nullptr;
    return SysAllocStringLen(text, length);
}

void failAllocationsAfter(long successes, AllocationFailure kind) {
    failureKind.store(kind, std::memory_order_relaxed);
    allowance.store(successes < 0 ? -1 : successes, std::memory_order_relaxed);
}

}  // namespace brimvox::retrieve
