// Memory for wave headers and sample buffers. On Windows these are movable, shared global
// memory blocks, locked for as long as they are in use, as the waveform API has always been
// given them; elsewhere they come from the heap.
#pragma once

#include <cstddef>

namespace brimvox {

// A zero-filled block of `bytes` bytes, or null when it cannot be allocated.
void* allocateWaveMemory(size_t bytes);
// Frees a block from allocateWaveMemory; null is ignored.
void freeWaveMemory(void* block);
// Marks a block (from allocateWaveMemory or new) as left to a device on purpose: it is never
// freed, and a leak checker is told so. Null is ignored.
void leaveToDevice(const void* block);

}  // namespace brimvox
