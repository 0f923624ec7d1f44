#include "tools/cloud-service/ktcloudservice.h"

#include <QJsonDocument>
#include <QProcess>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QWebSocket>
#include <QtTest>

#include <csignal>

namespace {

struct Answer
{
    int status = 0;
    QByteArray body;
};

// Cuts the answers out of what the service wrote; interim answers (1xx) are
// counted apart. The first final answer is to a HEAD when head is set.
QList<Answer> parseAnswers(QByteArray in, bool head, int *interim)
{
    QList<Answer> out;
    for (;;) {
        const int end = in.indexOf("\r\n\r\n");
        if (end < 0)
            return out;
        const QList<QByteArray> lines = in.left(end).split('\n');
        Answer a;
        a.status = lines.first().split(' ').value(1).toInt();
        int length = 0;
        for (const QByteArray &l : lines.mid(1)) {
            if (l.toLower().startsWith("content-length:"))
                length = l.mid(15).trimmed().toInt();
        }
        if (a.status < 200) {
            ++*interim;
            in.remove(0, end + 4);
            continue;
        }
        if (head && out.isEmpty())
            length = 0;
        if (in.size() < end + 4 + length)
            return out;
        a.body = in.mid(end + 4, length);
        in.remove(0, end + 4 + length);
        out.append(a);
    }
}

QByteArray post(const QByteArray &body, const QByteArray &extra = QByteArray())
{
    return "POST /device_work_records HTTP/1.1\r\nHost: x\r\nContent-Length: " + QByteArray::number(body.size()) +
           "\r\n" + extra + "\r\n" + body;
}

const QByteArray FollowUp = "GET /device HTTP/1.1\r\nHost: x\r\nContent-Length: 13\r\n\r\n{\"code\":\"NO\"}";

} // namespace

class tst_KTCloudService : public QObject
{
    Q_OBJECT
private slots:
    void http_data();
    void http();
    void idempotencyKey();
    void offlineWhenRelayCloses();
    void stateSurvivesKill();
};

