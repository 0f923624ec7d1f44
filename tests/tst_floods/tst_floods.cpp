// Runs the built kt-host against ports that send without pause: /dev/zero
// and a pseudo-terminal written as fast as it is read. Whatever the port
// does, the program keeps its deadline, obeys SIGINT and SIGTERM and stays
// near the memory it needs when the port is quiet.
#include "property/ktframe.h"

#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QtTest>

#include <atomic>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace {

// The test keeps the slave side open as well, so the master never sees a
// hang-up before kt-host opens it or after it has gone.
class Pty
{
public:
    Pty()
    {
        if (::openpty(&m_master, &m_slave, nullptr, nullptr, nullptr) != 0)
            return;
        termios tio {};
        ::tcgetattr(m_slave, &tio);
        ::cfmakeraw(&tio);
        ::tcsetattr(m_slave, TCSANOW, &tio);
        ::fcntl(m_master, F_SETFL, ::fcntl(m_master, F_GETFL) | O_NONBLOCK);
        m_path = QString::fromLocal8Bit(::ptsname(m_master));
    }
    ~Pty()
    {
        m_stop = true;
        if (m_writer.joinable())
            m_writer.join();
        for (int fd : {m_master, m_slave}) {
            if (fd >= 0)
                ::close(fd);
        }
    }
    QString path() const { return m_path; }

    // Frame starts that never end, as fast as the other side takes them.
    // What kt-host sends is read; a read of the cutting speed (command 3)
    // is answered in the middle of the flood when answer is set.
    void flood(bool answer)
    {
        m_writer = std::thread([this, answer] {
            QByteArray pattern;
            while (pattern.size() < 65536)
                pattern += "\x02" "18;CMD;SET3:700;";
            const QByteArray reply = KTFrame::pack(QStringLiteral("3:700;"), QStringLiteral("CMD"));
            QByteArray heard;
            QByteArray out;
            char in[4096];
            while (!m_stop) {
                pollfd p {m_master, POLLIN | POLLOUT, 0};
                if (::poll(&p, 1, 50) <= 0)
                    continue;
                ssize_t n = 0;
                while ((p.revents & POLLIN) && (n = ::read(m_master, in, sizeof in)) > 0) {
                    heard = heard.right(16) + QByteArray(in, int(n));
                    if (answer && heard.contains("GET3;")) {
                        out += reply;
                        heard.clear();
                    }
                }
                if (!(p.revents & POLLOUT))
                    continue;
                if (out.isEmpty())
                    out = pattern;
                n = ::write(m_master, out.constData(), size_t(out.size()));
                if (n > 0)
                    out.remove(0, int(n));
            }
        });
    }

private:
    int m_master = -1;
    int m_slave = -1;
    QString m_path;
    std::thread m_writer;
    std::atomic<bool> m_stop {false};
};

// A number field of /proc/PID/status or /proc/PID/io; -1 when unreadable.
qint64 procField(qint64 pid, const char *file, const QByteArray &name)
{
    QFile f(QStringLiteral("/proc/%1/%2").arg(pid).arg(QLatin1String(file)));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : f.readAll().split('\n')) {
        if (line.startsWith(name + ':'))
            return line.mid(name.size() + 1).trimmed().split(' ').first().toLongLong();
    }
    return -1;
}

struct Outcome
{
    int exitCode = -1;   // -1: still running at the bound
    QString out;
    QString err;
    qint64 peakRssKb = 0;
    qint64 peakVmKb = 0;
};

} // namespace

class tst_Floods : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void floodingPort_data();
    void floodingPort();

private:
    // Runs kt-host ARGS for at most boundMs, under an address-space limit
    // when one is given; signal (if any) is sent once the flood is on.
    Outcome run(const QStringList &args, qint64 limitKb, int signal, int boundMs);

    qint64 m_idleRssKb = 0;
    qint64 m_idleVmKb = 0;
};

Outcome tst_Floods::run(const QStringList &args, qint64 limitKb, int signal, int boundMs)
{
    QProcess p;
    if (limitKb > 0)
        p.start(QStringLiteral("prlimit"),
                QStringList{QStringLiteral("--as=%1").arg(limitKb * 1024), "--", KT_HOST_PATH} + args);
    else
        p.start(KT_HOST_PATH, args);
    Outcome o;
    if (!p.waitForStarted(5000))
        return o;
    const qint64 pid = p.processId();
    bool signalled = signal == 0;
    QElapsedTimer clock;
    clock.start();
    // prlimit runs kt-host in its own place, so the process id stays.
    while (p.state() != QProcess::NotRunning && clock.elapsed() < boundMs) {
        o.peakRssKb = qMax(o.peakRssKb, procField(pid, "status", "VmHWM"));
        o.peakVmKb = qMax(o.peakVmKb, procField(pid, "status", "VmPeak"));
        // Read through 32 MiB: the flood is on and the program is in its wait.
        if (!signalled && procField(pid, "io", "rchar") > 32 * 1024 * 1024) {
            ::kill(pid_t(pid), signal);
            signalled = true;
        }
        p.waitForFinished(20);
    }
    if (p.state() != QProcess::NotRunning) {
        p.kill();
        p.waitForFinished(2000);
        return o;
    }
    o.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -2;
    o.out = QString::fromLocal8Bit(p.readAllStandardOutput());
    o.err = QString::fromLocal8Bit(p.readAllStandardError());
    return o;
}

