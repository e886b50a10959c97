// Throughput of UploadRetrieve on 1 MB and 64 MB request bodies: ParseRequest with its dump
// file, and the readers NextMessageLine, DataToTheEnd and StringToTheEnd.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "com_types.h"
#include "upload_retrieve.h"
#include "write_log.h"

namespace {

// Six head lines, then lines of 78 characters plus CR LF, to `bytes` in all.
std::string makeBody(size_t bytes) {
    std::string body = "POST /upload\r\nHost: x\r\nA: 1\r\nB: 2\r\nC: 3\r\nSTORE\r\n";
    std::string line(78, 'd');
    line += "\r\n";
    while (body.size() + line.size() <= bytes) body += line;
    body.append(bytes - body.size(), 'e');
    return body;
}

void enterScratch() {
    static bool done = false;
    if (done) return;
    static char dir[] = "/tmp/retrieve_bench_XXXXXX";
    if (mkdtemp(dir) == nullptr || chdir(dir) != 0) std::abort();
    done = true;
}

struct Parsed {
    UploadRetrieve* object = new UploadRetrieve;
    SAFEARRAY* array;
    LONG count;

    explicit Parsed(size_t bytes) {
        enterScratch();
        object->AddRef();
        std::string body = makeBody(bytes);
        count = static_cast<LONG>(body.size());
        array = SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(body.size()));
        void* data = nullptr;
        SafeArrayAccessData(array, &data);
        std::memcpy(data, body.data(), body.size());
        SafeArrayUnaccessData(array);
    }
    ~Parsed() {
        object->Release();
        SafeArrayDestroy(array);
        std::remove(kLogPath);
    }
    HRESULT parse() {
        VARIANT v;
        VariantInit(&v);
        v.vt = VT_ARRAY | VT_UI1;
        v.parray = array;
        return object->ParseRequest(v, count);
    }
};

void ParseRequest(benchmark::State& state) {
    Parsed p(static_cast<size_t>(state.range(0)));
    for (auto _ : state) {
        if (p.parse() != S_OK) state.SkipWithError("ParseRequest failed");
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

void NextMessageLine(benchmark::State& state) {
    Parsed p(static_cast<size_t>(state.range(0)));
    p.parse();
    for (auto _ : state) {
        p.object->Reset();
        VARIANT_BOOL eos = VARIANT_FALSE;
        while (eos == VARIANT_FALSE) {
            BSTR line = nullptr;
            p.object->get_NextMessageLine(&line);
            SysFreeString(line);
            p.object->get_EOS(&eos);
        }
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

void DataToTheEnd(benchmark::State& state) {
    Parsed p(static_cast<size_t>(state.range(0)));
    p.parse();
    for (auto _ : state) {
        p.object->Reset();
        VARIANT v;
        VariantInit(&v);
        if (p.object->get_DataToTheEnd(&v) != S_OK) state.SkipWithError("DataToTheEnd failed");
        VariantClear(&v);
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

void StringToTheEnd(benchmark::State& state) {
    Parsed p(static_cast<size_t>(state.range(0)));
    p.parse();
    for (auto _ : state) {
        p.object->Reset();
        BSTR text = nullptr;
        if (p.object->get_StringToTheEnd(&text) != S_OK) {
            state.SkipWithError("StringToTheEnd failed");
        }
        SysFreeString(text);
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

constexpr int64_t kMB = 1 << 20;
BENCHMARK(ParseRequest)->Arg(kMB)->Arg(64 * kMB)->Unit(benchmark::kMillisecond);
BENCHMARK(NextMessageLine)->Arg(kMB)->Arg(64 * kMB)->Unit(benchmark::kMillisecond);
BENCHMARK(DataToTheEnd)->Arg(kMB)->Arg(64 * kMB)->Unit(benchmark::kMillisecond);
BENCHMARK(StringToTheEnd)->Arg(kMB)->Arg(64 * kMB)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
