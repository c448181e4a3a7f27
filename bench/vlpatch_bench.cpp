// The patcher against the outside tools, on the same files in one run:
//   CreateBinaryPatch (method 2) against bsdiff: time, peak memory (of a child process each) and
//   patch size; ApplyBinaryPatch against bspatch, on bsdiff's own patch converted to a method-0
//   diff and on our method-2 diff; LZMA2 block unpacking against `xz -d --format=raw`.
// Applying includes mapping the inputs and writing the new file, as the tools do.
//
//   ./bench/vlpatch_bench [--benchmark_filter=...]
//   VL_DIFF_BENCH_OLD=... VL_DIFF_BENCH_NEW=... ./bench/vlpatch_bench   (default: gcc's cc1, cc1plus)
#include "benchtools.h"
#include "binarypatch.h"
#include "lzma2block.h"
#include "memorymappedview.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

std::string g_old = "/usr/lib/gcc/x86_64-linux-gnu/12/cc1";
std::string g_new = "/usr/lib/gcc/x86_64-linux-gnu/12/cc1plus";
std::string g_dir;

struct Figures {
    double seconds = 0;
    double peakMiB = 0;
    double outputBytes = 0;
};
std::map<std::string, Figures> g_figures;

std::string file(const char* name)
{
    return g_dir + "/" + name;
}

// Runs `work` in a child process, so that its peak memory is its own.
template <typename Work>
double runChild(Work work)
{
    const pid_t pid = fork();
    if (pid == 0)
        _exit(work() ? 0 : 1);
    return pid > 0 ? reap(pid) : -1;
}

bool createPatch(const std::string& oldPath, const std::string& newPath, const std::string& patchPath,
                 uint32_t method)
{
    vlpatch::MemoryMappedView oldView(oldPath.c_str(), 0, 0);
    vlpatch::MemoryMappedView newView(newPath.c_str(), 0, 0);
    if (!oldView.IsValid() || !newView.IsValid())
        return false;
    vlpatch::SourceStream oldStream;
    oldStream.Init(oldView.data(), oldView.length());
    vlpatch::SourceStream newStream;
    newStream.Init(newView.data(), newView.length());
    vlpatch::SinkStream patch;
    return vlpatch::CreateBinaryPatch(&oldStream, &newStream, &patch, true, method) &&
        vlpatch::WriteWholeFile(patchPath.c_str(), patch.Buffer(), patch.Length()) == patch.Length();
}

bool applyPatch(const std::string& oldPath, const std::string& patchPath, const std::string& newPath)
{
    vlpatch::MemoryMappedView oldView(oldPath.c_str(), 0, 0);
    vlpatch::MemoryMappedView patchView(patchPath.c_str(), 0, 0);
    if (!oldView.IsValid() || !patchView.IsValid())
        return false;
    vlpatch::SourceStream oldStream;
    oldStream.Init(oldView.data(), oldView.length());
    vlpatch::SourceStream patchStream;
    patchStream.Init(patchView.data(), patchView.length());
    vlpatch::SinkStream out;
    return vlpatch::ApplyBinaryPatch(&oldStream, &patchStream, &out, true) &&
        vlpatch::WriteWholeFile(newPath.c_str(), out.Buffer(), out.Length()) == out.Length();
}

bool sameFiles(const std::string& a, const std::string& b)
{
    return runTool({"cmp", "-s", a, b}) >= 0;
}

// Times each iteration by hand and keeps the mean, peak memory and output size for the summary.
template <typename Run>
void measure(benchmark::State& state, const std::string& name, Run run, const std::string& output = "")
{
    Figures& figures = g_figures[name];
    double total = 0;
    for (auto _ : state) {
        const auto start = Clock::now();
        const double peak = run();
        const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        if (peak < 0) {
            state.SkipWithError("run failed");
            return;
        }
        state.SetIterationTime(seconds);
        total += seconds;
        figures.peakMiB = std::max(figures.peakMiB, peak);
    }
    figures.seconds = total / static_cast<double>(state.iterations());
    state.counters["peak_MiB"] = figures.peakMiB;
    if (!output.empty()) {
        figures.outputBytes = fileSize(output);
        state.counters["output_bytes"] = figures.outputBytes;
    }
}

// Inputs shared by the apply and unpack benchmarks, made once.
bool prepare()
{
    static int state = 0;
    if (state == 0) {
        const bool ok = (fileSize(file("bsdiff.patch")) > 0 ||
                         runTool({"bsdiff", g_old, g_new, file("bsdiff.patch")}) >= 0) &&
            runTool({"python3", VL_BSDIFF2VLDIFF, file("bsdiff.patch"), g_new, file("bsdiff.vldiff")}) >= 0 &&
            (fileSize(file("method2.vldiff")) > 0 ||
             runChild([] { return createPatch(g_old, g_new, file("method2.vldiff"), 2); }) >= 0) &&
            runChild([] {
                vlpatch::MemoryMappedView view(g_new.c_str(), 0, 0);
                vlpatch::SinkStream block;
                if (!view.IsValid() || !vlpatch::PackLzma2Buffer(view.data(), view.length(), &block))
                    return false;
                // xz reads the raw LZMA2 data behind the property byte and the varint32 size.
                std::size_t header = 1;
                while (block.Buffer()[header++] & 0x80) {
                }
                return vlpatch::WriteWholeFile(file("block").c_str(), block.Buffer(), block.Length()) ==
                    block.Length() &&
                    vlpatch::WriteWholeFile(file("block.raw").c_str(), block.Buffer() + header,
                                            block.Length() - header) == block.Length() - header;
            }) >= 0;
        state = ok ? 1 : -1;
    }
    return state == 1;
}

