#include "ansi_text.h"

#include <climits>

#include "allocation.h"

namespace brimvox::retrieve {

namespace {

HRESULT lastErrorResult() {
    DWORD error = GetLastError();
    return error != 0 ? HRESULT_FROM_WIN32(error) : E_FAIL;
}

}  // namespace

AnsiText::~AnsiText() {
    freeBytes(storage);
}

HRESULT AnsiText::assign(const OLECHAR* text, size_t length) {
    freeBytes(storage);
    storage = nullptr;
    textLength = 0;
    if (text == nullptr || length == 0) return S_OK;
    if (length > static_cast<size_t>(INT_MAX)) return E_OUTOFMEMORY;
    int wide = static_cast<int>(length);
    int bytes = WideCharToMultiByte(CP_ACP, 0, text, wide, nullptr, 0, nullptr, nullptr);
    if (bytes <= 0) return lastErrorResult();
    auto* data = static_cast<char*>(allocateBytes(static_cast<size_t>(bytes) + 1));
    if (data == nullptr) return E_OUTOFMEMORY;
    int done = WideCharToMultiByte(CP_ACP, 0, text, wide, data, bytes, nullptr, nullptr);
    if (done <= 0) {
        HRESULT hr = lastErrorResult();
        freeBytes(data);
        return hr;
    }
    data[done] = '\0';
    storage = data;
    textLength = static_cast<size_t>(done);
    return S_OK;
}

size_t wideLength(const OLECHAR* text) {
    size_t n = 0;
    if (text != nullptr) {
        while (text[n] != 0) ++n;
    }
    return n;
}

HRESULT ansiToBstr(const char* text, size_t length, BSTR* result) {
    if (result == nullptr) return E_POINTER;
    *result = nullptr;
    if (length > static_cast<size_t>(INT_MAX)) return E_OUTOFMEMORY;
    int bytes = static_cast<int>(length);
    // Every character takes at least one byte, so `bytes` characters always suffice: convert in
    // one pass into a string of that length, and only when multibyte characters made the text
    // shorter, copy it into a string of its exact length.
    BSTR out = allocateBstr(nullptr, static_cast<UINT>(bytes));
    if (out == nullptr) return E_OUTOFMEMORY;
    int wide = 0;
    if (bytes > 0) {
        wide = MultiByteToWideChar(CP_ACP, 0, text, bytes, out, bytes);
        if (wide <= 0) {
            HRESULT hr = lastErrorResult();
            SysFreeString(out);
            return hr;
        }
    }
    if (wide < bytes) {
        BSTR exact = allocateBstr(out, static_cast<UINT>(wide));
        SysFreeString(out);
        if (exact == nullptr) return E_OUTOFMEMORY;
        out = exact;
    }
    out[wide] = 0;
    *result = out;
    return S_OK;
}

}  // namespace brimvox::retrieve
