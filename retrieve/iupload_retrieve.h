// The IUploadRetrieve interface and the component's identifiers. On Windows they come from the
// header that widl generates from Retrieve.idl; natively the same declarations stand here.
#pragma once

#include "com_types.h"

#ifdef _WIN32
#include "Retrieve_h.h"
#else
struct IUploadRetrieve : IDispatch {
    virtual HRESULT STDMETHODCALLTYPE ParseRequest(VARIANT vRequest, LONG cbTotalBytes) = 0;
    virtual HRESULT STDMETHODCALLTYPE Reset() = 0;
    virtual HRESULT STDMETHODCALLTYPE CompleteWork() = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Action(BSTR* bstrAction) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_NextMessageLine(BSTR* bstrLine) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_EOS(VARIANT_BOOL* bEOS) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_DataToTheEnd(VARIANT* pvResult) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_StringToTheEnd(BSTR* pString) = 0;
    virtual HRESULT STDMETHODCALLTYPE Log(BSTR bstrLog) = 0;
};

extern const IID IID_IUploadRetrieve;
extern const CLSID CLSID_UploadRetrieve;
extern const IID LIBID_RETRIEVELib;
#endif
