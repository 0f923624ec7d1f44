// A host's round trips: kt-host's info reads through the loaded plug-in
// against the same reads by a plain socket client, on one virtual cutter.
#include "tools/host/kthost.h"
#include "tools/host/ktvalue.h"
#include "tools/virtual-cutter/ktvirtualcutter.h"
#include "property/ktdeviceproperty.h"

#include <QCoreApplication>
#include <QLoggingCategory>
#include <QHostAddress>
#include <QTcpSocket>

#include <benchmark/benchmark.h>

namespace {

KTVirtualCutter *g_cutter = nullptr;

// What info reads: every readable parameter of the system page.
QList<KTDeviceProperty *> infoParameters(KTDeviceInterface *d)
{
    QList<KTDeviceProperty *> list;
    for (const QString &key : d->sysProperty()) {
        KTDeviceProperty *p = d->property_ptr(key.toLatin1().constData());
        QList<KTDeviceProperty *> parts{p};
        if (p && p->get_cmd_bytes().isEmpty()) {
            parts.clear();
            for (const auto &child : p->childProperties())
                parts << child.second;
        }
        for (KTDeviceProperty *part : parts) {
            if (part && KTValue::canRead(part))
                list << part;
        }
    }
    return list;
}

void BM_InfoThroughHost(benchmark::State &state)
{
    KTHost host;
    QString error;
    if (!host.load(QStringLiteral(KT_PLUGIN_PATH), &error)
        || !host.connectTcp(QStringLiteral("127.0.0.1:%1").arg(g_cutter->tcpPort()), 5000, &error)) {
        state.SkipWithError(qPrintable(error));
        return;
    }
    const QList<KTDeviceProperty *> reads = infoParameters(host.device());
    for (auto _ : state) {
        for (KTDeviceProperty *p : reads) {
            if (!host.read(p, 5000, &error))
                state.SkipWithError(qPrintable(error));
        }
    }
    state.counters["reads"] = reads.size();
}
BENCHMARK(BM_InfoThroughHost)->Unit(benchmark::kMicrosecond)->UseRealTime();

void BM_InfoPlainClient(benchmark::State &state)
{
    KTHost host;   // only for the frames: the parameters build them
    QString error;
    if (!host.load(QStringLiteral(KT_PLUGIN_PATH), &error)) {
        state.SkipWithError(qPrintable(error));
        return;
    }
    QList<QByteArray> frames;
    for (KTDeviceProperty *p : infoParameters(host.device()))
        frames << p->get_cmd_bytes();
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, g_cutter->tcpPort());
    socket.setSocketOption(QAbstractSocket::LowDelayOption, 1);
    while (socket.state() != QAbstractSocket::ConnectedState)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    for (auto _ : state) {
        for (const QByteArray &frame : frames) {
            socket.write(frame);
            QByteArray reply;
            while (!reply.contains('\x03')) {
                QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
                reply += socket.readAll();
            }
        }
    }
    state.counters["reads"] = frames.size();
}
BENCHMARK(BM_InfoPlainClient)->Unit(benchmark::kMicrosecond)->UseRealTime();

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QLoggingCategory::setFilterRules(QStringLiteral("*.debug=false"));
    KTVirtualCutter cutter;
    if (!cutter.listenTcp(0))
        return 1;
    g_cutter = &cutter;
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    return 0;
}
