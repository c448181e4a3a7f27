// Whole-process unpacking against `xz -d -T1` on the same files: wall time and peak resident
// memory (as /usr/bin/time reports them) of each run, medians of alternating runs, and ratios.
//
//   ./bench/unpack_bench [--runs N] [--data DIR] [--baseline OTHER_UNPACK_BENCH]
//
// The rows: plain containers of a few large libraries unpacked one after the other, the
// preprocessed container of one large library, and four packed files of a client unpacked two
// at a time, as the file replacement does in stage two (as the release tooling packs them, then
// all plain). Containers and .xz files are made once
// into DIR (default: unpack-bench-data beside the program) and reused by later runs. A baseline
// is another build of this program; its child mode runs the same unpacks with its own decoder.
//
//   ./bench/unpack_bench unpack [-j N] SOURCE TARGET [SOURCE TARGET ...]   (child mode)
#include "benchtools.h"
#include "compressedfile.h"
#include "lzmasdk.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

const std::string kLibraries = "/usr/lib/x86_64-linux-gnu/";
const std::vector<std::string> kPlainFiles = {"libQt5WebKit.so.5.212.0", "libicudata.so.72.1",
                                              "libclang-14.so.14.0.6"};
const std::string kPreprocessedFile = "libLLVM-15.so.1";
const std::vector<std::string> kClientFiles = {"libLLVM-15.so.1", "libLLVM-14.so.1", "libQt5WebKit.so.5.212.0",
                                               "libicudata.so.72.1"};
// Stage two lets each packed file grow to the size its product ini announces; the bench allows
// what the largest library needs.
constexpr uint64_t kOutputBudget = 512ull << 20;

// xz packs each file in blocks of the container writer's size, each starting with a fresh
// dictionary as the container's blocks do: both decoders then read the same LZMA2 data and the
// ratio is the decoders' own. (One whole-file `xz -9` stream is some per cent smaller and
// decodes that much faster, whoever decodes it.)
std::string xzFileOf(const std::string& data, const std::string& name)
{
    return data + "/" + name + ".blocks.xz";
}

// One unpack per pair, `parallel` at a time.
int unpackChild(int argc, char** argv)
{
    unsigned parallel = 1;
    int first = 0;
    if (argc >= 2 && std::strcmp(argv[0], "-j") == 0) {
        parallel = static_cast<unsigned>(std::max(1, std::atoi(argv[1])));
        first = 2;
    }
    if ((argc - first) % 2 != 0)
        return 2;
    const std::size_t pairs = static_cast<std::size_t>(argc - first) / 2;
    std::atomic<std::size_t> next{0};
    std::atomic<bool> ok{true};
    auto work = [&] {
        for (std::size_t i = next++; i < pairs; i = next++) {
            const char* source = argv[first + 2 * i];
            const char* target = argv[first + 2 * i + 1];
            if (!vlpatch::UncompressFile(source, target, vlpatch::UnpackBudget::ForOutput(kOutputBudget)))
                ok = false;
        }
    };
    std::vector<std::thread> threads;
    for (unsigned i = 1; i < parallel; ++i)
        threads.emplace_back(work);
    work();
    for (std::thread& thread : threads)
        thread.join();
    return ok ? 0 : 1;
}

struct Run {
    double seconds;
    double peakMiB;
};

Run timed(const std::vector<std::string>& args, const std::string& output = "/dev/null")
{
    const auto start = std::chrono::steady_clock::now();
    const double peak = runTool(args, output);
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    if (peak < 0) {
        std::fprintf(stderr, "failed:");
        for (const std::string& arg : args)
            std::fprintf(stderr, " %s", arg.c_str());
        std::fprintf(stderr, "\n");
        std::exit(1);
    }
    return {elapsed.count(), peak};
}

// xz has no mode that unpacks several files into chosen names, so each is one process; the
// row's time is their sum and its peak their largest.
Run xzAll(const std::vector<std::string>& xzFiles, const std::string& scratch)
{
    Run total{0, 0};
    for (const std::string& file : xzFiles) {
        const Run run = timed({"xz", "-d", "-T1", "-c", file}, scratch + "/xz-out");
        total.seconds += run.seconds;
        total.peakMiB = std::max(total.peakMiB, run.peakMiB);
    }
    return total;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

bool exists(const std::string& path)
{
    struct stat info;
    return ::stat(path.c_str(), &info) == 0;
}

void prepare(const std::string& data, const std::string& name, bool preprocess)
{
    const std::string source = kLibraries + name;
    const std::string container = data + "/" + name + (preprocess ? ".pre._lzma2_" : ".plain._lzma2_");
    if (!exists(container)) {
        std::fprintf(stderr, "packing %s\n", container.c_str());
        if (!vlpatch::CompressFilePreprocessed(source.c_str(), container.c_str(), preprocess)) {
            std::fprintf(stderr, "could not pack %s\n", source.c_str());
            std::exit(1);
        }
    }
    const std::string xz = xzFileOf(data, name);
    const std::string blockSize = "--block-size=" + std::to_string(vlpatch::kDefaultLzma2BlockSize);
    if (!exists(xz) && runTool({"xz", "-9", "-T3", blockSize, "-c", source}, xz) < 0) {
        std::fprintf(stderr, "could not xz %s\n", source.c_str());
        std::exit(1);
    }
}

struct Row {
    const char* name;
    std::vector<std::string> childArgs; // after "unpack"
    std::vector<std::string> xzFiles;
};

} // namespace

