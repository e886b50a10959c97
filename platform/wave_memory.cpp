#include "wave_memory.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <cstdlib>
#endif

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

namespace brimvox {

#ifdef _WIN32

void* allocateWaveMemory(size_t bytes) {
    HGLOBAL memory = GlobalAlloc(GMEM_MOVEABLE | GMEM_SHARE | GMEM_ZEROINIT, bytes);
    if (!memory) return nullptr;
    void* block = GlobalLock(memory);
    if (!block) GlobalFree(memory);
    return block;
}

void freeWaveMemory(void* block) {
    if (!block) return;
    HGLOBAL memory = GlobalHandle(block);
    if (!memory) return;
    GlobalUnlock(memory);
    GlobalFree(memory);
}

#else

void* allocateWaveMemory(size_t bytes) {
    return std::calloc(1, bytes);
}

void freeWaveMemory(void* block) {
    std::free(block);
}

#endif

void leaveToDevice(const void* block) {
#if defined(__SANITIZE_ADDRESS__)
    if (block) __lsan_ignore_object(block);
#else
    (void)block;
#endif
}

}  // namespace brimvox
