#include "upload_retrieve.h"

#include <cstring>
#include <new>

#include "ansi_text.h"
#include "copy_stream.h"
#include "file_stream.h"
#include "line_reader.h"
#include "module_lock.h"
#include "write_log.h"

const char kDumpPath[] = "c:\\retrieve.dat";

namespace {

constexpr int kHeadLines = 5;

HRESULT rewind(IStream* stream) {
    LARGE_INTEGER start = largeInteger(0);
    return stream->Seek(start, STREAM_SEEK_SET, nullptr);
}

// Bytes of data the array holds: elements over all dimensions times the element size.
ULONGLONG arrayBytes(const SAFEARRAY* array) {
    if (array->cDims == 0) return 0;
    ULONGLONG total = array->cbElements;
    const SAFEARRAYBOUND* bounds = array->rgsabound;
    for (USHORT i = 0; i < array->cDims; ++i) {
        ULONGLONG elements = bounds[i].cElements;
        if (elements == 0) return 0;
        // Saturate: the count taken is at most 2^31 - 1 anyway.
        if (total > (ULONGLONG{1} << 40) / elements) return ULONGLONG{1} << 40;
        total *= elements;
    }
    return total;
}

// Follows VT_BYREF | VT_VARIANT, which scripting hosts pass for variables.
const VARIANT* resolveVariant(const VARIANT* v) {
    for (int depth = 0; depth < 8 && v->vt == (VT_BYREF | VT_VARIANT); ++depth) {
        if (v->pvarVal == nullptr) break;
        v = v->pvarVal;
    }
    return v;
}

}  // namespace

UploadRetrieve::UploadRetrieve() {
    moduleLock();
}

UploadRetrieve::~UploadRetrieve() {
    if (requestStream_ != nullptr) requestStream_->Release();
    actionText_.clear();
    moduleUnlock();
}

HRESULT STDMETHODCALLTYPE UploadRetrieve::QueryInterface(REFIID riid, void** object) {
    if (object == nullptr) return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IDispatch) ||
        IsEqualIID(riid, IID_IUploadRetrieve)) {
        *object = static_cast<IUploadRetrieve*>(this);
        AddRef();
        return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
}

ULONG STDMETHODCALLTYPE UploadRetrieve::AddRef() {
    return static_cast<ULONG>(InterlockedIncrement(&refCount_));
}

ULONG STDMETHODCALLTYPE UploadRetrieve::Release() {
    LONG left = InterlockedDecrement(&refCount_);
    if (left <= 0) {
        delete this;
        return 0;
    }
    return static_cast<ULONG>(left);
}

