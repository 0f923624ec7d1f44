// kt-host cut of a 33-byte job with --cloud, timed end to end as a process,
// with the local cloud service up, down, hanging and failing (500) side by
// side: a sick service may cost the job its short cloud wait, never more.
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QTcpServer>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <memory>

namespace {

std::unique_ptr<QTemporaryDir> g_dir;
quint16 g_cutter = 0;

QString binary(const QString &name)
{
    return QCoreApplication::applicationDirPath() + "/" + name;
}

quint16 freePort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost);
    return probe.serverPort();
}

// A service in one of the modes, or none ("down"); its two bases.
struct Service
{
    std::unique_ptr<QProcess> process;
    QString bases;

    explicit Service(const QString &mode)
    {
        const quint16 rest = freePort(), ws = freePort();
        bases = QStringLiteral("http://127.0.0.1:%1/,ws://127.0.0.1:%2/").arg(rest).arg(ws);
        if (mode == QLatin1String("down"))
            return;
        QStringList args{"--rest-port", QString::number(rest), "--ws-port", QString::number(ws)};
        if (mode == QLatin1String("hang"))
            args << "--hang";
        else if (mode == QLatin1String("fail"))
            args << "--fail" << "500";
        process = std::make_unique<QProcess>();
        process->start(binary("kt-cloud-service"), args);
        process->waitForReadyRead(10000);
    }
    ~Service()
    {
        if (process) {
            process->terminate();
            process->waitForFinished(5000);
        }
    }
};

// Seconds one kt-host cut takes; negative when it failed.
double cutOnce(const QString &mode, int run)
{
    Service service(mode);
    QProcess host;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    // An outbox per run: what one run keeps must not be sent by the next.
    env.insert("XDG_DATA_HOME", g_dir->filePath(QStringLiteral("%1-%2").arg(mode).arg(run)));
    host.setProcessEnvironment(env);
    host.setStandardOutputFile(QProcess::nullDevice());
    host.setStandardErrorFile(QProcess::nullDevice());
    QEventLoop loop;
    QObject::connect(&host, qOverload<int, QProcess::ExitStatus>(&QProcess::finished), &loop, &QEventLoop::quit);
    QElapsedTimer clock;
    clock.start();
    host.start(binary("kt-host"), {"--tcp", QStringLiteral("127.0.0.1:%1").arg(g_cutter), "--cloud", service.bases,
                                   "--code", "KT0A1ZBENCH", "cut", g_dir->filePath("job.plt")});
    loop.exec();
    const double seconds = clock.elapsed() / 1000.0;
    return host.exitStatus() == QProcess::NormalExit && host.exitCode() == 0 ? seconds : -1;
}

void BM_CutWithCloudFaults(benchmark::State &state)
{
    const QStringList modes{"up", "down", "hang", "fail"};
    QMap<QString, double> total;
    int run = 0;
    for (auto _ : state) {
        double up = 0, worst = 0;
        for (const QString &mode : modes) {
            const double s = cutOnce(mode, run);
            if (s < 0) {
                state.SkipWithError(qPrintable("a cut failed with the service " + mode));
                return;
            }
            total[mode] += s;
            if (mode == QLatin1String("up"))
                up = s;
            worst = qMax(worst, s);
        }
        state.SetIterationTime(worst - up);
        ++run;
    }
    const double n = double(state.iterations());
    double worstExtra = 0;
    for (const QString &mode : modes) {
        state.counters[(mode + "_s").toStdString()] = total.value(mode) / n;
        worstExtra = qMax(worstExtra, (total.value(mode) - total.value("up")) / n);
    }
    state.counters["worst_extra_s"] = worstExtra;
}
BENCHMARK(BM_CutWithCloudFaults)->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    g_dir = std::make_unique<QTemporaryDir>();
    {
        QFile job(g_dir->filePath("job.plt"));
        job.open(QIODevice::WriteOnly);
        job.write("IN;PU0,0;PD400,0;PD400,400;PU0,0;");   // 33 bytes
    }
    QProcess cutter;
    cutter.start(binary("kt-virtual-cutter"), {"--port", "0"});
    if (!cutter.waitForReadyRead(10000))
        return 1;
    g_cutter = quint16(QString::fromLatin1(cutter.readLine().trimmed()).section(':', -1).toUInt());
    QObject::connect(&cutter, &QProcess::readyReadStandardOutput, [&cutter] { cutter.readAllStandardOutput(); });

    benchmark::RunSpecifiedBenchmarks();
    cutter.terminate();
    cutter.waitForFinished();
    g_dir.reset();
    return 0;
}
