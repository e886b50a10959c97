// Feeds random request bodies through ParseRequest and every reader method of UploadRetrieve,
// and random text through the registry script parser.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "com_types.h"
#include "memory_stream.h"
#include "registry_script.h"
#include "upload_retrieve.h"
#include "write_log.h"

namespace {

void check(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "fuzz_retrieve: %s\n", what);
        std::abort();
    }
}

BSTR toBstr(const uint8_t* data, size_t size) {
    BSTR text = SysAllocStringLen(nullptr, static_cast<UINT>(size / 2));
    for (size_t i = 0; i + 1 < size; i += 2) {
        text[i / 2] = static_cast<OLECHAR>(data[i] | (data[i + 1] << 8));
    }
    return text;
}

void drain(IUnknown* unknown) {
    IStream* stream = nullptr;
    check(unknown->QueryInterface(IID_IStream, reinterpret_cast<void**>(&stream)) == S_OK,
          "DataToTheEnd result is not a stream");
    char buffer[512];
    ULONG got = 0;
    while (stream->Read(buffer, sizeof buffer, &got) == S_OK && got > 0) {
    }
    stream->Release();
}

}  // namespace

// The object writes its dump and log files into the working directory (the fixed "c:\\" names
// are plain file names here), so the fuzzer works in a scratch directory. Relative paths among
// the arguments (corpus directories, artifact prefix) are made absolute first.
extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    static std::vector<std::string> arguments;
    static std::vector<char*> pointers;
    char cwd[4096];
    if (getcwd(cwd, sizeof cwd) == nullptr) std::abort();
    for (int i = 0; i < *argc; ++i) {
        std::string arg = (*argv)[i];
        const std::string prefix = "-artifact_prefix=";
        if (i > 0 && !arg.empty() && arg[0] != '-' && arg[0] != '/') {
            arg = std::string(cwd) + "/" + arg;
        } else if (arg.rfind(prefix, 0) == 0 && arg.size() > prefix.size() &&
                   arg[prefix.size()] != '/') {
            arg = prefix + cwd + "/" + arg.substr(prefix.size());
        }
        arguments.push_back(arg);
    }
    for (auto& arg : arguments) pointers.push_back(&arg[0]);
    pointers.push_back(nullptr);
    *argv = pointers.data();
    static char dir[] = "/tmp/fuzz_retrieve_XXXXXX";
    if (mkdtemp(dir) == nullptr || chdir(dir) != 0) std::abort();
    std::atexit([] {
        std::remove(kLogPath);
        std::remove(kDumpPath);
        rmdir(dir);
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static unsigned runs = 0;
    if (++runs % 4096 == 0) std::remove(kLogPath);  // keep the log file small
    if (size < 4) return 0;
    uint8_t mode = data[0];
    uint8_t countMode = data[1];
    size_t opCount = data[2] % 16;
    data += 3;
    size -= 3;
    if (opCount > size) opCount = size;
    const uint8_t* ops = data;
    data += opCount;
    size -= opCount;

    auto* object = new UploadRetrieve;
    object->AddRef();

    VARIANT request;
    VariantInit(&request);
    SAFEARRAY* array = nullptr;
    BSTR text = nullptr;
    switch (mode % 5) {
        case 0:
        case 1: {
            array = SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(size));
            void* bytes = nullptr;
            SafeArrayAccessData(array, &bytes);
            if (size > 0) std::memcpy(bytes, data, size);
            SafeArrayUnaccessData(array);
            if (mode % 5 == 0) {
                request.vt = VT_ARRAY | VT_UI1;
                request.parray = array;
            } else {
                request.vt = VT_BYREF | VT_ARRAY | VT_UI1;
                request.pparray = &array;
            }
            break;
        }
        case 2:
            text = toBstr(data, size);
            request.vt = VT_BSTR;
            request.bstrVal = text;
            break;
        case 3:
            request.vt = static_cast<VARTYPE>(VT_ARRAY | (mode >> 3));  // no array behind it
            break;
        default: {
            std::string script(reinterpret_cast<const char*>(data), size);
            std::vector<RegistryRoot> roots;
            std::string error;
            if (parseRegistryScript(script, roots, error)) {
                substituteVariable(roots, "MODULE", "c:\\x.dll");
            } else {
                check(!error.empty(), "refused script without a message");
            }
            break;
        }
    }
    LONG counts[] = {static_cast<LONG>(size),
                     static_cast<LONG>(size / 2),
                     static_cast<LONG>(size) + 1000,
                     -1,
                     0x7FFFFFFF,
                     0};
    LONG count = counts[countMode % 6];

    HRESULT parsed = object->ParseRequest(request, count);
    check(parsed == S_OK || parsed == E_INVALIDARG, "unexpected ParseRequest result");

    for (size_t i = 0; i < opCount; ++i) {
        BSTR out = nullptr;
        VARIANT value;
        VariantInit(&value);
        VARIANT_BOOL eos = 0;
        switch (ops[i] % 8) {
            case 0:
                check(object->get_Action(&out) == S_OK, "Action failed");
                break;
            case 1: {
                HRESULT hr = object->get_NextMessageLine(&out);
                check(hr == S_OK || hr == E_FAIL, "NextMessageLine failed");
                break;
            }
            case 2:
                check(object->get_EOS(&eos) == S_OK, "EOS failed");
                check(eos == VARIANT_TRUE || eos == VARIANT_FALSE, "EOS not a boolean");
                break;
            case 3:
                check(object->get_DataToTheEnd(&value) == S_OK, "DataToTheEnd failed");
                check(value.vt == VT_UNKNOWN, "DataToTheEnd not VT_UNKNOWN");
                drain(value.punkVal);
                value.punkVal->Release();
                break;
            case 4:
                check(object->get_StringToTheEnd(&out) == S_OK, "StringToTheEnd failed");
                break;
            case 5:
                object->Reset();
                break;
            case 6:
                object->CompleteWork();
                break;
            default: {
                BSTR line = toBstr(ops, opCount);
                check(object->Log(line) == S_OK, "Log failed");
                SysFreeString(line);
                break;
            }
        }
        SysFreeString(out);
    }

    check(object->Release() == 0, "object still referenced");
    if (array != nullptr) SafeArrayDestroy(array);
    SysFreeString(text);
    return 0;
}
