// Copies everything from the source's current position to its end into the destination.
#pragma once

#include "com_types.h"

namespace brimvox::retrieve {

// False when either pointer is null or the destination refused bytes; true otherwise.
bool CopyStream(IStream* destination, IStream* source);

}  // namespace brimvox::retrieve
