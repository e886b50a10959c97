// UploadRetrieve: one object per uploaded request. It keeps the body in a MemoryStream, reads
// the six-line message head and hands out the ACTION line, the following lines and the rest.
#pragma once

#include "com_types.h"
#include "iupload_retrieve.h"
#include "memory_stream.h"
#include "text_buffer.h"

extern const char kDumpPath[];

class UploadRetrieve : public IUploadRetrieve {
  public:
    // Every living object holds one lock on the module.
    UploadRetrieve();
    UploadRetrieve(const UploadRetrieve&) = delete;
    UploadRetrieve& operator=(const UploadRetrieve&) = delete;
    virtual ~UploadRetrieve();

    // IUnknown
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;

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

    LONG volatile refCount_ = 0;
    MemoryStream* requestStream_ = nullptr;
    LONG eosFlag_ = 0;
    TextBuffer actionText_;
};