void tst_Floods::initTestCase()
{
    // What the program takes when the port says nothing.
    Pty quiet;
    QVERIFY(!quiet.path().isEmpty());
    const Outcome o = run({"--usb", quiet.path(), "--timeout", "0.5", "info"}, 0, 0, 20000);
    QCOMPARE(o.exitCode, 3);
    QVERIFY2(o.err.contains("no reply within 0.5 s"), qPrintable(o.err));
    QVERIFY(o.peakRssKb > 0 && o.peakVmKb > 0);
    m_idleRssKb = o.peakRssKb;
    m_idleVmKb = o.peakVmKb;
#ifndef KT_INSTRUMENTED
    QVERIFY2(!QStandardPaths::findExecutable("prlimit").isEmpty(), "prlimit (util-linux) is needed");
#endif
}

void tst_Floods::floodingPort_data()
{
    QTest::addColumn<QString>("port");
    QTest::addColumn<QStringList>("command");
    QTest::addColumn<int>("signal");   // 0: the program ends by itself
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("line");   // the one line printed (standard error unless the exit is 0)

    const QStringList info{"--timeout", "1", "info"};
    // A signal must end the program, so the timeout is far away then.
    const QStringList waiting{"--timeout", "60", "info"};
    for (const QString &port : {QStringLiteral("/dev/zero"), QStringLiteral("pty")}) {
        QTest::addRow("%s, timeout", qPrintable(port)) << port << info << 0 << 3 << "no reply within 1 s";
        QTest::addRow("%s, SIGTERM", qPrintable(port)) << port << waiting << int(SIGTERM) << 130 << "interrupted";
        QTest::addRow("%s, SIGINT", qPrintable(port)) << port << waiting << int(SIGINT) << 130 << "interrupted";
    }
    // The machine's reply among the garbage is still found, and soon.
    QTest::newRow("pty, answered") << "answering pty" << QStringList{"--timeout", "10", "get", "SP2_SPEED"} << 0 << 0
                                   << "SP2_SPEED = ";
}

void tst_Floods::floodingPort()
{
    QFETCH(QString, port);
    QFETCH(QStringList, command);
    QFETCH(int, signal);
    QFETCH(int, exitCode);
    QFETCH(QString, line);

    Pty pty;
    QString path = port;
    if (port.endsWith(QLatin1String("pty"))) {
        QVERIFY(!pty.path().isEmpty());
        pty.flood(port.startsWith(QLatin1String("answering")));
        path = pty.path();
    }
#ifdef KT_INSTRUMENTED
    // The sanitizers reserve terabytes of address space and keep freed
    // memory in quarantine: only the ending is checked.
    const qint64 limitKb = 0;
#else
    // Room for a few MiB of data more than when the port is quiet, not for
    // a queue that grows with the flood.
    const qint64 limitKb = m_idleVmKb + 128 * 1024;
#endif
    const Outcome o = run(QStringList{"--usb", path} + command, limitKb, signal, 20000);
    QVERIFY2(o.exitCode != -1, "kt-host did not end within 20 s");
    QVERIFY2(o.exitCode == exitCode, qPrintable(QStringLiteral("exit %1: %2").arg(o.exitCode).arg(o.err)));
    const QStringList lines = (exitCode == 0 ? o.out : o.err).split('\n', Qt::SkipEmptyParts);
    QVERIFY2(lines.size() == 1, qPrintable(o.out + o.err));
    if (exitCode == 0) {
        QVERIFY2(lines.first().startsWith(line), qPrintable(lines.first()));
        QVERIFY2(o.err.isEmpty(), qPrintable(o.err));
    } else {
        QVERIFY2(lines.first().startsWith("kt-host: ") && lines.first().contains(line), qPrintable(lines.first()));
    }
    qInfo("peak resident %lld KiB, idle %lld KiB", o.peakRssKb, m_idleRssKb);
#ifndef KT_INSTRUMENTED
    QVERIFY2(o.peakRssKb < m_idleRssKb + 16 * 1024,
             qPrintable(QStringLiteral("peak resident %1 KiB, idle %2 KiB").arg(o.peakRssKb).arg(m_idleRssKb)));
#endif
}

QTEST_GUILESS_MAIN(tst_Floods)
#include "tst_floods.moc"
