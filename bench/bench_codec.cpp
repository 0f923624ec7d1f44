// Frame building and the receive path, from bytes to parameters, with the
// targets the receive path is held to printed as ratios of this one run.
#include "property/ktdeviceproperty.h"
#include "property/ktframe.h"
#include "plugin/ktmrc600cam.h"

#include <QCoreApplication>
#include <QLoggingCategory>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <vector>

namespace {

// The fastest repetition (and the most items per second): what the code
// costs when the machine's other load leaves it alone.
double minOf(const std::vector<double> &v)
{
    return *std::min_element(v.begin(), v.end());
}
double maxOf(const std::vector<double> &v)
{
    return *std::max_element(v.begin(), v.end());
}
void withMinAndMax(benchmark::internal::Benchmark *b)
{
    b->ComputeStatistics("min", minOf)->ComputeStatistics("max", maxOf);
}

// About 1 MiB of the replies a machine sends for parameter reads.
QByteArray replyStream(int *count = nullptr)
{
    const QByteArray replies[] = {KTFrame::pack("3:700;", "CMD"), KTFrame::pack("GET11:4464;12:1;13:0;", "CMD"),
                                  KTFrame::pack("57,0,7F3A9C21;", "CCMD"),
                                  KTFrame::pack("2,0,KT,D24001,P7316,V2.1,1.0.8,C3;", "CCMD")};
    QByteArray stream;
    int i = 0;
    for (; stream.size() < 1024 * 1024; ++i)
        stream += replies[i % 4];
    if (count)
        *count = i;
    return stream;
}

std::unique_ptr<KTCommonInterface> fullDevice()
{
    KTMRC600Cam root;
    return std::unique_ptr<KTCommonInterface>(static_cast<KTCommonInterface *>(root.initInstance()));
}

void BM_PackSmall(benchmark::State &state)
{
    const QString body = QStringLiteral("SET125:2;");
    for (auto _ : state)
        benchmark::DoNotOptimize(KTFrame::pack(body, QStringLiteral("CMD")));
}
BENCHMARK(BM_PackSmall)->Apply(withMinAndMax);

void BM_PackLarge(benchmark::State &state)
{
    const QString body(10 * 1024 * 1024, QLatin1Char('P'));
    for (auto _ : state)
        benchmark::DoNotOptimize(KTFrame::pack(body, QStringLiteral("PLT")));
    state.SetBytesProcessed(state.iterations() * body.size());
}
BENCHMARK(BM_PackLarge)->Apply(withMinAndMax)->Unit(benchmark::kMillisecond);

// The floor: finding every STX and ETX of the stream with memchr.
void BM_MemchrScan(benchmark::State &state)
{
    const QByteArray stream = replyStream();
    for (auto _ : state) {
        const char *p = stream.constData();
        const char *end = p + stream.size();
        int frames = 0;
        while (p < end) {
            const char *stx = static_cast<const char *>(memchr(p, KTFrame::STX, size_t(end - p)));
            if (!stx)
                break;
            const char *etx = static_cast<const char *>(memchr(stx, KTFrame::ETX, size_t(end - stx)));
            if (!etx)
                break;
            ++frames;
            p = etx + 1;
        }
        benchmark::DoNotOptimize(frames);
    }
    state.SetBytesProcessed(state.iterations() * stream.size());
}
BENCHMARK(BM_MemchrScan)->Apply(withMinAndMax)->Unit(benchmark::kMicrosecond);

// Cutting the same stream into frames and reading each as a reply value.
void BM_DecodeReplyFrames(benchmark::State &state)
{
    int count = 0;
    const QByteArray stream = replyStream(&count);
    for (auto _ : state) {
        QByteArray buffer = stream;
        KTFrame::Cutter cutter;
        int start = 0;
        int length = 0;
        int values = 0;
        while (cutter.next(buffer, &start, &length)) {
            const KTFrame::Reply reply =
                KTFrame::parseReply(KTFrame::frameText(QByteArray::fromRawData(buffer.constData() + start, length)));
            values += reply.values.size();
        }
        cutter.compact(buffer);
        benchmark::DoNotOptimize(values);
    }
    state.SetBytesProcessed(state.iterations() * stream.size());
    state.SetItemsProcessed(state.iterations() * count);
}
BENCHMARK(BM_DecodeReplyFrames)->Apply(withMinAndMax)->Unit(benchmark::kMicrosecond);

// Replies through the receive buffer and both dispatchers into the
// parameters of the full 51-key device, in one read.
void BM_RepliesThroughDispatch(benchmark::State &state)
{
    int count = 0;
    const QByteArray stream = replyStream(&count);
    auto device = fullDevice();
    for (auto _ : state)
        device->slot_usb_read(stream);
    state.SetItemsProcessed(state.iterations() * count);
}
BENCHMARK(BM_RepliesThroughDispatch)->Apply(withMinAndMax)->Unit(benchmark::kMillisecond);

// The same 1 MiB in reads of the given size (0: one piece).
void BM_DecodeBuffer(benchmark::State &state)
{
    const QByteArray stream = replyStream();
    const int chunk = int(state.range(0)) == 0 ? stream.size() : int(state.range(0));
    auto device = fullDevice();
    QVector<QByteArray> chunks;
    for (int at = 0; at < stream.size(); at += chunk)
        chunks.append(stream.mid(at, chunk));
    for (auto _ : state) {
        for (const QByteArray &c : qAsConst(chunks))
            device->slot_usb_read(c);   // what the transports call
    }
    state.SetBytesProcessed(state.iterations() * stream.size());
}
BENCHMARK(BM_DecodeBuffer)->Apply(withMinAndMax)->Arg(0)->Arg(10240)->Arg(1)->Unit(benchmark::kMillisecond);

// A port that sends no frame: N MiB in reads of 10240 bytes of zeros (no
// STX), of frame starts that never end, or of one STX and then nothing that
// ends it. Time per MiB stays the same at any N when nothing is quadratic.
void BM_GarbageFlood(benchmark::State &state)
{
    QByteArray chunk(10240, '\0');
    if (state.range(0) == 1) {
        const QByteArray start("\x02" "18;CMD;SET3:700;");
        for (int at = 0; at + start.size() <= chunk.size(); at += start.size())
            std::memcpy(chunk.data() + at, start.constData(), size_t(start.size()));
    }
    QByteArray first = chunk;
    if (state.range(0) == 2)
        first[0] = KTFrame::STX;
    const qint64 reads = state.range(1) * 1024 * 1024 / chunk.size();
    auto device = fullDevice();
    for (auto _ : state) {
        device->slot_usb_read(first);
        for (qint64 i = 1; i < reads; ++i)
            device->slot_usb_read(chunk);
    }
    state.SetBytesProcessed(state.iterations() * reads * chunk.size());
}
BENCHMARK(BM_GarbageFlood)
    ->Apply(withMinAndMax)
    ->ArgsProduct({{0, 1, 2}, {4, 32}})
    ->Unit(benchmark::kMillisecond);

// Prints the usual table, then the ratios the receive path is held to.
class RatioReporter : public benchmark::ConsoleReporter
{
public:
    void ReportRuns(const std::vector<Run> &runs) override
    {
        // Single runs when they are shown, the min and max aggregates of
        // repetitions otherwise.
        for (const Run &run : runs) {
            const bool single = run.run_type == Run::RT_Iteration && run.iterations > 0;
            const std::string name = run.run_name.str();
            if (single || run.aggregate_name == "min") {
                const double t = run.GetAdjustedCPUTime() / benchmark::GetTimeUnitMultiplier(run.time_unit);
                if (!timePerIteration.count(name) || t < timePerIteration[name])
                    timePerIteration[name] = t;
            }
            if ((single || run.aggregate_name == "max") && run.counters.count("items_per_second"))
                itemsPerSecond[name] = std::max(itemsPerSecond[name], double(run.counters.at("items_per_second")));
        }
        ConsoleReporter::ReportRuns(runs);
    }
    void Finalize() override
    {
        ConsoleReporter::Finalize();
        auto ratio = [this](const char *a, const char *b) {
            return timePerIteration.count(a) && timePerIteration.count(b) && timePerIteration[b] > 0
                       ? timePerIteration[a] / timePerIteration[b]
                       : -1.0;
        };
        const double replies = itemsPerSecond.count("BM_RepliesThroughDispatch")
                                   ? itemsPerSecond["BM_RepliesThroughDispatch"]
                                   : -1;
        printf("\nreplies/s through buffer and dispatch: %.0f (target >= 2000000)\n", replies);
        printf("reply frames decoded / memchr scan: %.1fx (target <= 40x)\n",
               ratio("BM_DecodeReplyFrames", "BM_MemchrScan"));
        printf("1 MiB in 1-byte reads / in one piece: %.2fx (target <= 3x)\n",
               ratio("BM_DecodeBuffer/1", "BM_DecodeBuffer/0"));
        for (const char *kind : {"0", "1", "2"})
            printf("garbage %s: 32 MiB / 4 MiB: %.1fx (linear: 8x)\n", kind,
                   ratio((std::string("BM_GarbageFlood/") + kind + "/32").c_str(),
                         (std::string("BM_GarbageFlood/") + kind + "/4").c_str()));
    }

private:
    std::map<std::string, double> timePerIteration;   // seconds
    std::map<std::string, double> itemsPerSecond;
};

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QLoggingCategory::setFilterRules(QStringLiteral("kt.*.debug=false"));
    // Repetitions interleaved at random, so that the ratios compare runs
    // made side by side under the same load; any flag given wins.
    std::vector<char *> args(argv, argv + argc);
    char repetitions[] = "--benchmark_repetitions=5";
    char interleave[] = "--benchmark_enable_random_interleaving=true";
    char aggregates[] = "--benchmark_display_aggregates_only=true";
    args.insert(args.begin() + 1, {repetitions, interleave, aggregates});
    int count = int(args.size());
    benchmark::Initialize(&count, args.data());
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    return 0;
}
