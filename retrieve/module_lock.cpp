#include "module_lock.h"

#include <atomic>

namespace {
std::atomic<LONG> lockCount{0};
}

void moduleLock() {
    ++lockCount;
}
void moduleUnlock() {
    --lockCount;
}
LONG moduleLockCount() {
    return lockCount.load();
}
