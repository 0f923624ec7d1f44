// The host's one wait: what it tells the job about time it did not listen.
#include "tools/host/kthost.h"

#include <QThread>
#include <QTimer>
#include <QtTest>

class tst_HostWait : public QObject
{
    Q_OBJECT
private slots:
    void heldThreadIsSeen_data();
    void heldThreadIsSeen();
};

void tst_HostWait::heldThreadIsSeen_data()
{
    QTest::addColumn<int>("beforeMs");   // the thread held before the message that ends the wait
    QTest::addColumn<int>("afterMs");    // and after it, in the same pass of the event loop
    QTest::addColumn<bool>("held");

    QTest::newRow("not held") << 0 << 0 << false;
    QTest::newRow("held before the message") << 700 << 0 << true;
    // A reply handled just after a machine's report, which then waited out
    // another program's lock on the outbox.
    QTest::newRow("held after the message") << 0 << 700 << true;
}

// A job counts the machine's silence from its last report, unless the host
// itself was held: then the reports waited unread and say nothing of it.
void tst_HostWait::heldThreadIsSeen()
{
    QFETCH(int, beforeMs);
    QFETCH(int, afterMs);
    QFETCH(bool, held);

    KTHost host;
    bool reported = false;
    QTimer::singleShot(10, &host, [&] {
        QThread::msleep(beforeMs);
        reported = true;
        emit host.deviceMessage(KTDeviceInterface::DevTasK, QString());
        QThread::msleep(afterMs);
    });
    QVERIFY(host.waitFor([&] { return reported; }, 5000));
    QCOMPARE(host.wasHeld(), held);
}

QTEST_GUILESS_MAIN(tst_HostWait)
#include "tst_hostwait.moc"
