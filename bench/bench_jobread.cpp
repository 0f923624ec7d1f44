// Job files read as a job: a plain read of the bytes beside reading them
// into the path model and writing the normalized job into a file, and
// beside KTCutJob holding the job for the plug-in, for a 100 MB HPGL file
// and a 20 MB SVG, with the time ratio and each phase's peak memory against
// the file's size.
//
// Peak memory: before each phase the heap is trimmed and the kernel's peak
// resident size is reset (writing 5 to /proc/self/clear_refs); the phase's
// peak is VmHWM afterwards less VmRSS before, so the file's bytes, the model
// and the written job all count.
#include "job/ktcutjob.h"
#include "job/kthpgl.h"
#include "job/ktjobpaths.h"
#include "job/ktjobreaders.h"

#include <QGuiApplication>
#include <QFile>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <malloc.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <map>
#include <memory>

namespace {

std::unique_ptr<QTemporaryDir> g_dir;
QString g_hpgl, g_svg;

qint64 statusBytes(const char *key)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith(key))
            return line.mid(int(qstrlen(key))).trimmed().split(' ').value(0).toLongLong() * 1024;
    }
    return 0;
}

void resetPeak()
{
    malloc_trim(0);
    QFile refs(QStringLiteral("/proc/self/clear_refs"));
    if (refs.open(QIODevice::WriteOnly))
        refs.write("5");
}

// About 100 MB of cut data as programs write it: absolute polylines, with
// arcs, circles and PE-encoded runs mixed in. An arc becomes some forty
// chords, so how many there are sets the size of the job written.
void writeHpgl(const QString &path, qint64 size)
{
    QFile out(path);
    out.open(QIODevice::WriteOnly);
    QByteArray chunk = "IN;SP1;VS20;";
    char buf[96];
    for (int i = 0; chunk.size() < (1 << 20); ++i) {
        const int x = (i * 37) % 30000, y = (i * 91) % 20000;
        chunk.append(buf, std::snprintf(buf, sizeof buf, "PU%d,%d;PD%d,%d,%d,%d,%d,%d;", x, y, x + 400, y, x + 400, y + 300, x, y + 300));
        if (i % 64 == 0)
            chunk.append(buf, std::snprintf(buf, sizeof buf, "AA%d,%d,135;", x + 200, y + 150));
        if (i % 128 == 0)
            chunk.append(buf, std::snprintf(buf, sizeof buf, "PU%d,%d;CI120;", x, y));
        if (i % 32 == 0)
            chunk.append("PE7<=__?Yf__?\\b@Yf__@\\b;PU;");
    }
    for (qint64 written = 0; written < size; written += chunk.size())
        out.write(chunk);
}

// About 20 MB of SVG: many paths of lines and cubic curves, 100 x 100 mm.
void writeSvg(const QString &path, qint64 size)
{
    QFile out(path);
    out.open(QIODevice::WriteOnly);
    out.write("<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"100mm\" height=\"100mm\" viewBox=\"0 0 1000 1000\">\n");
    char buf[256];
    for (int i = 0; out.size() < size; ++i) {
        const double x = (i * 37) % 900, y = (i * 91) % 900;
        out.write(buf, std::snprintf(buf, sizeof buf,
                                     "<path fill=\"none\" stroke=\"#000\" d=\"M%.1f %.1f C%.1f %.1f %.1f %.1f %.1f %.1f "
                                     "L%.1f %.1f Q%.1f %.1f %.1f %.1f Z\"/>\n",
                                     x, y, x + 20, y - 10, x + 40, y + 30, x + 60, y + 5, x + 60, y + 50, x + 30, y + 80, x, y + 50));
    }
    out.write("</svg>\n");
}

struct Phase
{
    double seconds = 0;
    qint64 peak = 0;
};

template<typename Work>
Phase measure(Work work)
{
    // The jobs written before are on disk before the clock starts: their
    // writing back is no phase's cost.
    ::sync();
    resetPeak();
    const qint64 before = statusBytes("VmRSS:");
    const auto start = std::chrono::steady_clock::now();
    work();
    Phase p;
    p.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    p.peak = statusBytes("VmHWM:") - before;
    QFile::remove(g_dir->filePath(QStringLiteral("job.plt")));
    return p;
}

QByteArray readAll(const QString &path)
{
    QFile file(path);
    file.open(QIODevice::ReadOnly);
    return file.readAll();
}

qint64 plainRead(const QString &path)
{
    const QByteArray bytes = readAll(path);
    return std::count(bytes.cbegin(), bytes.cend(), ';') + std::count(bytes.cbegin(), bytes.cend(), '>');
}

// Normalizing as convert does it: the file read into the model, its bytes
// let go, and the job written into a file as it is made.
qint64 writeJob(const KTJob::Paths &paths)
{
    QFile out(g_dir->filePath(QStringLiteral("job.plt")));
    out.open(QIODevice::WriteOnly);
    return KTJob::writeHpgl(paths, &out);
}

