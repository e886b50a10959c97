// What the two stream classes share: IUnknown reference counting on RefCounted, and the IStream
// methods neither supports (they answer E_NOTIMPL). Each stream answers QueryInterface itself.
// A stream holds a lock on the module for its life: one handed out to a caller (DataToTheEnd)
// may outlive every object, and its methods must stay loaded until its last Release.
#pragma once

#include "com_types.h"
#include "module_lock.h"
#include "ref_counted.h"

class StreamBase : public IStream, public RefCounted {
  public:
    StreamBase() { moduleLock(); }
    ~StreamBase() override { moduleUnlock(); }

    ULONG STDMETHODCALLTYPE AddRef() override {
        return static_cast<ULONG>(InterlockedIncrement(&refCount));
    }
    ULONG STDMETHODCALLTYPE Release() override { return release(true); }
    ULONG addRef() override { return AddRef(); }
    // As RefCounted's, deleting through this class, whose address is the object's own.
    ULONG release(bool deleteAtZero) override {
        LONG left = InterlockedDecrement(&refCount);
        if (left <= 0) {
            if (deleteAtZero) delete this;
            return 0;
        }
        return static_cast<ULONG>(left);
    }

    HRESULT STDMETHODCALLTYPE CopyTo(IStream*, ULARGE_INTEGER, ULARGE_INTEGER*,
                                     ULARGE_INTEGER*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE Commit(DWORD) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Revert() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE Stat(STATSTG*, DWORD) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Clone(IStream**) override { return E_NOTIMPL; }
};