void Bsdiff(benchmark::State& state)
{
    measure(state, "bsdiff", [] { return runTool({"bsdiff", g_old, g_new, file("bsdiff.patch")}); },
            file("bsdiff.patch"));
}

void CreateBinaryPatchMethod2(benchmark::State& state)
{
    measure(state, "CreateBinaryPatch", [] {
        return runChild([] { return createPatch(g_old, g_new, file("method2.vldiff"), 2); });
    }, file("method2.vldiff"));
}

void Bspatch(benchmark::State& state)
{
    if (!prepare())
        return state.SkipWithError("could not make the patches");
    measure(state, "bspatch", [] { return runTool({"bspatch", g_old, file("bspatched"), file("bsdiff.patch")}); });
    if (!sameFiles(file("bspatched"), g_new))
        state.SkipWithError("bspatch made something else");
}

void ApplyConvertedBsdiffPatch(benchmark::State& state)
{
    if (!prepare())
        return state.SkipWithError("could not make the patches");
    measure(state, "ApplyBinaryPatch (bsdiff's diff, method 0)",
            [] { return applyPatch(g_old, file("bsdiff.vldiff"), file("applied0")) ? 0.0 : -1.0; });
    if (!sameFiles(file("applied0"), g_new))
        state.SkipWithError("applied something else");
}

void ApplyMethod2Patch(benchmark::State& state)
{
    if (!prepare())
        return state.SkipWithError("could not make the patches");
    measure(state, "ApplyBinaryPatch (own diff, method 2)",
            [] { return applyPatch(g_old, file("method2.vldiff"), file("applied2")) ? 0.0 : -1.0; });
    if (!sameFiles(file("applied2"), g_new))
        state.SkipWithError("applied something else");
}

void XzRawDecode(benchmark::State& state)
{
    if (!prepare())
        return state.SkipWithError("could not make the block");
    measure(state, "xz -d --format=raw",
            [] { return runTool({"xz", "-d", "--format=raw", "--lzma2=dict=64MiB", "-c", file("block.raw")}); });
}

void UnpackLzma2Block(benchmark::State& state)
{
    if (!prepare())
        return state.SkipWithError("could not make the block");
    vlpatch::MemoryMappedView view(file("block").c_str(), 0, 0);
    measure(state, "UnpackLzma2Block", [&view] {
        vlpatch::SourceStream source;
        source.Init(view.data(), view.length());
        vlpatch::SinkStream sink;
        return view.IsValid() && vlpatch::UnpackLzma2Block(&source, &sink) ? 0.0 : -1.0;
    });
}

void printSummary()
{
    auto ratio = [](const char* ours, const char* theirs) {
        const Figures& a = g_figures[ours];
        const Figures& b = g_figures[theirs];
        if (a.seconds > 0 && b.seconds > 0)
            std::printf("  %-45s %8.3f s / %-20s %8.3f s = %.2f\n", ours, a.seconds, theirs, b.seconds,
                        a.seconds / b.seconds);
    };
    std::printf("\nSummary (old %s, new %s)\n", g_old.c_str(), g_new.c_str());
    ratio("CreateBinaryPatch", "bsdiff");
    ratio("ApplyBinaryPatch (bsdiff's diff, method 0)", "bspatch");
    ratio("ApplyBinaryPatch (own diff, method 2)", "bspatch");
    ratio("UnpackLzma2Block", "xz -d --format=raw");
    const Figures& create = g_figures["CreateBinaryPatch"];
    const Figures& bsdiff = g_figures["bsdiff"];
    if (create.peakMiB > 0 && bsdiff.peakMiB > 0)
        std::printf("  peak memory: CreateBinaryPatch %.0f MiB, bsdiff %.0f MiB\n", create.peakMiB, bsdiff.peakMiB);
    if (create.outputBytes > 0 && bsdiff.outputBytes > 0)
        std::printf("  patch size:  CreateBinaryPatch %.0f bytes, bsdiff %.0f bytes\n", create.outputBytes,
                    bsdiff.outputBytes);
}

} // namespace

BENCHMARK(Bsdiff)->Unit(benchmark::kSecond)->Iterations(1)->UseManualTime();
BENCHMARK(CreateBinaryPatchMethod2)->Unit(benchmark::kSecond)->Iterations(1)->UseManualTime();
BENCHMARK(Bspatch)->Unit(benchmark::kMillisecond)->Iterations(5)->UseManualTime();
BENCHMARK(ApplyConvertedBsdiffPatch)->Unit(benchmark::kMillisecond)->Iterations(5)->UseManualTime();
BENCHMARK(ApplyMethod2Patch)->Unit(benchmark::kMillisecond)->Iterations(5)->UseManualTime();
BENCHMARK(XzRawDecode)->Unit(benchmark::kMillisecond)->Iterations(5)->UseManualTime();
BENCHMARK(UnpackLzma2Block)->Unit(benchmark::kMillisecond)->Iterations(5)->UseManualTime();

int main(int argc, char** argv)
{
    if (const char* old = std::getenv("VL_DIFF_BENCH_OLD"))
        g_old = old;
    if (const char* newer = std::getenv("VL_DIFF_BENCH_NEW"))
        g_new = newer;
    if (fileSize(g_old) <= 0 || fileSize(g_new) <= 0) {
        std::fprintf(stderr, "missing input %s or %s\n", g_old.c_str(), g_new.c_str());
        return 1;
    }
    char pattern[] = "/tmp/vlpatch_bench_XXXXXX";
    if (!mkdtemp(pattern))
        return 1;
    g_dir = pattern;

    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    printSummary();
    runTool({"rm", "-rf", g_dir});
    return 0;
}
