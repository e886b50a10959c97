// Reference-counting base shared by the stream classes. The count starts at one, held by the
// creator, and changes only with interlocked operations.
#pragma once

#include "com_types.h"

class RefCounted {
  public:
    RefCounted() = default;
    RefCounted(const RefCounted&) = delete;
    RefCounted& operator=(const RefCounted&) = delete;
    virtual ~RefCounted() = default;

    virtual ULONG addRef() { return static_cast<ULONG>(InterlockedIncrement(&refCount)); }

    // Drops one reference; at zero the object is deleted when deleteAtZero is set. Returns the
    // remaining count (0 at zero).
    virtual ULONG release(bool deleteAtZero) {
        LONG left = InterlockedDecrement(&refCount);
        if (left <= 0) {
            if (deleteAtZero) delete this;
            return 0;
        }
        return static_cast<ULONG>(left);
    }

  protected:
    LONG volatile refCount = 1;
};
