// SHA-512 of one large file by the updater's check (CheckSigFunc) and by sha512sum, on the same
// file in the same run, from the page cache. Prints the time ratio and the check's peak memory.
//
//   VL_SHA512_BENCH_MIB=1024 ./bench/sha512_bench     (file size in MiB, default 512)
#include "checksignaturetaskspecification.h"

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>
#include <sys/resource.h>

namespace {

QString g_file;
QString g_digest;
qint64 g_size = 0;

long peakRssKiB()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

bool makeFile(const QString& path, qint64 size)
{
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly))
        return false;
    QByteArray block(1 << 20, Qt::Uninitialized);
    quint64 x = 0x9e3779b97f4a7c15ull;
    for (qint64 written = 0; written < size; written += block.size()) {
        for (int i = 0; i + 8 <= block.size(); i += 8) {
            x ^= x << 13;
            x ^= x >> 7;
            x ^= x << 17;
            memcpy(block.data() + i, &x, 8);
        }
        if (f.write(block.constData(), std::min<qint64>(block.size(), size - written)) < 0)
            return false;
    }
    return f.flush();
}

QString sha512sum()
{
    QProcess p;
    p.start("sha512sum", {g_file});
    if (!p.waitForFinished(-1) || p.exitCode() != 0)
        return QString();
    const QByteArray out = p.readAllStandardOutput();
    return QString::fromLatin1(out.left(out.indexOf(' ')));
}

void CheckSigFuncSha512(benchmark::State& state)
{
    const long before = peakRssKiB();
    for (auto _ : state) {
        CheckSigFunc check(g_file, g_digest);
        if (!check.run())
            state.SkipWithError("digest mismatch");
    }
    state.SetBytesProcessed(state.iterations() * g_size);
    state.counters["peak_rss_growth_MiB"] = double(peakRssKiB() - before) / 1024.0;
}

void Sha512sum(benchmark::State& state)
{
    for (auto _ : state) {
        if (sha512sum() != g_digest)
            state.SkipWithError("sha512sum failed");
    }
    state.SetBytesProcessed(state.iterations() * g_size);
}

BENCHMARK(CheckSigFuncSha512)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3);
BENCHMARK(Sha512sum)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3);

// Collects each benchmark's real times for the ratio printed at the end.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    RatioReporter() : ConsoleReporter(OO_Tabular) {}
    void ReportRuns(const std::vector<Run>& runs) override
    {
        for (const Run& run : runs) {
            if (run.run_type == Run::RT_Iteration)
                times[run.run_name.function_name].push_back(run.GetAdjustedRealTime());
            else if (run.aggregate_name == "median")
                medians[run.run_name.function_name] = run.GetAdjustedRealTime();
        }
        ConsoleReporter::ReportRuns(runs);
    }
    double median(const std::string& name)
    {
        std::vector<double> t = times[name];
        if (t.empty())
            return medians[name];
        std::sort(t.begin(), t.end());
        return t[t.size() / 2];
    }
    std::map<std::string, std::vector<double>> times;
    std::map<std::string, double> medians;
};

void quiet(QtMsgType, const QMessageLogContext&, const QString&) {}

} // namespace

int main(int argc, char** argv)
{
    qInstallMessageHandler(quiet);
    benchmark::Initialize(&argc, argv);
    const char* mib = std::getenv("VL_SHA512_BENCH_MIB");
    g_size = qint64(mib ? std::atoll(mib) : 512) << 20;
    QTemporaryDir dir;
    g_file = dir.filePath("large.bin");
    if (!dir.isValid() || !makeFile(g_file, g_size)) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(g_file));
        return 1;
    }
    g_digest = sha512sum();
    if (g_digest.size() != 128) {
        std::fprintf(stderr, "sha512sum failed\n");
        return 1;
    }
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    const double ours = reporter.median("CheckSigFuncSha512");
    const double theirs = reporter.median("Sha512sum");
    if (ours > 0 && theirs > 0)
        std::printf("CheckSigFunc / sha512sum time ratio (medians) on %lld MiB: %.3f\n", g_size >> 20, ours / theirs);
    return 0;
}