int main(int argc, char** argv)
{
    if (argc >= 2 && std::strcmp(argv[1], "unpack") == 0)
        return unpackChild(argc - 2, argv + 2);

    int runs = 5;
    std::string data = std::string(argv[0]) + "-data";
    std::string baseline;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--runs") == 0)
            runs = std::max(1, std::atoi(argv[i + 1]));
        else if (std::strcmp(argv[i], "--data") == 0)
            data = argv[i + 1];
        else if (std::strcmp(argv[i], "--baseline") == 0)
            baseline = argv[i + 1];
    }
    ::mkdir(data.c_str(), 0755);
    // Packing takes far more memory than unpacking; a child does it, so that the peak of this
    // process, which the children it starts inherit until they exec, stays small.
    const pid_t packer = fork();
    if (packer == 0) {
        for (const std::string& name : kPlainFiles)
            prepare(data, name, false);
        for (const std::string& name : kClientFiles) {
            prepare(data, name, true);
            prepare(data, name, false);
        }
        std::exit(0);
    }
    if (packer < 0 || reap(packer) < 0)
        return 1;

    char pattern[] = "/tmp/vl_unpack_bench_XXXXXX";
    if (!mkdtemp(pattern)) {
        std::perror("mkdtemp");
        return 1;
    }
    const std::string scratch = pattern;

    std::vector<Row> rows;
    Row plain{"plain containers, 3 libraries", {}, {}};
    for (const std::string& name : kPlainFiles) {
        plain.childArgs.push_back(data + "/" + name + ".plain._lzma2_");
        plain.childArgs.push_back(scratch + "/" + name);
        plain.xzFiles.push_back(xzFileOf(data, name));
    }
    rows.push_back(plain);
    rows.push_back({"preprocessed container, libLLVM-15",
                    {data + "/" + kPreprocessedFile + ".pre._lzma2_", scratch + "/" + kPreprocessedFile},
                    {xzFileOf(data, kPreprocessedFile)}});
    for (const char* kind : {"pre", "plain"}) {
        Row client{std::string(kind) == "pre" ? "stage-two unpacks, 4 files, 2 at once"
                                              : "the same, plain containers",
                   {"-j", "2"},
                   {}};
        for (const std::string& name : kClientFiles) {
            client.childArgs.push_back(data + "/" + name + "." + kind + "._lzma2_");
            client.childArgs.push_back(scratch + "/" + name);
            client.xzFiles.push_back(xzFileOf(data, name));
        }
        rows.push_back(client);
    }

    std::printf("%-40s %10s %10s %8s %12s %10s", "row (median of runs)", "updater s", "xz -d s", "ratio",
                "updater MiB", "xz MiB");
    if (!baseline.empty())
        std::printf(" %11s %8s %13s", "baseline s", "ratio", "baseline MiB");
    std::printf("\n");
    for (const Row& row : rows) {
        std::vector<double> ours, oursPeak, xz, xzPeak, base, basePeak;
        for (int i = 0; i < runs; ++i) {
            std::vector<std::string> args = {argv[0], "unpack"};
            args.insert(args.end(), row.childArgs.begin(), row.childArgs.end());
            const Run our = timed(args);
            ours.push_back(our.seconds);
            oursPeak.push_back(our.peakMiB);
            const Run theirs = xzAll(row.xzFiles, scratch);
            xz.push_back(theirs.seconds);
            xzPeak.push_back(theirs.peakMiB);
            if (!baseline.empty()) {
                args[0] = baseline;
                const Run before = timed(args);
                base.push_back(before.seconds);
                basePeak.push_back(before.peakMiB);
            }
        }
        std::printf("%-40s %10.3f %10.3f %7.2fx %12.1f %10.1f", row.name, median(ours), median(xz),
                    median(ours) / median(xz), median(oursPeak), median(xzPeak));
        if (!baseline.empty())
            std::printf(" %11.3f %7.2fx %13.1f", median(base), median(base) / median(xz), median(basePeak));
        std::printf("\n");
        std::fflush(stdout);
    }
    runTool({"rm", "-rf", scratch});
    return 0;
}
