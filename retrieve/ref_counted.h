// Reference counting for every COM object of the component. RefCounted holds the count, changed
// only with interlocked operations; ComObject<Interface> answers IUnknown's AddRef and Release
// from it, so the streams, the UploadRetrieve object and its class factory count alike.
#pragma once

#include "com_types.h"

namespace brimvox::retrieve {

class RefCounted {
  public:
    // Internal streams start with one reference, held by their creator.
    explicit RefCounted(LONG initialCount = 1) : refCount(initialCount) {}
    RefCounted(const RefCounted&) = delete;
    RefCounted& operator=(const RefCounted&) = delete;
    virtual ~RefCounted() = default;

    virtual ULONG addRef() { return static_cast<ULONG>(InterlockedIncrement(&refCount)); }

    // Drops one reference; at zero the object is deleted when deleteAtZero is set. Returns the
    // remaining count (0 at zero).
    virtual ULONG release(bool deleteAtZero) {
        LONG left = InterlockedDecrement(&refCount);
        if (left <= 0) {
            if (deleteAtZero) destroy();
            return 0;
        }
        return static_cast<ULONG>(left);
    }

  protected:
    // Deletes the object through a pointer to its start: ComObject's, whose first base is the
    // interface. (RefCounted is the second base, at an offset within the object.)
    virtual void destroy() = 0;

  private:
    LONG volatile refCount;
};

// A COM class whose first base is `Interface`; the object is deleted by its last Release.
template <class Interface>
class ComObject : public Interface, public RefCounted {
  public:
    explicit ComObject(LONG initialCount = 1) : RefCounted(initialCount) {}

    ULONG STDMETHODCALLTYPE AddRef() override { return addRef(); }
    ULONG STDMETHODCALLTYPE Release() override { return release(true); }

  protected:
    void destroy() override { delete this; }
};

}  // namespace brimvox::retrieve
