// kt-host cut of a 20 MiB and a 100 MiB job against the same frames pushed by
// a plain socket client that waits for the same completion report from the
// same virtual cutter; both are processes, timed and measured side by side.
#include "property/ktframe.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QHostAddress>
#include <QProcess>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>

#include <benchmark/benchmark.h>

namespace {

quint16 g_port = 0;
std::unique_ptr<QTemporaryDir> g_dir;

// The machine's last report of a finished job: status 1, every copy, 100 %.
bool finishedReport(const QByteArray &in)
{
    return in.contains(",1,1,100.0,0,0,0;");
}

// The plain client: the copies frame and the job frame written as they are,
// then the reports read until the job is finished.
int plainClient(const QString &file, quint16 port)
{
    QFile f(file);
    if (!f.open(QIODevice::ReadOnly))
        return 2;
    QByteArray body = f.readAll();
    qint64 total = body.size() + 7;   // STX, ";PLT;" and ETX; then the length itself
    total += QByteArray::number(total + QByteArray::number(total).size()).size();
    QByteArray frame;
    frame.reserve(int(total));
    frame.append(KTFrame::STX).append(QByteArray::number(total)).append(";PLT;").append(body).append(KTFrame::ETX);
    body = QByteArray();
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    if (!socket.waitForConnected(5000))
        return 3;
    socket.write(KTFrame::pack("NUM:1;", "CMD"));
    socket.write(frame);
    frame = QByteArray();
    QByteArray in;
    while (!finishedReport(in)) {
        if (!socket.waitForReadyRead(30000))
            return 3;
        in += socket.readAll();
        in = in.right(4096);
    }
    return 0;
}

struct Outcome
{
    double seconds = 0;
    qint64 peakBytes = 0;
    int exitCode = -1;
};

// Runs a program to its end, sampling its high-water mark of resident memory.
Outcome measure(const QString &program, const QStringList &args)
{
    QProcess p;
    p.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    p.setStandardOutputFile(QProcess::nullDevice());
    Outcome o;
    QTimer sample;
    QObject::connect(&sample, &QTimer::timeout, [&] {
        QFile status(QStringLiteral("/proc/%1/status").arg(p.processId()));
        if (!status.open(QIODevice::ReadOnly))
            return;
        for (const QByteArray &line : status.readAll().split('\n')) {
            if (line.startsWith("VmHWM:"))
                o.peakBytes = qMax(o.peakBytes, line.mid(6).trimmed().split(' ').first().toLongLong() * 1024);
        }
    });
    QEventLoop loop;
    QObject::connect(&p, qOverload<int, QProcess::ExitStatus>(&QProcess::finished), &loop, &QEventLoop::quit);
    QElapsedTimer clock;
    clock.start();
    p.start(program, args);
    sample.start(2);
    loop.exec();
    o.seconds = clock.elapsed() / 1000.0;
    o.exitCode = p.exitCode();
    return o;
}

QString jobFile(int mib)
{
    const QString path = g_dir->filePath(QStringLiteral("job%1.plt").arg(mib));
    if (QFile::exists(path))
        return path;
    QFile f(path);
    f.open(QIODevice::WriteOnly);
    QByteArray job("IN;SP1;PU0,0;");
    job.reserve(mib * 1024 * 1024);
    for (int i = 0; job.size() < mib * 1024 * 1024 - 32; ++i) {
        job += i % 50 ? "PD" : "PU";
        job += QByteArray::number(i % 100000) + ',' + QByteArray::number(i % 7919) + ';';
    }
    f.write(job + "PU0,0;");
    return path;
}

const QString host()
{
    return QCoreApplication::applicationDirPath() + "/kt-host";
}

void BM_CutJobHostAgainstPlainSocket(benchmark::State &state)
{
    const int mib = int(state.range(0));
    const QString file = jobFile(mib);
    const qint64 jobBytes = QFile(file).size();
    const QStringList hostArgs{"--tcp", QStringLiteral("127.0.0.1:%1").arg(g_port), "cut", file};
    // What kt-host holds before any job: the plug-in, Qt and a one-line job.
    const QString tiny = g_dir->filePath("tiny.plt");
    {
        QFile t(tiny);
        t.open(QIODevice::WriteOnly);
        t.write("IN;PU0,0;PD400,0;");
    }
    const Outcome idle = measure(host(), {"--tcp", QStringLiteral("127.0.0.1:%1").arg(g_port), "cut", tiny});
    double hostTotal = 0, plainTotal = 0;
    qint64 hostPeak = 0, plainPeak = 0;
    for (auto _ : state) {
        const Outcome plain = measure(QCoreApplication::applicationFilePath(),
                                      {"--plain-client", file, QString::number(g_port)});
        const Outcome viaHost = measure(host(), hostArgs);
        if (plain.exitCode != 0 || viaHost.exitCode != 0 || idle.exitCode != 0) {
            state.SkipWithError("a run failed");
            return;
        }
        state.SetIterationTime(viaHost.seconds);
        hostTotal += viaHost.seconds;
        plainTotal += plain.seconds;
        hostPeak = qMax(hostPeak, viaHost.peakBytes);
        plainPeak = qMax(plainPeak, plain.peakBytes);
    }
    const double n = double(state.iterations());
    state.counters["host_s"] = hostTotal / n;
    state.counters["plain_s"] = plainTotal / n;
    state.counters["time_ratio"] = hostTotal / plainTotal;
    state.counters["host_peak_MiB"] = hostPeak / 1048576.0;
    state.counters["plain_peak_MiB"] = plainPeak / 1048576.0;
    state.counters["host_idle_MiB"] = idle.peakBytes / 1048576.0;
    state.counters["host_peak_per_job"] = double(hostPeak) / jobBytes;
    state.counters["host_job_peak_per_job"] = double(hostPeak - idle.peakBytes) / jobBytes;
    state.counters["plain_peak_per_job"] = double(plainPeak) / jobBytes;
    state.SetBytesProcessed(qint64(n) * jobBytes);
}
BENCHMARK(BM_CutJobHostAgainstPlainSocket)->Arg(20)->Arg(100)->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (argc == 4 && QByteArray(argv[1]) == "--plain-client")
        return plainClient(QString::fromLocal8Bit(argv[2]), quint16(QByteArray(argv[3]).toUInt()));
    benchmark::Initialize(&argc, argv);

    g_dir = std::make_unique<QTemporaryDir>();
    QProcess cutter;
    cutter.start(QCoreApplication::applicationDirPath() + "/kt-virtual-cutter",
                 {"--port", "0", "--speed", "1000000000000"});
    if (!cutter.waitForReadyRead(10000))
        return 1;
    g_port = quint16(QString::fromLatin1(cutter.readLine().trimmed()).section(':', -1).toUInt());
    QObject::connect(&cutter, &QProcess::readyReadStandardOutput, [&cutter] { cutter.readAllStandardOutput(); });

    benchmark::RunSpecifiedBenchmarks();
    cutter.terminate();
    cutter.waitForFinished();
    g_dir.reset();
    return 0;
}