void tst_KTCloudService::http_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QByteArray>("later");     // sent once the first bytes are answered (or not)
    QTest::addColumn<int>("status");
    QTest::addColumn<bool>("withBody");
    QTest::addColumn<bool>("closes");
    QTest::addColumn<int>("stored");
    QTest::addColumn<int>("interim");

    const QByteArray json = "{\"task_copies\":2}";
    QTest::newRow("plain POST") << post(json) << QByteArray() << 200 << true << false << 1 << 0;
    QTest::newRow("chunked") << QByteArray("POST /device_work_records HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n"
                                           "5\r\n{\"tas\r\nc;ext=1\r\nk_copies\":2}\r\n0\r\n\r\n")
                             << QByteArray() << 200 << true << false << 1 << 0;
    QTest::newRow("chunked, bad size") << QByteArray("POST /device_work_records HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n"
                                                     "zz\r\n{}\r\n0\r\n\r\n")
                                       << QByteArray() << 400 << true << true << 0 << 0;
    QTest::newRow("chunked and length") << QByteArray("POST /device_work_records HTTP/1.1\r\nTransfer-Encoding: chunked\r\n"
                                                      "Content-Length: 6\r\n\r\n2\r\n{}\r\n0\r\n\r\n")
                                        << QByteArray() << 400 << true << true << 0 << 0;
    QTest::newRow("other coding") << QByteArray("POST /device_work_records HTTP/1.1\r\nTransfer-Encoding: gzip\r\n\r\n")
                                  << QByteArray() << 501 << true << true << 0 << 0;
    QTest::newRow("length abc") << QByteArray("POST /device_work_records HTTP/1.1\r\nContent-Length: abc\r\n\r\n{}")
                                << QByteArray() << 400 << true << true << 0 << 0;
    QTest::newRow("negative length") << QByteArray("POST /device_work_records HTTP/1.1\r\nContent-Length: -2\r\n\r\n{}")
                                     << QByteArray() << 400 << true << true << 0 << 0;
    QTest::newRow("two lengths") << QByteArray("POST /device_work_records HTTP/1.1\r\nContent-Length: 2\r\n"
                                               "Content-Length: 17\r\n\r\n{}")
                                 << QByteArray() << 400 << true << true << 0 << 0;
    QTest::newRow("same length twice") << post(json, "Content-Length: 17\r\n") << QByteArray() << 200 << true << false << 1
                                       << 0;
    QTest::newRow("no length") << QByteArray("POST /device_work_records HTTP/1.1\r\nHost: x\r\n\r\n") << QByteArray() << 411
                               << true << true << 0 << 0;
    QTest::newRow("too large") << QByteArray("POST /device_work_records HTTP/1.1\r\nContent-Length: 99999999\r\n\r\n")
                               << QByteArray() << 413 << true << true << 0 << 0;
    QTest::newRow("not JSON") << post("task=2") << QByteArray() << 400 << true << false << 0 << 0;
    QTest::newRow("JSON array") << post("[1,2]") << QByteArray() << 400 << true << false << 0 << 0;
    QTest::newRow("empty body") << post("") << QByteArray() << 400 << true << false << 0 << 0;
    QTest::newRow("HEAD") << QByteArray("HEAD /device HTTP/1.1\r\nHost: x\r\n\r\n") << QByteArray() << 404 << false << false
                          << 0 << 0;
    QTest::newRow("Connection: close") << post(json, "Connection: close\r\n") << QByteArray() << 200 << true << true << 1
                                       << 0;
    QTest::newRow("HTTP/1.0") << QByteArray("POST /device_work_records HTTP/1.0\r\nContent-Length: 17\r\n\r\n") + json
                              << QByteArray() << 200 << true << true << 1 << 0;
    QTest::newRow("HTTP/1.0 keep-alive") << QByteArray("POST /device_work_records HTTP/1.0\r\nConnection: keep-alive\r\n"
                                                       "Content-Length: 17\r\n\r\n") + json
                                         << QByteArray() << 200 << true << false << 1 << 0;
    QTest::newRow("unknown method") << QByteArray("BREW /device HTTP/1.1\r\nContent-Length: 2\r\n\r\n{}") << QByteArray()
                                    << 405 << true << false << 0 << 0;
    QTest::newRow("HTTP/2.0") << QByteArray("GET /device HTTP/2.0\r\n\r\n") << QByteArray() << 505 << true << true << 0
                              << 0;
    QTest::newRow("garbage") << QByteArray("\x01\x02 hello\r\n\r\n") << QByteArray() << 400 << true << true << 0 << 0;
    QTest::newRow("Expect: 100-continue")
        << QByteArray("POST /device_work_records HTTP/1.1\r\nExpect: 100-continue\r\nContent-Length: 17\r\n\r\n") << json
        << 200 << true << false << 1 << 1;
}

void tst_KTCloudService::http()
{
    QFETCH(QByteArray, request);
    QFETCH(QByteArray, later);
    QFETCH(int, status);
    QFETCH(bool, withBody);
    QFETCH(bool, closes);
    QFETCH(int, interim);
    KTCloudService service;
    QVERIFY(service.listen());
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, QUrl(service.restBase()).port());
    QVERIFY(socket.waitForConnected(5000));
    QByteArray in;
    connect(&socket, &QTcpSocket::readyRead, this, [&]() { in += socket.readAll(); });
    socket.write(request);
    int seen = 0;
    if (!later.isEmpty()) {
        // The body follows only once the service has said to send it.
        QTRY_COMPARE((seen = 0, parseAnswers(in, false, &seen), seen), 1);
        socket.write(later);
    }
    if (!closes)
        socket.write(FollowUp);   // a kept connection answers the next request too
    const bool head = request.startsWith("HEAD");
    QTRY_VERIFY((seen = 0, parseAnswers(in, head, &seen).size() == (closes ? 1 : 2)));
    if (closes)
        QTRY_COMPARE(socket.state(), QAbstractSocket::UnconnectedState);
    seen = 0;
    const QList<Answer> answers = parseAnswers(in, head, &seen);
    QCOMPARE(answers.first().status, status);
    QCOMPARE(!answers.first().body.isEmpty(), withBody);
    QCOMPARE(seen, interim);
    if (!closes)
        QCOMPARE(answers.at(1).status, 404);
    QTEST(int(service.workRecords().size()), "stored");
    if (!service.workRecords().isEmpty())
        QCOMPARE(service.workRecords().first().toObject().value("task_copies").toInt(), 2);
}

