// The executable side of an ensemble element on the largest real DLL at hand (libstdc++ of the
// mingw-w64 x86-64 runtime, about 23 MB): detection and disassembly, trim, encode and write,
// read and assemble. No outside tool does the same work, so it reports throughput and the
// peak memory the assembly program takes (one instruction pointer per literal byte).
//
//   ./bench/executable_bench [path to a PE or other supported executable]
#include "assemblyprogram.h"
#include "disassembler.h"
#include "encodedprogram.h"
#include "status.h"
#include "streamset.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>
#include <sys/resource.h>

namespace {

using namespace vlpatch;

std::vector<uint8_t> g_image;
long g_baselineRssKiB = 0;

long peakRssKiB()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

void Disassemble(benchmark::State& state)
{
    for (auto _ : state) {
        AssemblyProgram* program = nullptr;
        if (ParseDetectedExecutable(g_image.data(), g_image.size(), &program) != C_OK)
            state.SkipWithError("not disassembled");
        DeleteAssemblyProgram(program);
    }
    state.SetBytesProcessed(state.iterations() * int64_t(g_image.size()));
    // Measured from before the first benchmark ran, so it holds one whole assembly program.
    state.counters["peak_rss_growth_MiB"] = double(peakRssKiB() - g_baselineRssKiB) / 1024.0;
}

void EncodeAndWrite(benchmark::State& state)
{
    AssemblyProgram* program = nullptr;
    if (ParseDetectedExecutable(g_image.data(), g_image.size(), &program) != C_OK || TrimLabels(program) != C_OK) {
        state.SkipWithError("not disassembled");
        return;
    }
    for (auto _ : state) {
        EncodedProgram* encoded = nullptr;
        SinkStreamSet streams;
        SinkStream bytes;
        if (EncodeProgram(program, &encoded) != C_OK || WriteEncodedProgram(encoded, &streams) != C_OK
            || !streams.CopyTo(&bytes))
            state.SkipWithError("not encoded");
        DeleteEncodedProgram(encoded);
    }
    DeleteAssemblyProgram(program);
    state.SetBytesProcessed(state.iterations() * int64_t(g_image.size()));
}

void ReadAndAssemble(benchmark::State& state)
{
    AssemblyProgram* program = nullptr;
    EncodedProgram* encoded = nullptr;
    SinkStreamSet streams;
    SinkStream bytes;
    if (ParseDetectedExecutable(g_image.data(), g_image.size(), &program) != C_OK
        || EncodeProgram(program, &encoded) != C_OK || WriteEncodedProgram(encoded, &streams) != C_OK
        || !streams.CopyTo(&bytes)) {
        state.SkipWithError("not encoded");
        return;
    }
    DeleteAssemblyProgram(program);
    DeleteEncodedProgram(encoded);
    for (auto _ : state) {
        SourceStreamSet source;
        EncodedProgram* read = nullptr;
        SinkStream output;
        if (!source.Init(bytes.Buffer(), bytes.Length()) || ReadEncodedProgram(&source, &read) != C_OK
            || Assemble(read, &output) != C_OK)
            state.SkipWithError("not assembled");
        DeleteEncodedProgram(read);
    }
    state.SetBytesProcessed(state.iterations() * int64_t(g_image.size()));
}

BENCHMARK(Disassemble)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2);
BENCHMARK(EncodeAndWrite)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2);
BENCHMARK(ReadAndAssemble)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2);

} // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    const std::string path = argc > 1 ? argv[1] : "/usr/lib/gcc/x86_64-w64-mingw32/12-win32/libstdc++-6.dll";
    std::ifstream in(path, std::ios::binary);
    g_image.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (g_image.empty()) {
        std::fprintf(stderr, "cannot read %s (install gcc-mingw-w64-x86-64-win32-runtime)\n", path.c_str());
        return 1;
    }
    std::printf("%s: %zu bytes\n", path.c_str(), g_image.size());
    g_baselineRssKiB = peakRssKiB();
    benchmark::RunSpecifiedBenchmarks();
    return 0;
}
