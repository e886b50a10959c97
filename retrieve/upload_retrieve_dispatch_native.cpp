// Native builds have no type library: late binding is not available there.
#include "upload_retrieve.h"

namespace brimvox::retrieve {

HRESULT STDMETHODCALLTYPE UploadRetrieve::GetTypeInfo(UINT, LCID, ITypeInfo** info) {
    if (info == nullptr) return E_POINTER;
    *info = nullptr;
    return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE UploadRetrieve::GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) {
    return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE UploadRetrieve::Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*,
                                                 EXCEPINFO*, UINT*) {
    return E_NOTIMPL;
}

}  // namespace brimvox::retrieve
