// Unpacking ._lzma2_ containers against `xz -d` on the same file, packed at the same level (9):
// a plain container, a preprocessed one (executables as encoded programs plus a diff) and xz's
// own .xz file. Each run maps the input and writes the output file, as xz does.
//
//   ./bench/container_bench [--benchmark_filter=...]
//   VL_CONTAINER_BENCH_FILE=... ./bench/container_bench   (default: libstdc++.so.6)
#include "benchtools.h"
#include "compressedfile.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

std::string g_source = "/usr/lib/x86_64-linux-gnu/libstdc++.so.6";
std::string g_dir;

std::string file(const char* name)
{
    return g_dir + "/" + name;
}

void unpack(benchmark::State& state, const char* container)
{
    for (auto _ : state) {
        if (!vlpatch::UncompressFile(file(container).c_str(), file("unpacked").c_str(),
                                     vlpatch::UnpackBudget::ForOutput(uint64_t(fileSize(g_source)))))
            state.SkipWithError("UncompressFile failed");
    }
    state.counters["packed_bytes"] = fileSize(file(container));
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(fileSize(g_source)));
}

void BM_UncompressFilePlain(benchmark::State& state)
{
    unpack(state, "plain._lzma2_");
}

void BM_UncompressFilePreprocessed(benchmark::State& state)
{
    unpack(state, "preprocessed._lzma2_");
}

void BM_XzDecompress(benchmark::State& state)
{
    for (auto _ : state) {
        if (runTool({"xz", "-d", "-c", file("source.xz")}, file("unpacked")) < 0)
            state.SkipWithError("xz -d failed");
    }
    state.counters["packed_bytes"] = fileSize(file("source.xz"));
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(fileSize(g_source)));
}

BENCHMARK(BM_UncompressFilePlain)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_UncompressFilePreprocessed)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_XzDecompress)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace

int main(int argc, char** argv)
{
    if (const char* source = std::getenv("VL_CONTAINER_BENCH_FILE"))
        g_source = source;
    char pattern[] = "/tmp/vl_container_bench_XXXXXX";
    if (!mkdtemp(pattern)) {
        std::perror("mkdtemp");
        return 1;
    }
    g_dir = pattern;
    if (!vlpatch::CompressFilePreprocessed(g_source.c_str(), file("plain._lzma2_").c_str(), false)
        || !vlpatch::CompressFilePreprocessed(g_source.c_str(), file("preprocessed._lzma2_").c_str(), true)
        || runTool({"xz", "-9", "-c", g_source}, file("source.xz")) < 0) {
        std::fprintf(stderr, "could not pack %s\n", g_source.c_str());
        return 1;
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    runTool({"rm", "-rf", g_dir});
    return 0;
}
