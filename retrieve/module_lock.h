// The module's lock count: living objects and LockServer(TRUE) calls keep the module loaded.
#pragma once

#include "com_types.h"

void moduleLock();
void moduleUnlock();
LONG moduleLockCount();
