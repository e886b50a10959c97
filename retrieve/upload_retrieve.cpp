#include "upload_retrieve.h"

#include <cstring>
#include <new>

#include "allocation.h"
#include "ansi_text.h"
#include "com_guard.h"
#include "file_stream.h"
#include "line_reader.h"
#include "module_lock.h"
#include "write_log.h"

namespace brimvox::retrieve {

const char kDumpPath[] = "c:\\retrieve.dat";

namespace {

// Lines of the message head before the ACTION line.
constexpr int kHeadLines = 5;
// Array sizes are saturated here; the count taken from an array is below 2^31 anyway.
constexpr ULONGLONG kArrayBytesCap = ULONGLONG{1} << 40;
// VT_BYREF | VT_VARIANT chains are followed this deep at most.
constexpr int kMaxVariantIndirections = 8;

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
        if (total > kArrayBytesCap / elements) return kArrayBytesCap;
        total *= elements;
    }
    return total;
}

// True when the array's elements are (or hold) pointers: strings, VARIANTs, interfaces, records.
// Their bytes are addresses in this process, meaningless as a body and unsafe in a dump file.
bool holdsPointers(VARTYPE vt, const SAFEARRAY* array) {
    constexpr USHORT kPointerFeatures =
        FADF_BSTR | FADF_UNKNOWN | FADF_DISPATCH | FADF_VARIANT | FADF_RECORD | FADF_HAVEIID;
    if ((array->fFeatures & kPointerFeatures) != 0) return true;
    switch (vt & VT_TYPEMASK) {
        case VT_BSTR:
        case VT_DISPATCH:
        case VT_VARIANT:
        case VT_UNKNOWN:
        case VT_RECORD:
        case VT_PTR:
        case VT_SAFEARRAY:
        case VT_CARRAY:
        case VT_USERDEFINED:
        case VT_LPSTR:
        case VT_LPWSTR:
            return true;
        default:
            return false;
    }
}

// Holds access to an array's data and gives it back on every way out.
class ArrayAccess {
  public:
    explicit ArrayAccess(SAFEARRAY* array) : held(array) {}
    ArrayAccess(const ArrayAccess&) = delete;
    ArrayAccess& operator=(const ArrayAccess&) = delete;
    ~ArrayAccess() {
        if (accessed) SafeArrayUnaccessData(held);
    }
    HRESULT access(void** data) {
        HRESULT hr = SafeArrayAccessData(held, data);
        accessed = SUCCEEDED(hr);
        return hr;
    }

  private:
    SAFEARRAY* held;
    bool accessed = false;
};

// Follows VT_BYREF | VT_VARIANT, which scripting hosts pass for variables.
const VARIANT* resolveVariant(const VARIANT* v) {
    for (int depth = 0; depth < kMaxVariantIndirections && v->vt == (VT_BYREF | VT_VARIANT);
         ++depth) {
        if (v->pvarVal == nullptr) break;
        v = v->pvarVal;
    }
    return v;
}

}  // namespace

UploadRetrieve::UploadRetrieve() : ComObject(0) {
    moduleLock();
}