HRESULT STDMETHODCALLTYPE UploadRetrieve::GetTypeInfoCount(UINT* count) {
    if (count == nullptr) return E_POINTER;
    *count = 1;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE UploadRetrieve::ParseRequest(VARIANT vRequest, LONG cbTotalBytes) {
    if (requestStream_ != nullptr) requestStream_->Release();
    requestStream_ = new (std::nothrow) MemoryStream;
    if (requestStream_ == nullptr) return E_FAIL;

    const VARIANT* request = resolveVariant(&vRequest);
    HRESULT hr = S_OK;
    if ((request->vt & VT_ARRAY) != 0) {
        hr = storeArray(*request, cbTotalBytes);
    } else if (request->vt == VT_BSTR) {
        hr = storeString(request->bstrVal);
    } else if (request->vt == (VT_BYREF | VT_BSTR)) {
        hr = storeString(request->pbstrVal != nullptr ? *request->pbstrVal : nullptr);
    }
    // Any other type stores nothing.
    if (hr == S_FALSE) return S_OK;
    if (FAILED(hr)) return hr;
    return parseHead();
}

HRESULT UploadRetrieve::storeArray(const VARIANT& request, LONG cbTotalBytes) {
    SAFEARRAY* array = nullptr;
    if ((request.vt & VT_BYREF) != 0) {
        if (request.pparray != nullptr) array = *request.pparray;
    } else {
        array = request.parray;
    }
    if (array == nullptr) {
        WriteLog("NOT A SAFEARRAY: vt=0x%08X (0x%08X)!!!", static_cast<unsigned>(request.vt), 0u);
        return E_INVALIDARG;
    }
    if (cbTotalBytes < 0) return E_INVALIDARG;

    void* data = nullptr;
    HRESULT hr = SafeArrayAccessData(array, &data);
    if (FAILED(hr)) return hr;
    if (data == nullptr) {
        SafeArrayUnaccessData(array);
        return S_FALSE;  // an array without data: nothing stored, nothing parsed
    }

    // Never read past the array, whatever count the caller claims.
    ULONGLONG available = arrayBytes(array);
    ULONG count = static_cast<ULONG>(cbTotalBytes);
    if (available < count) count = static_cast<ULONG>(available);

    ULONG written = 0;
    hr = requestStream_->Write(data, count, &written);
    if (FAILED(hr)) {
        SafeArrayUnaccessData(array);
        return hr;
    }

    auto* dump = new (std::nothrow) FileStream(kDumpPath, 1, 3, 0);
    if (dump != nullptr && dump->isOpen()) {
        ULONG dumped = 0;
        HRESULT dumpResult = dump->Write(data, count, &dumped);
        if (dumpResult != S_OK) WriteLog("DUMP ERROR: 0x%08X", static_cast<unsigned>(dumpResult));
        written = dumped;
    } else {
        WriteLog("DUMP ERROR: 0x%08X", static_cast<unsigned>(E_FAIL));
    }
    delete dump;

    WriteLog("Written to storage: %d bytes", static_cast<int>(written));
    rewind(requestStream_);
    SafeArrayUnaccessData(array);
    return S_OK;
}

HRESULT UploadRetrieve::storeString(BSTR text) {
    if (text == nullptr) return S_OK;
    AnsiText ansi;
    HRESULT hr = ansi.assign(text, wideLength(text));
    if (FAILED(hr)) return hr;
    if (ansi.length() > 0xFFFFFFFFu) return E_OUTOFMEMORY;
    hr = requestStream_->Write(ansi.text(), static_cast<ULONG>(ansi.length()), nullptr);
    if (FAILED(hr)) return hr;
    return rewind(requestStream_);
}

HRESULT UploadRetrieve::parseHead() {
    LineReader reader(requestStream_);
    TextBuffer scratch;
    for (int i = 0; i < kHeadLines; ++i) {
        if (!reader.readLine(scratch)) return E_OUTOFMEMORY;
    }
    if (!reader.readLine(actionText_)) {
        actionText_.makeEmpty();
        return E_OUTOFMEMORY;
    }
    return S_OK;
}

HRESULT STDMETHODCALLTYPE UploadRetrieve::Reset() {
    if (requestStream_ == nullptr) return E_FAIL;
    return rewind(requestStream_);
}

HRESULT STDMETHODCALLTYPE UploadRetrieve::CompleteWork() {
    if (requestStream_ != nullptr) requestStream_->Release();
    requestStream_ = nullptr;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE UploadRetrieve::get_Action(BSTR* bstrAction) {
    if (bstrAction == nullptr) return E_POINTER;
    return ansiToBstr(actionText_.text(), actionText_.length(), bstrAction);
}

HRESULT STDMETHODCALLTYPE UploadRetrieve::get_NextMessageLine(BSTR* bstrLine) {
    if (bstrLine == nullptr) return E_POINTER;
    *bstrLine = nullptr;
    if (requestStream_ == nullptr) return E_FAIL;
    LineReader reader(requestStream_);
    TextBuffer line;
    if (!reader.readLine(line)) return E_OUTOFMEMORY;
    eosFlag_ = reader.atEnd() ? 1 : 0;
    return ansiToBstr(line.text(), line.length(), bstrLine);
}

HRESULT STDMETHODCALLTYPE UploadRetrieve::get_EOS(VARIANT_BOOL* bEOS) {
    if (bEOS == nullptr) return E_POINTER;
    *bEOS = eosFlag_ != 0 ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
}

MemoryStream* UploadRetrieve::copyRest() {
    auto* copy = new (std::nothrow) MemoryStream;
    if (copy == nullptr) return nullptr;
    if (requestStream_ != nullptr && !CopyStream(copy, requestStream_)) {
        copy->Release();
        return nullptr;
    }
    rewind(copy);
    return copy;
}

HRESULT STDMETHODCALLTYPE UploadRetrieve::get_DataToTheEnd(VARIANT* pvResult) {
    if (pvResult == nullptr) return E_POINTER;
    MemoryStream* copy = copyRest();
    if (copy == nullptr) return E_OUTOFMEMORY;
    pvResult->vt = VT_UNKNOWN;
    pvResult->punkVal = static_cast<IStream*>(copy);
    return S_OK;
}

HRESULT STDMETHODCALLTYPE UploadRetrieve::get_StringToTheEnd(BSTR* pString) {
    if (pString == nullptr) return E_POINTER;
    *pString = nullptr;
    MemoryStream* copy = copyRest();
    if (copy == nullptr) return E_OUTOFMEMORY;
    auto length = static_cast<size_t>(copy->size());
    const char* text = reinterpret_cast<const char*>(copy->data());
    if (length > 0) {
        const void* nul = std::memchr(text, 0, length);
        if (nul != nullptr) length = static_cast<size_t>(static_cast<const char*>(nul) - text);
    }
    HRESULT hr = ansiToBstr(length > 0 ? text : "", length, pString);
    copy->Release();
    return hr;
}

HRESULT STDMETHODCALLTYPE UploadRetrieve::Log(BSTR bstrLog) {
    AnsiText text;
    HRESULT hr = text.assign(bstrLog, wideLength(bstrLog));
    if (FAILED(hr)) return hr;
    WriteLog("%s", text.text());
    return S_OK;
}
