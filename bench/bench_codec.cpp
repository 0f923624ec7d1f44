// Frame building and the receive path, from bytes to parameters.
#include "property/ktdeviceproperty.h"
#include "property/ktframe.h"
#include "plugin/ktmrc600cam.h"

#include <QCoreApplication>
#include <QLoggingCategory>

#include <benchmark/benchmark.h>

namespace {

// About 1 MB of replies a machine sends for parameter reads.
QByteArray replyStream()
{
    const QByteArray replies[] = {KTFrame::pack("3:700;", "CMD"), KTFrame::pack("GET11:4464;12:1;13:0;", "CMD"),
                                  KTFrame::pack("57,0,7F3A9C21;", "CCMD"),
                                  KTFrame::pack("2,0,KT,D24001,P7316,V2.1,1.0.8,C3;", "CCMD")};
    QByteArray stream;
    for (int i = 0; stream.size() < 1024 * 1024; ++i)
        stream += replies[i % 4];
    return stream;
}

void BM_PackSmall(benchmark::State &state)
{
    const QString body = QStringLiteral("SET125:2;");
    for (auto _ : state)
        benchmark::DoNotOptimize(KTFrame::pack(body, QStringLiteral("CMD")));
}
BENCHMARK(BM_PackSmall);

void BM_PackLarge(benchmark::State &state)
{
    const QString body(10 * 1024 * 1024, QLatin1Char('P'));
    for (auto _ : state)
        benchmark::DoNotOptimize(KTFrame::pack(body, QStringLiteral("PLT")));
    state.SetBytesProcessed(state.iterations() * body.size());
}
BENCHMARK(BM_PackLarge)->Unit(benchmark::kMillisecond);

void BM_DecodeBuffer(benchmark::State &state)
{
    const QByteArray stream = replyStream();
    const int chunk = int(state.range(0)) == 0 ? stream.size() : int(state.range(0));
    KTMRC600Cam root;
    std::unique_ptr<KTCommonInterface> device(static_cast<KTCommonInterface *>(root.initInstance()));
    QVector<QByteArray> chunks;
    for (int at = 0; at < stream.size(); at += chunk)
        chunks.append(stream.mid(at, chunk));
    for (auto _ : state) {
        for (const QByteArray &c : qAsConst(chunks))
            device->slot_usb_read(c);   // what the transports call
    }
    state.SetBytesProcessed(state.iterations() * stream.size());
}
BENCHMARK(BM_DecodeBuffer)->Arg(0)->Arg(10240)->Arg(1)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false"));
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    return 0;
}