UploadRetrieve::~UploadRetrieve() {
    if (requestStream != nullptr) requestStream->Release();
    actionText.clear();
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

HRESULT STDMETHODCALLTYPE UploadRetrieve::GetTypeInfoCount(UINT* count) {
    if (count == nullptr) return E_POINTER;
    *count = 1;
    return S_OK;
}

// ---- COM boundary: every method runs its body through comGuard --------------------------------

HRESULT STDMETHODCALLTYPE UploadRetrieve::ParseRequest(VARIANT vRequest, LONG cbTotalBytes) {
    return comGuard([&] { return parseRequest(vRequest, cbTotalBytes); });
}

HRESULT STDMETHODCALLTYPE UploadRetrieve::Reset() {
    return comGuard([&] { return requestStream != nullptr ? rewind(requestStream) : E_FAIL; });
}

HRESULT STDMETHODCALLTYPE UploadRetrieve::CompleteWork() {
    return comGuard([&] {
        if (requestStream != nullptr) requestStream->Release();
        requestStream = nullptr;
        return S_OK;
    });
}

HRESULT STDMETHODCALLTYPE UploadRetrieve::get_Action(BSTR* bstrAction) {
    if (bstrAction == nullptr) return E_POINTER;
    *bstrAction = nullptr;
    return comGuard([&] { return ansiToBstr(actionText.text(), actionText.length(), bstrAction); });
}

HRESULT STDMETHODCALLTYPE UploadRetrieve::get_NextMessageLine(BSTR* bstrLine) {
    if (bstrLine == nullptr) return E_POINTER;
    *bstrLine = nullptr;
    return comGuard([&] { return nextMessageLine(bstrLine); });
}

HRESULT STDMETHODCALLTYPE UploadRetrieve::get_EOS(VARIANT_BOOL* bEOS) {
    if (bEOS == nullptr) return E_POINTER;
    *bEOS = eosFlag != 0 ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE UploadRetrieve::get_DataToTheEnd(VARIANT* pvResult) {
    if (pvResult == nullptr) return E_POINTER;
    return comGuard([&] { return dataToTheEnd(pvResult); });
}

HRESULT STDMETHODCALLTYPE UploadRetrieve::get_StringToTheEnd(BSTR* pString) {
    if (pString == nullptr) return E_POINTER;
    *pString = nullptr;
    return comGuard([&] { return stringToTheEnd(pString); });
}

HRESULT STDMETHODCALLTYPE UploadRetrieve::Log(BSTR bstrLog) {
    return comGuard([&] {
        AnsiText text;
        HRESULT hr = text.assign(bstrLog, wideLength(bstrLog));
        if (FAILED(hr)) return hr;
        writeLog("%s", text.text());
        return S_OK;
    });
}

// ---- Bodies ------------------------------------------------------------------------------------

HRESULT UploadRetrieve::parseRequest(const VARIANT& vRequest, LONG cbTotalBytes) {
    if (requestStream != nullptr) requestStream->Release();
    requestStream = new (std::nothrow) MemoryStream;
    if (requestStream == nullptr) return E_FAIL;

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
        writeLog("NOT A SAFEARRAY: vt=0x%08X (0x%08X)!!!", static_cast<unsigned>(request.vt), 0u);
        return E_INVALIDARG;
    }
    if (holdsPointers(request.vt, array)) {
        writeLog("ARRAY OF POINTERS: vt=0x%08X (0x%08X)!!!", static_cast<unsigned>(request.vt),
                 static_cast<unsigned>(array->fFeatures));
        return E_INVALIDARG;
    }
    if (cbTotalBytes < 0) return E_INVALIDARG;

    ArrayAccess access(array);
    void* data = nullptr;
    HRESULT hr = access.access(&data);
    if (FAILED(hr)) return hr;
    if (data == nullptr) return S_FALSE;  // an array without data: nothing stored, nothing parsed

    // Never read past the array, whatever count the caller claims.
    ULONGLONG available = arrayBytes(array);
    ULONG count = static_cast<ULONG>(cbTotalBytes);
    if (available < count) count = static_cast<ULONG>(available);

    ULONG written = 0;
    hr = requestStream->Write(data, count, &written);
    if (FAILED(hr)) return hr;

    {
        FileStream dump(kDumpPath, FileStream::kAccessWrite, FileStream::kCreateAlways,
                        FileStream::kShareNone);
        if (dump.isOpen()) {
            ULONG dumped = 0;
            HRESULT dumpResult = dump.Write(data, count, &dumped);
            if (dumpResult != S_OK) {
                DWORD error = GetLastError();
                writeLog("DUMP ERROR: 0x%08X", static_cast<unsigned>(dumpResult));
                reportProblem("dump file %s not written: 0x%08X (system error %u)", kDumpPath,
                              static_cast<unsigned>(dumpResult), static_cast<unsigned>(error));
            }
            written = dumped;
        } else {
            DWORD error = GetLastError();
            writeLog("DUMP ERROR: 0x%08X", static_cast<unsigned>(E_FAIL));
            reportProblem("dump file %s cannot be created: 0x%08X (system error %u)", kDumpPath,
                          static_cast<unsigned>(E_FAIL), static_cast<unsigned>(error));
        }
    }

    writeLog("Written to storage: %d bytes", static_cast<int>(written));
    rewind(requestStream);
    return S_OK;
}

HRESULT UploadRetrieve::storeString(BSTR text) {
    if (text == nullptr) return S_OK;
    AnsiText ansi;
    HRESULT hr = ansi.assign(text, wideLength(text));
    if (FAILED(hr)) return hr;
    if (ansi.length() > 0xFFFFFFFFu) return E_OUTOFMEMORY;
    hr = requestStream->Write(ansi.text(), static_cast<ULONG>(ansi.length()), nullptr);
    if (FAILED(hr)) return hr;
    return rewind(requestStream);
}

HRESULT UploadRetrieve::parseHead() {
    LineReader reader(requestStream);
    for (int i = 0; i < kHeadLines; ++i) reader.skipLine();
    if (!reader.readLine(actionText)) {
        actionText.makeEmpty();
        return E_OUTOFMEMORY;
    }
    return S_OK;
}

HRESULT UploadRetrieve::nextMessageLine(BSTR* bstrLine) {
    if (requestStream == nullptr) return E_FAIL;
    // The line is converted straight from the stored body; only a line holding NUL bytes (which
    // are left out) goes through a buffer. The cursor moves once the line has been handed out.
    LineSpan span = findLine(*requestStream);
    const BYTE* data = requestStream->data();
    auto length = static_cast<size_t>(span.textEnd - span.begin);
    const char* text = length > 0 ? reinterpret_cast<const char*>(data + span.begin) : "";
    HRESULT hr;
    if (length == 0 || std::memchr(text, 0, length) == nullptr) {
        hr = ansiToBstr(text, length, bstrLine);
    } else {
        TextBuffer line;
        if (!appendWithoutNuls(line, data, span.begin, span.textEnd)) return E_OUTOFMEMORY;
        hr = ansiToBstr(line.text(), line.length(), bstrLine);
    }
    if (FAILED(hr)) return hr;
    requestStream->setPosition(span.next);
    eosFlag = span.atEnd ? 1 : 0;
    return S_OK;
}

HRESULT UploadRetrieve::dataToTheEnd(VARIANT* pvResult) {
    // One allocation and one copy of the rest; the body is consumed only once the copy exists.
    auto* copy = new (std::nothrow) MemoryStream;
    if (copy == nullptr) return E_OUTOFMEMORY;
    if (requestStream != nullptr) {
        ULONGLONG position = requestStream->position();
        ULONGLONG size = requestStream->size();
        bool copied = true;
        try {
            if (size > position) {
                copied = copy->assign(requestStream->data() + position, size - position);
            }
        } catch (...) {
            copy->Release();
            throw;
        }
        if (!copied) {
            copy->Release();
            return E_OUTOFMEMORY;
        }
        requestStream->setPosition(size);
    }
    pvResult->vt = VT_UNKNOWN;
    pvResult->punkVal = static_cast<IStream*>(copy);
    return S_OK;
}

HRESULT UploadRetrieve::stringToTheEnd(BSTR* pString) {
    if (requestStream == nullptr) return ansiToBstr("", 0, pString);
    // Converted straight from the body, up to its first NUL byte; consumed once converted.
    ULONGLONG position = requestStream->position();
    ULONGLONG size = requestStream->size();
    auto length = static_cast<size_t>(size - position);
    const char* text =
        length > 0 ? reinterpret_cast<const char*>(requestStream->data() + position) : "";
    if (length > 0) {
        const void* nul = std::memchr(text, 0, length);
        if (nul != nullptr) length = static_cast<size_t>(static_cast<const char*>(nul) - text);
    }
    HRESULT hr = ansiToBstr(text, length, pString);
    if (FAILED(hr)) return hr;
    requestStream->setPosition(size);
    return S_OK;
}

}  // namespace brimvox::retrieve
