// The COM module: entry point, class factory and the four exports.
#include <objbase.h>
#include <olectl.h>
#include <windows.h>

#include <new>

#include "com_guard.h"
#include "iupload_retrieve.h"
#include "module_lock.h"
#include "ref_counted.h"
#include "registrar.h"
#include "type_info_cache.h"
#include "upload_retrieve.h"

namespace brimvox::retrieve {
namespace {

// Created with the one reference that the module holds until it unloads.
class UploadRetrieveFactory : public ComObject<IClassFactory> {
  public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
        if (object == nullptr) return E_POINTER;
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IClassFactory)) {
            *object = static_cast<IClassFactory*>(this);
            AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** object) override {
        if (object == nullptr) return E_POINTER;
        *object = nullptr;
        if (outer != nullptr) return CLASS_E_NOAGGREGATION;
        return comGuard([&] {
            auto* created = new (std::nothrow) UploadRetrieve;
            if (created == nullptr) return E_OUTOFMEMORY;
            // The temporary reference deletes the object again when the interface is refused.
            created->AddRef();
            HRESULT hr = created->QueryInterface(riid, object);
            created->Release();
            return hr;
        });
    }

    HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
        return comGuard([&] { return lockServer(lock); });
    }
};

HINSTANCE moduleInstance = nullptr;
CRITICAL_SECTION factoryLock;
UploadRetrieveFactory* factory = nullptr;

}  // namespace
}  // namespace brimvox::retrieve

using namespace brimvox::retrieve;

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    if (reason == DLL_PROCESS_ATTACH) {
        moduleInstance = instance;
        InitializeCriticalSection(&factoryLock);
        DisableThreadLibraryCalls(instance);
    } else if (reason == DLL_PROCESS_DETACH) {
        // At process exit (reserved set) other modules may already be gone: leave it to the OS.
        if (reserved == nullptr) {
            if (factory != nullptr) factory->Release();
            factory = nullptr;
            releaseUploadRetrieveTypeInfo();
        }
        DeleteCriticalSection(&factoryLock);
    }
    return TRUE;
}

// The exports are called from C code of the system: each runs its body through comGuard.

STDAPI DllGetClassObject(REFCLSID clsid, REFIID riid, LPVOID* object) {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    if (!IsEqualCLSID(clsid, CLSID_UploadRetrieve)) return CLASS_E_CLASSNOTAVAILABLE;
    return comGuard([&] {
        EnterCriticalSection(&factoryLock);
        if (factory == nullptr) factory = new (std::nothrow) UploadRetrieveFactory;
        UploadRetrieveFactory* current = factory;
        LeaveCriticalSection(&factoryLock);
        if (current == nullptr) return E_OUTOFMEMORY;
        return current->QueryInterface(riid, object);
    });
}

STDAPI DllCanUnloadNow() {
    return moduleLockCount() == 0 ? S_OK : S_FALSE;
}

STDAPI DllRegisterServer() {
    return comGuard([] {
        HRESULT hr = registerScript(moduleInstance);
        if (FAILED(hr)) return hr;
        return registerTypeLibrary(moduleInstance);
    });
}

STDAPI DllUnregisterServer() {
    return comGuard([] {
        unregisterScript(moduleInstance);
        unregisterTypeLibrary();
        return S_OK;
    });
}
