// The calls of IUploadRetrieve as the Retrieve tests make them, shared by the fixture of the
// native tests (over the object itself) and that of the COM client run under Wine (over the
// registered DLL).
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "iupload_retrieve.h"

namespace brimvox::tests {

// A BSTR from single-byte text (each byte one UTF-16 unit).
inline BSTR makeBstr(const std::string& text) {
    BSTR out = SysAllocStringLen(nullptr, static_cast<UINT>(text.size()));
    for (size_t i = 0; i < text.size(); ++i) {
        out[i] = static_cast<OLECHAR>(static_cast<unsigned char>(text[i]));
    }
    return out;
}

// The UTF-16 units of a BSTR, each cut to one byte.
inline std::string fromBstr(BSTR text) {
    std::string out;
    for (UINT i = 0; i < SysStringLen(text); ++i) out += static_cast<char>(text[i]);
    return out;
}

// A one-dimensional array of bytes holding `bytes`.
inline SAFEARRAY* makeByteArray(const std::string& bytes) {
    SAFEARRAY* array = SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(bytes.size()));
    void* data = nullptr;
    SafeArrayAccessData(array, &data);
    if (!bytes.empty()) std::memcpy(data, bytes.data(), bytes.size());
    SafeArrayUnaccessData(array);
    return array;
}

struct VariantGuard {
    VARIANT value;
    VariantGuard() { VariantInit(&value); }
    ~VariantGuard() { VariantClear(&value); }
    VariantGuard(const VariantGuard&) = delete;
    VariantGuard& operator=(const VariantGuard&) = delete;
};

// Mixed into a fixture that keeps the object under test in `object`; each call checks the
// result it expects and hands back what the object returned.
template <class Object>
class UploadRetrieveCalls {
  protected:
    HRESULT parseString(const std::string& body) {
        VariantGuard v;
        v.value.vt = VT_BSTR;
        v.value.bstrVal = makeBstr(body);
        return object->ParseRequest(v.value, 0);
    }
    HRESULT parseBytes(const std::string& body, LONG count) {
        VariantGuard v;
        v.value.vt = VT_ARRAY | VT_UI1;
        v.value.parray = makeByteArray(body);
        return object->ParseRequest(v.value, count);
    }
    std::string action() {
        BSTR text = nullptr;
        EXPECT_EQ(S_OK, object->get_Action(&text));
        std::string out = fromBstr(text);
        SysFreeString(text);
        return out;
    }
    std::string nextLine(HRESULT expected = S_OK) {
        BSTR text = nullptr;
        EXPECT_EQ(expected, object->get_NextMessageLine(&text));
        std::string out = fromBstr(text);
        SysFreeString(text);
        return out;
    }
    bool eos() {
        VARIANT_BOOL flag = 7;
        EXPECT_EQ(S_OK, object->get_EOS(&flag));
        EXPECT_TRUE(flag == VARIANT_TRUE || flag == VARIANT_FALSE);
        return flag == VARIANT_TRUE;
    }
    std::string rest() {
        BSTR text = nullptr;
        EXPECT_EQ(S_OK, object->get_StringToTheEnd(&text));
        std::string out = fromBstr(text);
        SysFreeString(text);
        return out;
    }

    Object* object = nullptr;
};

}  // namespace brimvox::tests
