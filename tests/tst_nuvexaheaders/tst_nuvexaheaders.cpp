#include "platform/nuvexacloud/nuvexaheaders.h"

#include <QtTest>

// The field rules both HTTP sides now share; the client's and the service's
// own tests cover what each does with them.
class tst_NuvexaHeaders : public QObject
{
    Q_OBJECT

private slots:
    void fields_data();
    void fields();
    void headEnd_data();
    void headEnd();
};

void tst_NuvexaHeaders::fields_data()
{
    QTest::addColumn<QByteArray>("lines");
    QTest::addColumn<qint64>("length");
    QTest::addColumn<bool>("badLength");
    QTest::addColumn<bool>("chunked");
    QTest::addColumn<bool>("close");
    QTest::addColumn<int>("malformed");

    QTest::newRow("names in any case") << QByteArray("CONTENT-length: 12\r\nconnection: Close") << 12LL << false
                                       << false << true << 0;
    QTest::newRow("same length written twice") << QByteArray("Content-Length: 5\r\nContent-Length: 05") << 5LL
                                               << false << false << false << 0;
    QTest::newRow("lengths that disagree") << QByteArray("Content-Length: 5\r\nContent-Length: 6") << 5LL << true
                                           << false << false << 0;
    QTest::newRow("signed length") << QByteArray("Content-Length: +5") << -1LL << true << false << false << 0;
    QTest::newRow("length past 64 bits") << QByteArray("Content-Length: 9999999999999999999") << -1LL << true
                                         << false << false << 0;
    QTest::newRow("chunked last of two fields") << QByteArray("Transfer-Encoding: gzip\nTransfer-Encoding: Chunked")
                                                << -1LL << false << true << false << 0;
    QTest::newRow("chunked not last") << QByteArray("Transfer-Encoding: chunked, gzip") << -1LL << false << false
                                      << false << 0;
    QTest::newRow("close among options") << QByteArray("Connection: Upgrade, close") << -1LL << false << false
                                         << true << 0;
    QTest::newRow("closed is not close") << QByteArray("Connection: closed") << -1LL << false << false << false << 0;
    QTest::newRow("space before colon") << QByteArray("Content-Length : 3\r\nno colon\r\n: no name") << -1LL << false
                                        << false << false << 3;
}

void tst_NuvexaHeaders::fields()
{
    QFETCH(QByteArray, lines);
    const NuvexaHeaders::Headers h = NuvexaHeaders::parse(lines);
    QTEST(h.contentLength, "length");
    QTEST(h.badLength, "badLength");
    QTEST(h.chunked, "chunked");
    QTEST(h.close, "close");
    QTEST(h.malformedLines, "malformed");
}

void tst_NuvexaHeaders::headEnd_data()
{
    QTest::addColumn<QByteArray>("in");
    QTest::addColumn<int>("from");
    QTest::addColumn<int>("end");

    QTest::newRow("whole head") << QByteArray("GET / HTTP/1.1\r\nA: b\r\n\r\nbody") << 0 << 20;
    QTest::newRow("after an earlier head") << QByteArray("HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\n\r\n") << 25
                                           << 40;
    QTest::newRow("still arriving") << QByteArray("GET / HTTP/1.1\r\nA: b\r\n") << 0 << int(NuvexaHeaders::Incomplete);
    QTest::newRow("endless head") << QByteArray(41, 'a') << 0 << int(NuvexaHeaders::TooLarge);
    QTest::newRow("head past the bound") << QByteArray(41, 'a') + "\r\n\r\n" << 0 << int(NuvexaHeaders::TooLarge);
    QTest::newRow("head at the bound") << QByteArray(40, 'a') + "\r\n\r\n" << 0 << 40;
}

void tst_NuvexaHeaders::headEnd()
{
    QFETCH(QByteArray, in);
    QFETCH(int, from);
    QTEST(NuvexaHeaders::headEnd(in, from, 40), "end");
}

QTEST_APPLESS_MAIN(tst_NuvexaHeaders)
#include "tst_nuvexaheaders.moc"
