// IDispatch of UploadRetrieve, driven by the registered type information of IUploadRetrieve.
#include "com_guard.h"
#include "type_info_cache.h"
#include "upload_retrieve.h"

namespace brimvox::retrieve {

namespace {

ITypeInfo* cachedTypeInfo = nullptr;
INIT_ONCE lockOnce = INIT_ONCE_STATIC_INIT;
CRITICAL_SECTION cacheLock;

BOOL CALLBACK initLock(PINIT_ONCE, PVOID, PVOID*) {
    InitializeCriticalSection(&cacheLock);
    return TRUE;
}

// The number of arguments a call of member `id` with `flags` takes (its [out, retval] parameter
// is not passed); -1 when no member matches.
int argumentsTaken(ITypeInfo* info, DISPID id, WORD flags) {
    TYPEATTR* attr = nullptr;
    if (FAILED(info->GetTypeAttr(&attr))) return -1;
    WORD functions = attr->cFuncs;
    info->ReleaseTypeAttr(attr);
    int taken = -1;
    for (UINT i = 0; i < functions && taken < 0; ++i) {
        FUNCDESC* function = nullptr;
        if (FAILED(info->GetFuncDesc(i, &function))) continue;
        if (function->memid == id && (static_cast<WORD>(function->invkind) & flags) != 0 &&
            function->cParamsOpt == 0) {
            taken = 0;
            for (SHORT p = 0; p < function->cParams; ++p) {
                if ((function->lprgelemdescParam[p].paramdesc.wParamFlags & PARAMFLAG_FRETVAL) ==
                    0) {
                    ++taken;
                }
            }
        }
        info->ReleaseFuncDesc(function);
    }
    return taken;
}

}  // namespace

HRESULT getUploadRetrieveTypeInfo(LCID lcid, ITypeInfo** info) {
    if (info == nullptr) return E_POINTER;
    *info = nullptr;
    InitOnceExecuteOnce(&lockOnce, initLock, nullptr, nullptr);
    EnterCriticalSection(&cacheLock);
    HRESULT hr = S_OK;
    if (cachedTypeInfo == nullptr) {
        ITypeLib* library = nullptr;
        hr =
            LoadRegTypeLib(LIBID_RETRIEVELib, kTypeLibraryMajor, kTypeLibraryMinor, lcid, &library);
        // The library is registered for one locale; callers of another locale get it too.
        if (FAILED(hr)) {
            hr = LoadRegTypeLib(LIBID_RETRIEVELib, kTypeLibraryMajor, kTypeLibraryMinor,
                                kTypeLibraryLocale, &library);
        }
        if (SUCCEEDED(hr)) {
            hr = library->GetTypeInfoOfGuid(IID_IUploadRetrieve, &cachedTypeInfo);
            library->Release();
        }
    }
    if (SUCCEEDED(hr)) {
        cachedTypeInfo->AddRef();
        *info = cachedTypeInfo;
    }
    LeaveCriticalSection(&cacheLock);
    return hr;
}

void releaseUploadRetrieveTypeInfo() {
    if (cachedTypeInfo != nullptr) {
        cachedTypeInfo->Release();
        cachedTypeInfo = nullptr;
    }
}

HRESULT STDMETHODCALLTYPE UploadRetrieve::GetTypeInfo(UINT index, LCID lcid, ITypeInfo** info) {
    if (info == nullptr) return E_POINTER;
    *info = nullptr;
    if (index != 0) return DISP_E_BADINDEX;
    return comGuard([&] { return getUploadRetrieveTypeInfo(lcid, info); });
}

HRESULT STDMETHODCALLTYPE UploadRetrieve::GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count,
                                                        LCID lcid, DISPID* ids) {
    if (!IsEqualIID(riid, IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
    return comGuard([&] {
        ITypeInfo* info = nullptr;
        HRESULT hr = getUploadRetrieveTypeInfo(lcid, &info);
        if (FAILED(hr)) return hr;
        hr = DispGetIDsOfNames(info, names, count, ids);
        info->Release();
        return hr;
    });
}

HRESULT STDMETHODCALLTYPE UploadRetrieve::Invoke(DISPID id, REFIID riid, LCID lcid, WORD flags,
                                                 DISPPARAMS* params, VARIANT* result,
                                                 EXCEPINFO* exception, UINT* argError) {
    if (!IsEqualIID(riid, IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
    return comGuard([&] {
        ITypeInfo* info = nullptr;
        HRESULT hr = getUploadRetrieveTypeInfo(lcid, &info);
        if (FAILED(hr)) return hr;
        // More arguments than the member takes are refused, as the system's DispInvoke does on
        // Windows; some implementations of it pass the extra ones over silently.
        int taken = params != nullptr ? argumentsTaken(info, id, flags) : -1;
        if (taken >= 0 && params->cArgs > static_cast<UINT>(taken)) {
            info->Release();
            return DISP_E_BADPARAMCOUNT;
        }
        hr = DispInvoke(static_cast<IUploadRetrieve*>(this), info, id, flags, params, result,
                        exception, argError);
        info->Release();
        return hr;
    });
}

}  // namespace brimvox::retrieve
