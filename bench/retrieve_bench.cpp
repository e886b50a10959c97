// Throughput of UploadRetrieve on 64 MB request bodies: ParseRequest with its dump file (on a
// body of 80-byte lines, on a body with no line break and on one whose ACTION line is the whole
// body), and the readers NextMessageLine, DataToTheEnd and StringToTheEnd. After the runs it
// prints each time as a ratio to a memcpy of 64 MB into a freshly allocated buffer measured in
// the same run, which is the memory's limit for anything that hands out a copy.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "com_types.h"
#include "upload_retrieve.h"
#include "write_log.h"

using namespace brimvox::retrieve;

namespace {

constexpr size_t kBodyBytes = size_t{64} << 20;
const std::string kHead = "POST /upload\r\nHost: x\r\nA: 1\r\nB: 2\r\nC: 3\r\nSTORE\r\n";

enum class Shape { lines, noBreak, hugeAction };

// Six head lines, then lines of 78 characters plus CR LF; or one unbroken run of bytes; or five
// short head lines and an ACTION line that takes the rest.
std::string makeBody(Shape shape, size_t bytes) {
    std::string body;
    if (shape == Shape::lines) {
        body = kHead;
        std::string line(78, 'd');
        line += "\r\n";
        body.reserve(bytes);
        while (body.size() + line.size() <= bytes) body += line;
    } else if (shape == Shape::hugeAction) {
        body = "1\r\n2\r\n3\r\n4\r\n5\r\n";
    }
    body.append(bytes - body.size(), 'e');
    return body;
}

void enterScratch() {
    static bool done = false;
    if (done) return;
    static char dir[] = "/tmp/retrieve_bench_XXXXXX";
    if (mkdtemp(dir) == nullptr || chdir(dir) != 0) std::abort();
    std::atexit([] {
        std::remove(kLogPath);
        std::remove(kDumpPath);
        rmdir(dir);
    });
    done = true;
}

struct Parsed {
    UploadRetrieve* object = new UploadRetrieve;
    SAFEARRAY* array;
    LONG count;

    explicit Parsed(Shape shape) {
        enterScratch();
        object->AddRef();
        std::string body = makeBody(shape, kBodyBytes);
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

void FreshMemcpy(benchmark::State& state) {
    std::vector<char> source(kBodyBytes, 'm');
    for (auto _ : state) {
        auto* target = static_cast<char*>(std::malloc(kBodyBytes));
        std::memcpy(target, source.data(), kBodyBytes);
        benchmark::DoNotOptimize(target);
        benchmark::ClobberMemory();
        std::free(target);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBodyBytes));
}

void ParseRequest(benchmark::State& state, Shape shape) {
    Parsed p(shape);
    for (auto _ : state) {
        if (p.parse() != S_OK) state.SkipWithError("ParseRequest failed");
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBodyBytes));
}

void NextMessageLine(benchmark::State& state) {
    Parsed p(Shape::lines);
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
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBodyBytes));
}

void DataToTheEnd(benchmark::State& state) {
    Parsed p(Shape::lines);
    p.parse();
    for (auto _ : state) {
        p.object->Reset();
        VARIANT v;
        VariantInit(&v);
        if (p.object->get_DataToTheEnd(&v) != S_OK) state.SkipWithError("DataToTheEnd failed");
        VariantClear(&v);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBodyBytes));
}

void StringToTheEnd(benchmark::State& state) {
    Parsed p(Shape::lines);
    p.parse();
    for (auto _ : state) {
        p.object->Reset();
        BSTR text = nullptr;
        if (p.object->get_StringToTheEnd(&text) != S_OK) {
            state.SkipWithError("StringToTheEnd failed");
        }
        SysFreeString(text);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBodyBytes));
}

// Keeps the processor seconds per iteration of every run besides printing it as usual. Processor
// time (page faults included) rather than wall time, so that other work on a shared machine
// does not skew the ratios.
class RecordingReporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.iterations > 0 && run.run_type == Run::RT_Iteration) {
                seconds[run.benchmark_name()] =
                    run.cpu_accumulated_time / static_cast<double>(run.iterations);
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, double> seconds;
};

void printRatios(const std::map<std::string, double>& seconds) {
    auto memcpyTime = seconds.find("FreshMemcpy");
    if (memcpyTime == seconds.end()) return;
    double base = memcpyTime->second;
    std::printf(
        "\n64 MB body, processor time as a multiple of a fresh-buffer memcpy of 64 MB (%.2f ms):\n",
        base * 1e3);
    const struct {
        const char* name;
        const char* target;
    } rows[] = {{"DataToTheEnd", "<= 1.5"},
                {"StringToTheEnd", "<= 4"},
                {"ParseRequest/lines", "<= 3"},
                {"ParseRequest/no_line_break", "as lines"},
                {"ParseRequest/huge_action_line", ""},
                {"NextMessageLine", ""}};
    for (const auto& row : rows) {
        auto found = seconds.find(row.name);
        if (found == seconds.end()) continue;
        std::printf("  %-30s %6.2fx  (%s)\n", row.name, found->second / base, row.target);
    }
    auto lines = seconds.find("NextMessageLine");
    if (lines != seconds.end()) {
        std::printf("  NextMessageLine over 80-byte lines: %.0f MB/s (>= 300)\n",
                    static_cast<double>(kBodyBytes) / 1e6 / lines->second);
    }
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::RegisterBenchmark("FreshMemcpy", FreshMemcpy)->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("ParseRequest/lines", ParseRequest, Shape::lines)
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("ParseRequest/no_line_break", ParseRequest, Shape::noBreak)
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("ParseRequest/huge_action_line", ParseRequest, Shape::hugeAction)
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("NextMessageLine", NextMessageLine)->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("DataToTheEnd", DataToTheEnd)->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("StringToTheEnd", StringToTheEnd)->Unit(benchmark::kMillisecond);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    RecordingReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    printRatios(reporter.seconds);
    return 0;
}
