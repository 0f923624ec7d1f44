#ifndef KTTESTSUPPORT_H
#define KTTESTSUPPORT_H

// What the process-level tests share: waiting on a condition while the
// test's own event loop goes on serving its peers, and the cloud stand-in
// on ports the system chose, read back from what it prints.

#include <QElapsedTimer>
#include <QProcess>
#include <QRegularExpression>
#include <QTest>
#include <QUrl>

#include <functional>
#include <memory>

#include <csignal>

namespace KTTestSupport {

// True once done() holds; false when timeoutMs passed first. The step is
// short: every process and reply the suite waits for is seen up to one step
// late, and there are hundreds of them.
inline bool waitUntil(const std::function<bool()> &done, int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    while (!done() && clock.elapsed() < timeoutMs)
        QTest::qWait(5);
    return done();
}

struct CloudService
{
    QString rest;   // "http://127.0.0.1:P/"
    QString ws;     // "ws://127.0.0.1:W/"
    quint16 restPort = 0;
    quint16 wsPort = 0;

    bool listening() const { return restPort && wsPort; }
    // What kt-host's --cloud takes.
    QString bases() const { return rest + QLatin1Char(',') + ws; }
};

// Starts kt-cloud-service (program) with options on restPort and wsPort, 0
// letting the system choose (a restart passes the ports it had), and reads
// the bases it prints once it listens. Nothing is listening when it did not
// start within timeoutMs.
inline CloudService startCloudService(QProcess &process, const QString &program, const QStringList &options,
                                      quint16 restPort = 0, quint16 wsPort = 0, int timeoutMs = 10000)
{
    process.start(program, QStringList{"--rest-port", QString::number(restPort), "--ws-port", QString::number(wsPort)}
                               + options);
    static const QRegularExpression rest(QStringLiteral("^REST (\\S+)$"), QRegularExpression::MultilineOption);
    static const QRegularExpression ws(QStringLiteral("^WS (\\S+)$"), QRegularExpression::MultilineOption);
    CloudService s;
    const auto printed = [&] { return QString::fromUtf8(process.peek(1 << 16)); };
    if (!waitUntil([&] { return rest.match(printed()).hasMatch() && ws.match(printed()).hasMatch(); }, timeoutMs))
        return s;
    s.rest = rest.match(printed()).captured(1);
    s.ws = ws.match(printed()).captured(1);
    s.restPort = quint16(QUrl(s.rest).port());
    s.wsPort = quint16(QUrl(s.ws).port());
    return s;
}

// The cloud stand-in a test stops and starts again: the system chooses its
// ports on the first start, later starts keep them.
class CloudStandIn
{
public:
    ~CloudStandIn() { stop(); }

    bool start(const QString &program, const QStringList &options)
    {
        stop();
        m_process = std::make_unique<QProcess>();
        const CloudService s = startCloudService(*m_process, program, options, m_restPort, m_wsPort);
        m_restPort = s.restPort;
        m_wsPort = s.wsPort;
        return s.listening();
    }
    // Gone at once, as a crash leaves it.
    void stop()
    {
        if (!m_process)
            return;
        ::kill(pid_t(m_process->processId()), SIGKILL);
        m_process->waitForFinished(5000);
        m_process.reset();
    }
    void forgetPorts()
    {
        stop();
        m_restPort = m_wsPort = 0;
    }
    quint16 restPort() const { return m_restPort; }
    quint16 wsPort() const { return m_wsPort; }

private:
    std::unique_ptr<QProcess> m_process;
    quint16 m_restPort = 0;
    quint16 m_wsPort = 0;
};

} // namespace KTTestSupport

#endif // KTTESTSUPPORT_H
