// A 20 MB cut job through the plug-in against the same bytes on a plain
// socket, and replies per second through the whole receive path.
#include "property/ktdeviceproperty.h"
#include "property/ktframe.h"
#include "plugin/ktmrc600cam.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QLoggingCategory>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <benchmark/benchmark.h>

namespace {

QString g_job;
quint16 g_port = 0;

std::unique_ptr<KTCommonInterface> connectedDevice()
{
    KTMRC600Cam root;
    std::unique_ptr<KTCommonInterface> d(static_cast<KTCommonInterface *>(root.initInstance()));
    d->property_ptr("TCP_PORT")->setValue(int(g_port));
    d->setIPAddress("127.0.0.1");
    QEventLoop loop;
    QObject::connect(d.get(), &KTDeviceInterface::message, &loop, &QEventLoop::quit);
    d->connectDevice();
    loop.exec();
    return d;
}

// The cutter answers a cut job with a task report once the whole frame is in.
void BM_CutJobThroughPlugin(benchmark::State &state)
{
    auto d = connectedDevice();
    for (auto _ : state) {
        QEventLoop loop;
        auto c = QObject::connect(d.get(), &KTDeviceInterface::message, &loop,
                                  [&loop](KTDeviceInterface::KTDeviceMessage kind, QString) {
                                      if (kind == KTDeviceInterface::DevTasK)
                                          loop.quit();
                                  });
        d->setPlt(g_job);
        d->startTask();
        loop.exec();
        QObject::disconnect(c);
        d->setPlt(QString());   // the next job must differ from the last report
    }
    state.SetBytesProcessed(state.iterations() * g_job.size());
}
BENCHMARK(BM_CutJobThroughPlugin)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);

void BM_CutJobPlainSocket(benchmark::State &state)
{
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, g_port);
    socket.waitForConnected();
    const QByteArray copies = KTFrame::pack("NUM:1;", "CMD");
    for (auto _ : state) {
        const QByteArray frame = KTFrame::pack(g_job, "PLT");
        socket.write(copies);
        socket.write(frame);
        QEventLoop loop;
        QByteArray in;
        auto c = QObject::connect(&socket, &QTcpSocket::readyRead, &loop, [&] {
            in += socket.readAll();
            if (in.contains(",0,0,0;"))
                loop.quit();
        });
        loop.exec();
        QObject::disconnect(c);
    }
    state.SetBytesProcessed(state.iterations() * g_job.size());
}
BENCHMARK(BM_CutJobPlainSocket)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);

// A local machine that pours reply frames into the device.
void BM_RepliesPerSecond(benchmark::State &state)
{
    QTcpServer server;
    server.listen(QHostAddress::LocalHost, 0);
    KTMRC600Cam root;
    std::unique_ptr<KTCommonInterface> d(static_cast<KTCommonInterface *>(root.initInstance()));
    d->property_ptr("TCP_PORT")->setValue(int(server.serverPort()));
    d->setIPAddress("127.0.0.1");
    d->connectDevice();
    server.waitForNewConnection(5000);
    QTcpSocket *machine = server.nextPendingConnection();
    QCoreApplication::processEvents();

    const int replies = 20000;
    QByteArray burst;
    for (int i = 0; i < replies - 1; ++i)
        burst += KTFrame::pack(i % 2 ? "3:" + QString::number(i % 1000) + ";" : "GET11:4464;12:1;13:0;", "CMD");
    KTDeviceProperty *unique = d->property_ptr("DEVICE_UNIQUE_ID");
    int round = 0;
    for (auto _ : state) {
        const QString mark = QString::number(++round);
        machine->write(burst + KTFrame::pack("57,0," + mark + ";", "CCMD"));
        while (unique->value().toString() != mark)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    state.SetItemsProcessed(state.iterations() * replies);
}
BENCHMARK(BM_RepliesPerSecond)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QLoggingCategory::setFilterRules(QStringLiteral("kt.*.debug=false"));
    benchmark::Initialize(&argc, argv);

    QProcess cutter;
    cutter.start(QCoreApplication::applicationDirPath() + "/kt-virtual-cutter",
                 {"--port", "0", "--speed", "1000000000"});
    if (!cutter.waitForReadyRead(10000))
        return 1;
    g_port = quint16(QString::fromLatin1(cutter.readLine().trimmed()).section(':', -1).toUInt());

    QString job;
    job.reserve(20 * 1024 * 1024);
    job += "IN;PU0,0;";
    for (int i = 0; job.size() < 20 * 1024 * 1024; ++i)
        job += QStringLiteral("PD%1,%2;").arg(i % 100000).arg(i % 7919);
    g_job = job;

    benchmark::RunSpecifiedBenchmarks();
    cutter.terminate();
    cutter.waitForFinished();
    return 0;
}