qint64 normalizeHpgl(const QString &path)
{
    KTJob::Paths paths;
    {
        const QByteArray bytes = readAll(path);
        KTHpgl::Options options;
        options.paths = &paths;
        KTHpgl::readHpgl(bytes, KTHpgl::SegmentSink(), options);
    }
    return writeJob(paths);
}

// What a host that cuts holds: KTCutJob reads and checks the file and holds
// the model and the whole job, which the plug-in takes as one text.
qint64 cutJob(const QString &path)
{
    KTCutJob job;
    job.load(path);
    if (!job.refusal().isEmpty())
        std::fprintf(stderr, "%s\n", qPrintable(job.refusal()));
    return job.cutData().size();
}

qint64 normalizeSvg(const QString &path)
{
    KTJob::Paths paths;
    {
        const QByteArray bytes = readAll(path);
        KTJob::readSvg(bytes, &paths);
    }
    return writeJob(paths);
}

void run(benchmark::State &state, const QString &path, qint64 (*work)(const QString &))
{
    const double fileBytes = double(QFile(path).size());
    double peak = 0, fastest = HUGE_VAL;
    qint64 out = 0;
    for (auto _ : state) {
        const Phase p = measure([&] { out = work(path); });
        state.SetIterationTime(p.seconds);
        peak = std::max(peak, double(p.peak));
        fastest = std::min(fastest, p.seconds);
    }
    state.counters["fastest_ms"] = fastest * 1000;
    state.counters["peak_MiB"] = peak / 1048576.0;
    state.counters["peak_per_file"] = peak / fileBytes;
    state.counters["out_MiB"] = double(out) / 1048576.0;
    state.SetBytesProcessed(qint64(state.iterations() * fileBytes));
}

void BM_HpglPlainRead(benchmark::State &state) { run(state, g_hpgl, plainRead); }
void BM_HpglNormalize(benchmark::State &state) { run(state, g_hpgl, normalizeHpgl); }
void BM_HpglCutJob(benchmark::State &state) { run(state, g_hpgl, cutJob); }
void BM_SvgPlainRead(benchmark::State &state) { run(state, g_svg, plainRead); }
void BM_SvgNormalize(benchmark::State &state) { run(state, g_svg, normalizeSvg); }
void BM_SvgCutJob(benchmark::State &state) { run(state, g_svg, cutJob); }
BENCHMARK(BM_HpglPlainRead)->Iterations(5)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_HpglNormalize)->Iterations(5)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_HpglCutJob)->Iterations(5)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SvgPlainRead)->Iterations(5)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SvgNormalize)->Iterations(5)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SvgCutJob)->Iterations(5)->UseManualTime()->Unit(benchmark::kMillisecond);

// The usual table, then the ratios the readers are held to.
class RatioReporter : public benchmark::ConsoleReporter
{
public:
    void ReportRuns(const std::vector<Run> &runs) override
    {
        for (const Run &run : runs) {
            if (run.run_type != Run::RT_Iteration || run.iterations <= 0)
                continue;
            const std::string name = run.benchmark_name();
            // The fastest of the iterations: what the machine's other
            // work did not slow (the machines are shared).
            const auto fastest = run.counters.find("fastest_ms");
            m_time[name] = fastest != run.counters.end() ? fastest->second.value : run.GetAdjustedRealTime();
            const auto peak = run.counters.find("peak_per_file");
            if (peak != run.counters.end())
                m_peak[name] = peak->second.value;
        }
        ConsoleReporter::ReportRuns(runs);
    }
    void Finalize() override
    {
        ConsoleReporter::Finalize();
        for (const char *kind : {"Hpgl", "Svg"}) {
            const std::string plain = std::string("BM_") + kind + "PlainRead/iterations:5/manual_time";
            const std::string normal = std::string("BM_") + kind + "Normalize/iterations:5/manual_time";
            const std::string job = std::string("BM_") + kind + "CutJob/iterations:5/manual_time";
            if (!m_time.count(plain) || !m_time.count(normal) || !m_time.count(job) || m_time[plain] <= 0)
                continue;
            std::printf("%s (fastest of each): normalize / plain read: %.1fx (target <= 10x); peak memory / file: plain %.2fx, "
                        "normalize %.2fx (target <= 3x); KTCutJob: %.1fx the time, %.2fx the file\n",
                        kind, m_time[normal] / m_time[plain], m_peak[plain], m_peak[normal],
                        m_time[job] / m_time[plain], m_peak[job]);
        }
    }

private:
    std::map<std::string, double> m_time, m_peak;
};

} // namespace

int main(int argc, char **argv)
{
    // The SVG reader paints, and so wants a GUI application; never a window.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    g_dir = std::make_unique<QTemporaryDir>();
    g_hpgl = g_dir->filePath(QStringLiteral("job.hpgl"));
    g_svg = g_dir->filePath(QStringLiteral("job.svg"));
    writeHpgl(g_hpgl, qint64(100) << 20);
    writeSvg(g_svg, qint64(20) << 20);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    g_dir.reset();
    return 0;
}
