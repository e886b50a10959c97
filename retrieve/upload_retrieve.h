// UploadRetrieve: one object per uploaded request. It keeps the body in a MemoryStream, reads
// the six-line message head and hands out the ACTION line, the following lines and the rest.
#pragma once

#include "com_types.h"
#include "iupload_retrieve.h"
#include "memory_stream.h"
#include "ref_counted.h"
#include "text_buffer.h"

namespace brimvox::retrieve {

extern const char kDumpPath[];

// Created with no reference: the class factory (or a test) takes the first one.
class UploadRetrieve : public ComObject<IUploadRetrieve> {
  public:
    // Every living object holds one lock on the module.
    UploadRetrieve();
    ~UploadRetrieve() override;

    // IUnknown (AddRef and Release come from ComObject)
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override;

    // IDispatch, from the registered type information of IUploadRetrieve
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override;
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT index, LCID lcid, ITypeInfo** info) override;
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID lcid,
                                            DISPID* ids) override;
    HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID riid, LCID lcid, WORD flags,
                                     DISPPARAMS* params, VARIANT* result, EXCEPINFO* exception,
                                     UINT* argError) override;

    // IUploadRetrieve
    HRESULT STDMETHODCALLTYPE ParseRequest(VARIANT vRequest, LONG cbTotalBytes) override;
    HRESULT STDMETHODCALLTYPE Reset() override;
    HRESULT STDMETHODCALLTYPE CompleteWork() override;
    HRESULT STDMETHODCALLTYPE get_Action(BSTR* bstrAction) override;
    HRESULT STDMETHODCALLTYPE get_NextMessageLine(BSTR* bstrLine) override;
    HRESULT STDMETHODCALLTYPE get_EOS(VARIANT_BOOL* bEOS) override;
    HRESULT STDMETHODCALLTYPE get_DataToTheEnd(VARIANT* pvResult) override;
    HRESULT STDMETHODCALLTYPE get_StringToTheEnd(BSTR* pString) override;
    HRESULT STDMETHODCALLTYPE Log(BSTR bstrLog) override;

  private:
    // The bodies of the methods; they may throw, the methods above may not. A reader that fails
    // leaves the cursor where it was.
    HRESULT parseRequest(const VARIANT& vRequest, LONG cbTotalBytes);
    HRESULT storeArray(const VARIANT& request, LONG cbTotalBytes);
    HRESULT storeString(BSTR text);
    HRESULT parseHead();
    HRESULT nextMessageLine(BSTR* bstrLine);
    HRESULT dataToTheEnd(VARIANT* pvResult);
    HRESULT stringToTheEnd(BSTR* pString);

    MemoryStream* requestStream = nullptr;
    LONG eosFlag = 0;
    TextBuffer actionText;
};

}  // namespace brimvox::retrieve