void tst_KTCloudService::idempotencyKey()
{
    KTCloudService service;
    QVERIFY(service.listen());
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, QUrl(service.restBase()).port());
    QByteArray in;
    connect(&socket, &QTcpSocket::readyRead, this, [&]() { in += socket.readAll(); });
    socket.write(post("{\"n\":1}", "Idempotency-Key: k-1\r\n"));
    socket.write(post("{\"n\":1}", "Idempotency-Key: k-1\r\n"));
    socket.write(post("{\"n\":2}", "Idempotency-Key: k-2\r\n"));
    int interim = 0;
    QTRY_COMPARE(parseAnswers(in, false, &interim).size(), 3);
    const QList<Answer> answers = parseAnswers(in, false, &interim);
    QCOMPARE(answers.at(0).body, answers.at(1).body);
    QVERIFY(answers.at(0).body != answers.at(2).body);
    QCOMPARE(service.workRecords().size(), 2);
}

void tst_KTCloudService::offlineWhenRelayCloses()
{
    KTCloudService service;
    QVERIFY(service.listen());
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, QUrl(service.restBase()).port());
    QByteArray in;
    connect(&socket, &QTcpSocket::readyRead, this, [&]() { in += socket.readAll(); });
    const QByteArray device = "{\"code\":\"KT0A1Z\",\"online\":true}";
    socket.write("POST /device_model HTTP/1.1\r\nContent-Length: " + QByteArray::number(device.size()) + "\r\n\r\n" + device);
    QTRY_COMPARE(service.devices().size(), 1);
    QWebSocket relay;
    relay.open(QUrl(service.wsBase() + "KT0A1Z/Device/"));
    QTRY_COMPARE(service.relayClients(), 1);
    QCOMPARE(service.devices().first().toObject().value("online").toBool(), true);
    relay.close();
    QTRY_COMPARE(service.devices().first().toObject().value("online").toBool(), false);
    relay.open(QUrl(service.wsBase() + "KT0A1Z/Device/"));
    QTRY_COMPARE(service.devices().first().toObject().value("online").toBool(), true);
}

void tst_KTCloudService::stateSurvivesKill()
{
    // Every record the service has answered is in its state file, whenever
    // it is killed outright.
    QTemporaryDir dir;
    const QString state = dir.filePath("state.json");
    QProcess service;
    service.start(KT_CLOUD_SERVICE_PATH, {"--state", state});
    QVERIFY(service.waitForReadyRead(10000));
    const QByteArray banner = service.readLine();
    const int port = QUrl(QString::fromLatin1(banner.mid(5).trimmed())).port();
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, quint16(port));
    QVERIFY(socket.waitForConnected(5000));
    QByteArray in;
    connect(&socket, &QTcpSocket::readyRead, this, [&]() { in += socket.readAll(); });
    for (int i = 0; i < 200; ++i)
        socket.write(post(QByteArray("{\"n\":") + QByteArray::number(i) + "}"));
    int interim = 0;
    QTRY_VERIFY(parseAnswers(in, false, &interim).size() >= 20);
    ::kill(pid_t(service.processId()), SIGKILL);
    QVERIFY(service.waitForFinished(5000));
    const int answered = parseAnswers(in + socket.readAll(), false, &interim).size();
    QFile file(state);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QJsonDocument doc = QJsonDocument::fromJson(file.readAll());
    QVERIFY(doc.isObject());
    QVERIFY(doc.object().value("device_work_records").toArray().size() >= answered);

    // And a restart on the same file carries on from there.
    KTCloudService again;
    QVERIFY(again.setStateFile(state));
    QCOMPARE(again.workRecords().size(), doc.object().value("device_work_records").toArray().size());
}

QTEST_GUILESS_MAIN(tst_KTCloudService)
#include "tst_ktcloudservice.moc"
