// Parses an upload body with the Retrieve core as a server script would: ParseRequest on the
// body as a byte array, then Action and DataToTheEnd.
//   web_upload_check BODY ACTION_OUT DATA_OUT
// Runs in the current directory, where the core writes its dump and log files.
#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "upload_retrieve.h"

namespace {

bool fail(const char* what, HRESULT hr) {
    std::fprintf(stderr, "%s failed: 0x%08X\n", what, static_cast<unsigned>(hr));
    return false;
}

bool run(const std::vector<char>& body, std::string& action, std::string& data) {
    using brimvox::retrieve::UploadRetrieve;
    UploadRetrieve* object = new UploadRetrieve();
    object->AddRef();
    VARIANT request;
    VariantInit(&request);
    request.vt = VT_ARRAY | VT_UI1;
    request.parray = SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(body.size()));
    void* raw = nullptr;
    SafeArrayAccessData(request.parray, &raw);
    std::copy(body.begin(), body.end(), static_cast<char*>(raw));
    SafeArrayUnaccessData(request.parray);
    bool ok = true;
    HRESULT hr = object->ParseRequest(request, static_cast<LONG>(body.size()));
    VariantClear(&request);
    if (FAILED(hr)) ok = fail("ParseRequest", hr);

    BSTR text = nullptr;
    if (ok && FAILED(hr = object->get_Action(&text))) ok = fail("Action", hr);
    if (ok) {
        // ANSI text arrives one byte per UTF-16 unit for single-byte characters.
        for (UINT i = 0; i < SysStringLen(text); i++) action += static_cast<char>(text[i] & 0xFF);
        SysFreeString(text);
    }

    VARIANT rest;
    VariantInit(&rest);
    if (ok && FAILED(hr = object->get_DataToTheEnd(&rest))) ok = fail("DataToTheEnd", hr);
    if (ok) {
        IStream* stream = nullptr;
        hr = rest.punkVal->QueryInterface(IID_IStream, reinterpret_cast<void**>(&stream));
        if (FAILED(hr)) {
            ok = fail("QueryInterface(IStream)", hr);
        } else {
            char buffer[4096];
            ULONG got = 0;
            while (stream->Read(buffer, sizeof buffer, &got) == S_OK && got > 0)
                data.append(buffer, got);
            stream->Release();
        }
        VariantClear(&rest);
    }
    object->CompleteWork();
    object->Release();
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: web_upload_check BODY ACTION_OUT DATA_OUT\n");
        return 2;
    }
    std::ifstream in(argv[1], std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "cannot read %s\n", argv[1]);
        return 2;
    }
    std::vector<char> body((std::istreambuf_iterator<char>(in)), {});
    std::string action, data;
    if (!run(body, action, data)) return 1;
    std::ofstream(argv[2], std::ios::binary) << action;
    std::ofstream(argv[3], std::ios::binary) << data;
    return 0;
}
