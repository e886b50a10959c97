// What the two stream classes share: reference counting (ComObject), and the IStream methods
// neither supports (they answer E_NOTIMPL). Each stream answers QueryInterface itself.
// A stream holds a lock on the module for its life: one handed out to a caller (DataToTheEnd)
// may outlive every object, and its methods must stay loaded until its last Release.
#pragma once

#include "com_types.h"
#include "module_lock.h"
#include "ref_counted.h"

namespace brimvox::retrieve {

class StreamBase : public ComObject<IStream> {
  public:
    StreamBase() { moduleLock(); }
    ~StreamBase() override { moduleUnlock(); }

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

}  // namespace brimvox::retrieve
