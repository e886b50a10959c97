#include "module_lock.h"

#include <atomic>

namespace brimvox::retrieve {

namespace {

std::atomic<LONG> objectLocks{0};
std::atomic<LONG> serverLocks{0};

// Lowers `count` by one unless it is already zero; false when it was.
bool decrementAboveZero(std::atomic<LONG>& count) {
    LONG current = count.load();
    while (current > 0) {
        if (count.compare_exchange_weak(current, current - 1)) return true;
    }
    return false;
}

}  // namespace

void moduleLock() {
    ++objectLocks;
}

void moduleUnlock() {
    decrementAboveZero(objectLocks);
}

LONG moduleLockCount() {
    return objectLocks.load() + serverLocks.load();
}

HRESULT lockServer(BOOL lock) {
    if (lock) {
        ++serverLocks;
        return S_OK;
    }
    return decrementAboveZero(serverLocks) ? S_OK : E_UNEXPECTED;
}

}  // namespace brimvox::retrieve
