// Byte storage allocation for the streams and text buffers. Failure is reported as a null
// pointer, never as an exception; tests can make allocations fail on purpose.
#pragma once

#include <cstddef>

void* allocateBytes(size_t count);
void freeBytes(void* block);

// Makes the allocation after `successes` more successful ones fail, and every one after it;
// a negative value switches failure injection off.
void failAllocationsAfter(long successes);
