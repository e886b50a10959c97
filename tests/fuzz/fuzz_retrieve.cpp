// Feeds random request bodies through ParseRequest and every reader method of UploadRetrieve,
// drives the stream that DataToTheEnd hands out with Seek, SetSize, Read, Write, CopyTo, Clone
// and Stat at extreme values, and feeds random text through the registry script parser.
// The streams' size limit is lowered to a few pages, so that a stream is taken to its limit and
// past it in microseconds, and sizes beyond the limit are tried without allocating them.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "allocation.h"
#include "com_types.h"
#include "memory_stream.h"
#include "registry_script.h"
#include "upload_retrieve.h"
#include "write_log.h"

using namespace brimvox::retrieve;

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

// The streams' size limit while fuzzing: well above the longest input (-max_len=8192), and small
// enough that a stream at its limit is one allocation of the fast kind (at most 64 KiB).
constexpr ULONGLONG kLimit = 15 * 4096 - 100;

// Offsets and sizes for the handed-out stream: small ones and ones up to the limit, which are
// really allocated, and ones beyond the limit, which must be refused without any allocation.
const ULONGLONG kValues[] = {0,
                             1,
                             7,
                             4095,
                             4096,
                             4097,
                             kLimit - 1,
                             kLimit,
                             kLimit + 1,
                             kLimit + 4096,
                             MemoryStream::kMaxSize + 1,
                             MemoryStream::kMaxSize + 4096,
                             ULONGLONG{1} << 40,
                             (ULONGLONG{1} << 63) - 1,
                             ULONGLONG{1} << 63,
                             ~ULONGLONG{0} - 4095,
                             ~ULONGLONG{0}};

struct StreamState {
    ULONGLONG position, size, capacity;
    const BYTE* data;
    bool operator==(const StreamState& o) const {
        return position == o.position && size == o.size && capacity == o.capacity && data == o.data;
    }
};

StreamState stateOf(const MemoryStream* s) {
    return {s->position(), s->size(), s->capacity(), s->data()};
}

void checkInvariants(const MemoryStream* s) {
    check(s->position() <= s->size(), "stream position beyond its size");
    check(s->size() <= s->capacity() || (s->size() == 0 && s->capacity() == 0),
          "stream size beyond its capacity");
    check(s->size() <= s->sizeLimit(), "stream beyond its limit");
    check((s->data() == nullptr) == (s->capacity() == 0), "storage and capacity disagree");
}

void driveStream(IUnknown* unknown, const uint8_t* ops, size_t count) {
    IStream* stream = nullptr;
    check(unknown->QueryInterface(IID_IStream, reinterpret_cast<void**>(&stream)) == S_OK,
          "DataToTheEnd result is not a stream");
    auto* memory = static_cast<MemoryStream*>(stream);
    check(memory->sizeLimit() == kLimit, "stream without the lowered limit");
    static const std::vector<BYTE> source(65536, 0x5A);
    static std::vector<BYTE> sink(kLimit + 1);
    for (size_t i = 0; i + 1 < count; i += 2) {
        ULONGLONG value = kValues[ops[i + 1] % (sizeof kValues / sizeof kValues[0])];
        bool beyond = value > kLimit;
        StreamState before = stateOf(memory);
        HRESULT hr = S_OK;
        // The Seek distance: the value as a signed number, forwards or backwards.
        auto move = static_cast<LONGLONG>(value);
        if ((ops[i] & 0x80) != 0 && move != INT64_MIN) move = -move;
        // A SetSize beyond the limit, or a Seek by a distance beyond it (from a position within
        // it), can never succeed, so it must not even try to allocate: any allocation now
        // throws, which surfaces as E_UNEXPECTED.
        bool allocationForbidden = (ops[i] % 7 == 1 && beyond) ||
                                   (ops[i] % 7 == 0 && (move < -static_cast<LONGLONG>(kLimit) ||
                                                        move > static_cast<LONGLONG>(kLimit)));
        if (allocationForbidden) failAllocationsAfter(0, AllocationFailure::systemError);
        switch (ops[i] % 7) {
            case 0: {  // Seek, by the value forwards or backwards, from any origin
                DWORD origin = (ops[i] >> 3) % 5;
                ULARGE_INTEGER position = ulargeInteger(12345);
                hr = stream->Seek(largeInteger(move), origin, &position);
                if (allocationForbidden && origin <= 2) {
                    check(FAILED(hr), "Seek beyond the limit accepted");
                }
                if (FAILED(hr)) {
                    check(stateOf(memory) == before, "a refused Seek changed the stream");
                    check(position.QuadPart == 12345, "a refused Seek stored a position");
                } else if (origin <= 2) {
                    check(position.QuadPart == memory->position(), "Seek stored another position");
                }
                break;
            }
            case 1:  // SetSize
                hr = stream->SetSize(ulargeInteger(value));
                if (beyond) check(FAILED(hr), "SetSize beyond the limit accepted");
                if (FAILED(hr)) check(stateOf(memory) == before, "a refused SetSize changed it");
                break;
            case 2: {  // Read everything there is, with the largest count
                ULONG done = 0;
                hr = stream->Read(sink.data(), 0xFFFFFFFFu, &done);
                check(hr == S_OK && done == before.size - before.position, "Read short");
                break;
            }
            case 3: {  // Write up to 64 KiB
                ULONG n = static_cast<ULONG>(value % (source.size() + 1));
                ULONG done = 0;
                hr = stream->Write(source.data(), n, &done);
                check(FAILED(hr) || done == n, "Write short");
                break;
            }
            case 4: {  // CopyTo another stream, any count
                auto* target = new MemoryStream;
                ULARGE_INTEGER read = ulargeInteger(7);
                ULARGE_INTEGER written = ulargeInteger(7);
                hr = stream->CopyTo(target, ulargeInteger(value), &read, &written);
                check(hr == E_NOTIMPL || SUCCEEDED(hr), "CopyTo failed oddly");
                if (FAILED(hr)) check(stateOf(memory) == before, "a refused CopyTo moved it");
                target->Release();
                break;
            }
            case 5: {  // Clone
                IStream* clone = nullptr;
                hr = stream->Clone(&clone);
                if (SUCCEEDED(hr) && clone != nullptr) clone->Release();
                if (FAILED(hr)) check(clone == nullptr, "a refused Clone handed out a stream");
                break;
            }
            default:  // Stat
                hr = stream->Stat(nullptr, static_cast<DWORD>(value));
                check(stateOf(memory) == before, "Stat changed the stream");
                break;
        }
        if (allocationForbidden) failAllocationsAfter(-1);
        check(hr == S_OK || hr == E_NOTIMPL || hr == E_OUTOFMEMORY || hr == E_INVALIDARG ||
                  hr == STG_E_INVALIDFUNCTION || hr == STG_E_MEDIUMFULL,
              "unexpected stream result");
        checkInvariants(memory);
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
    MemoryStream::setSizeLimit(kLimit);
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
    size_t opCount = data[2] % 32;
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
    check(parsed == S_OK || parsed == E_INVALIDARG || (parsed == E_OUTOFMEMORY && size > kLimit),
          "unexpected ParseRequest result");

    for (size_t i = 0; i < opCount; ++i) {
        BSTR out = nullptr;
        VARIANT value;
        VariantInit(&value);
        VARIANT_BOOL eos = 0;
        switch (ops[i] % 9) {
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
            case 7:
                check(object->get_DataToTheEnd(&value) == S_OK, "DataToTheEnd failed");
                driveStream(value.punkVal, ops + i + 1, opCount - i - 1);
                value.punkVal->Release();
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
