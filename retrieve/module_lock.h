// The module's lock count: living objects, living streams and LockServer(TRUE) calls keep the
// module loaded. The count never goes below zero.
#pragma once

#include "com_types.h"

namespace brimvox::retrieve {

// Taken by every object and stream for its life.
void moduleLock();
void moduleUnlock();
LONG moduleLockCount();

// IClassFactory::LockServer. An unlock without a matching lock changes nothing and answers
// E_UNEXPECTED, so that it cannot take away a lock that a living object holds.
HRESULT lockServer(BOOL lock);

}  // namespace brimvox::retrieve
