// Byte storage allocation for the streams, text buffers and handed-out strings. Failure is
// reported as a null pointer, never as an exception; tests can make allocations fail on purpose.
#pragma once

#include <cstddef>

#include "com_types.h"

namespace brimvox::retrieve {

void* allocateBytes(size_t count);
void freeBytes(void* block);

// A new BSTR of `length` characters (copied from `text` unless it is null); null when memory
// runs out.
BSTR allocateBstr(const OLECHAR* text, UINT length);

// How an injected failure shows itself: a null result, or an exception of the kind the standard
// library throws (std::bad_alloc from an allocation, std::system_error from a mutex), so that
// tests can check that no exception leaves a COM method.
enum class AllocationFailure { nullResult, badAlloc, systemError };

// Makes the allocation after `successes` more successful ones fail, and every one after it;
// a negative value switches failure injection off.
void failAllocationsAfter(long successes, AllocationFailure kind = AllocationFailure::nullResult);

}  // namespace brimvox::retrieve
