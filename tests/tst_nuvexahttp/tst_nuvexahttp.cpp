#include "platform/nuvexacloud/nuvexahttp.h"

#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

// The client's HTTP layer against a local peer that answers every request
// with the given bytes.
class tst_NuvexaHttp : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void answers_data();
    void answers();
    void replyDeletedBeforeTheAnswer();

private:
    QUrl url() const { return QUrl(QStringLiteral("http://127.0.0.1:%1/x").arg(server->serverPort())); }

    std::unique_ptr<QTcpServer> server;
    QByteArray answer;
    bool closeAfter = false;
    int requests = 0;
};

void tst_NuvexaHttp::init()
{
    server = std::make_unique<QTcpServer>();
    QVERIFY(server->listen(QHostAddress::LocalHost));
    answer.clear();
    closeAfter = false;
    requests = 0;
    connect(server.get(), &QTcpServer::newConnection, this, [this] {
        QTcpSocket *s = server->nextPendingConnection();
        connect(s, &QTcpSocket::readyRead, s, [this, s] {
            if (!s->readAll().contains("\r\n\r\n"))
                return;
            ++requests;
            if (answer.isEmpty())
                return;
            s->write(answer);
            if (closeAfter)
                s->disconnectFromHost();
        });
    });
}

void tst_NuvexaHttp::answers_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<bool>("close");
    QTest::addColumn<int>("status");   // 0: failed
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QString>("error");

    const QByteArray head = "HTTP/1.1 200 OK\r\n";
    QTest::newRow("length") << head + "Content-Length: 2\r\n\r\nhi" << false << 200 << QByteArray("hi") << "";
    QTest::newRow("chunked with trailer")
        << head + "Transfer-Encoding: chunked\r\n\r\n2\r\nhi\r\n1;x=y\r\n!\r\n0\r\nT: 1\r\n\r\n" << false << 200
        << QByteArray("hi!") << "";
    QTest::newRow("interim answer first") << QByteArray("HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 201 Created\r\n"
                                                        "Content-Length: 0\r\n\r\n")
                                          << false << 201 << QByteArray() << "";
    QTest::newRow("body to the close") << head + "\r\nto the end" << true << 200 << QByteArray("to the end") << "";
    QTest::newRow("header mentions a length") << head + "X-Note: content-length, chunked\r\n\r\nto the end" << true
                                              << 200 << QByteArray("to the end") << "";
    // The same status line is refused whether a length or the close ends the body.
    QTest::newRow("space before the status line, body to the close")
        << " " + head + "\r\nbody" << true << 0 << QByteArray() << "malformed answer";
    QTest::newRow("space before the status line, length")
        << " " + head + "Content-Length: 2\r\n\r\nhi" << false << 0 << QByteArray() << "malformed answer";
    QTest::newRow("status of two digits") << QByteArray("HTTP/1.1 20 OK\r\n\r\nbody") << true << 0 << QByteArray()
                                          << "malformed answer";
    QTest::newRow("lengths that disagree") << head + "Content-Length: 2\r\nContent-Length: 3\r\n\r\nhi!" << false
                                           << 0 << QByteArray() << "malformed answer";
    QTest::newRow("malformed status") << QByteArray("junk\r\n\r\n") << false << 0 << QByteArray()
                                      << "malformed answer";
    QTest::newRow("bad length") << head + "Content-Length: x\r\n\r\n" << false << 0 << QByteArray()
                                << "malformed answer";
    QTest::newRow("bad chunk size") << head + "Transfer-Encoding: chunked\r\n\r\nzz\r\n" << false << 0 << QByteArray()
                                    << "malformed answer";
    // Answers that never end must not be buffered without end.
    QByteArray trailers;
    for (int i = 0; i < 2000; ++i)
        trailers += "T: 1\r\n";
    QTest::newRow("endless trailers") << head + "Transfer-Encoding: chunked\r\n\r\n0\r\n" + trailers << false << 0
                                      << QByteArray() << "malformed answer";
    QTest::newRow("endless body without length")
        << head + "\r\n" + QByteArray(NuvexaHttp::MaxResponseBytes + 1024, 'b') << false << 0 << QByteArray()
        << "answer too large";
}

void tst_NuvexaHttp::answers()
{
    QFETCH(QByteArray, bytes);
    QFETCH(bool, close);
    answer = bytes;
    closeAfter = close;
    NuvexaHttp http;
    NuvexaReply *reply = http.send(url(), "GET", QByteArray(), {}, 10000);
    QSignalSpy finished(reply, &QNetworkReply::finished);
    QVERIFY(finished.wait(10000));
    QFETCH(int, status);
    QFETCH(QString, error);
    if (status) {
        QCOMPARE(reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), status);
        QTEST(reply->readAll(), "body");
    } else {
        QVERIFY(reply->error() != QNetworkReply::NoError);
        QCOMPARE(reply->errorString(), error);
    }
}

void tst_NuvexaHttp::replyDeletedBeforeTheAnswer()
{
    // Its owner may delete a reply at any time; a bad answer that comes after
    // must not reach it, and the client goes on serving.
    NuvexaHttp http;
    QPointer<NuvexaReply> first = http.send(url(), "GET", QByteArray(), {}, 10000);
    QTRY_COMPARE(requests, 1);
    delete first;
    const auto peers = server->findChildren<QTcpSocket *>();
    QCOMPARE(peers.size(), 1);
    peers.first()->write("junk\r\n\r\n");
    QTest::qWait(100);

    answer = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok";
    NuvexaReply *second = http.send(url(), "GET", QByteArray(), {}, 10000);
    QSignalSpy finished(second, &QNetworkReply::finished);
    QVERIFY(finished.wait(10000));
    QCOMPARE(second->readAll(), QByteArray("ok"));
}

QTEST_MAIN(tst_NuvexaHttp)
#include "tst_nuvexahttp.moc"
