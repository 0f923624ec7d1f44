// The settings window against the virtual cutter, in-process and offscreen.
#include "tools/host/kthost.h"
#include "tools/host/settingswindow.h"
#include "tools/virtual-cutter/ktvirtualcutter.h"
#include "property/ktdeviceproperty.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QtTest>

class tst_SettingsWindow : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void writeIsOffUntilARead();
    void writesOnlyTheEditedValueAndReadsItBack();
    void nothingEditedNothingSent();
    void refusedEditSendsNothing();
    void clampedValueIsReported();
    void readOnlyValuesAreLabels();
    void silentMachineKeepsWriteOff();
    void senselessValueNeedsAYes_data();
    void senselessValueNeedsAYes();
    void roundedValueIsReported();

private:
    void open(bool waitForRead = true);
    QList<QByteArray> framesSince(int count) const { return cutter->framesReceived().mid(count); }
    QPushButton *button(const char *name) const { return window->findChild<QPushButton *>(name); }

    std::unique_ptr<KTVirtualCutter> cutter;
    std::unique_ptr<KTHost> host;
    std::unique_ptr<SettingsWindow> window;
};

void tst_SettingsWindow::init()
{
    cutter = std::make_unique<KTVirtualCutter>();
    QVERIFY(cutter->listenTcp(0));
    host = std::make_unique<KTHost>();
    QString error;
    QVERIFY2(host->load(QStringLiteral(KT_PLUGIN_PATH), &error), qPrintable(error));
    // No heartbeat frames among the ones counted.
    if (KTDeviceProperty *beat = host->device()->property_ptr("HEARTBEAT"))
        beat->setValue(3600);
    QVERIFY2(host->connectTcp(QStringLiteral("127.0.0.1:%1").arg(cutter->tcpPort()), 5000, &error), qPrintable(error));
}

void tst_SettingsWindow::cleanup()
{
    window.reset();
    host.reset();
    cutter.reset();
}

void tst_SettingsWindow::open(bool waitForRead)
{
    window = std::make_unique<SettingsWindow>(host.get(), 1000);
    window->show();
    if (waitForRead) {
        QSignalSpy read(window.get(), &SettingsWindow::readFinished);
        QVERIFY(read.wait(5000));
        QCOMPARE(read.first().first().toBool(), true);
    }
}

void tst_SettingsWindow::writeIsOffUntilARead()
{
    open(false);
    QVERIFY(!button("write")->isEnabled());
    QVERIFY(!window->hasRead());
    QSignalSpy read(window.get(), &SettingsWindow::readFinished);
    QVERIFY(read.wait(5000));
    QVERIFY(window->hasRead());
    QVERIFY(button("write")->isEnabled());
    QVERIFY2(window->statusText().contains("TCP CONNECTED."), qPrintable(window->statusText()));
}

void tst_SettingsWindow::writesOnlyTheEditedValueAndReadsItBack()
{
    cutter->setCmdRegister(3, 444);
    open();
    auto *speed = qobject_cast<QSpinBox *>(window->controlFor("SP2_SPEED"));
    QVERIFY(speed);
    QCOMPARE(speed->value(), 666);   // what the machine's 444 looks like to people
    const auto before = cutter->cmdRegisters();
    const int sent = cutter->framesReceived().size();
    speed->setValue(975);
    QSignalSpy written(window.get(), &SettingsWindow::writeFinished);
    button("write")->click();
    QVERIFY(written.wait(5000));
    QCOMPARE(written.first().first().toBool(), true);
    const QList<QByteArray> frames = framesSince(sent);
    QCOMPARE(frames.size(), 2);
    QVERIFY2(frames.at(0).endsWith(";CMD;SET3:650;\x03"), frames.at(0).constData());
    QVERIFY2(frames.at(1).endsWith(";CMD;GET3;\x03"), frames.at(1).constData());
    auto after = cutter->cmdRegisters();
    QCOMPARE(after.take(3), 650);
    after.insert(3, 444);
    QCOMPARE(after, before);
    QVERIFY2(window->statusText().contains("SP2_SPEED ok"), qPrintable(window->statusText()));
}

void tst_SettingsWindow::nothingEditedNothingSent()
{
    open();
    const int sent = cutter->framesReceived().size();
    QSignalSpy written(window.get(), &SettingsWindow::writeFinished);
    button("write")->click();
    QCOMPARE(written.count(), 1);
    QTest::qWait(50);
    QCOMPARE(framesSince(sent).size(), 0);
}

void tst_SettingsWindow::refusedEditSendsNothing()
{
    open();
    const int sent = cutter->framesReceived().size();
    qobject_cast<QSpinBox *>(window->controlFor("SP2_SPEED"))->setValue(900);
    qobject_cast<QLineEdit *>(window->controlFor("DEVICE_ID"))->setText("a,b");
    QSignalSpy written(window.get(), &SettingsWindow::writeFinished);
    button("write")->click();
    QCOMPARE(written.count(), 1);
    QCOMPARE(written.first().first().toBool(), false);
    QTest::qWait(50);
    QCOMPARE(framesSince(sent).size(), 0);
    QVERIFY2(window->statusText().contains("DEVICE_ID = a,b is not allowed"), qPrintable(window->statusText()));
}

void tst_SettingsWindow::clampedValueIsReported()
{
    cutter->cmdCeiling.insert(3, 600);
    open();
    qobject_cast<QSpinBox *>(window->controlFor("SP2_SPEED"))->setValue(975);
    QSignalSpy written(window.get(), &SettingsWindow::writeFinished);
    button("write")->click();
    QVERIFY(written.wait(5000));
    QCOMPARE(written.first().first().toBool(), false);
    QVERIFY2(window->statusText().contains("SP2_SPEED: machine kept 900 mm/s"), qPrintable(window->statusText()));
    QCOMPARE(qobject_cast<QSpinBox *>(window->controlFor("SP2_SPEED"))->value(), 900);
}

void tst_SettingsWindow::readOnlyValuesAreLabels()
{
    open();
    auto *firmware = qobject_cast<QLabel *>(window->controlFor("FIRMWARE"));
    QVERIFY(firmware);
    QCOMPARE(firmware->text(), QStringLiteral("1.0.8"));
    QVERIFY(!window->findChild<QLineEdit *>("FIRMWARE"));
    QVERIFY(qobject_cast<QLineEdit *>(window->controlFor("DEVICE_ID")));
}

void tst_SettingsWindow::silentMachineKeepsWriteOff()
{
    cutter->faults.silent = true;
    open(false);
    QSignalSpy read(window.get(), &SettingsWindow::readFinished);
    QVERIFY(read.wait(5000));
    QCOMPARE(read.first().first().toBool(), false);
    QVERIFY(!button("write")->isEnabled());
    QVERIFY(button("read")->isEnabled());
    QVERIFY2(window->statusText().contains("did not answer"), qPrintable(window->statusText()));
    // Values go back to what they held: no sentinel is left behind.
    QCOMPARE(host->device()->property_ptr("SP2_SPEED")->value(), QVariant(0u));
}

void tst_SettingsWindow::senselessValueNeedsAYes_data()
{
    QTest::addColumn<QString>("answer");   // empty: no answer set, as offscreen
    QTest::newRow("yes") << "yes";
    QTest::newRow("no") << "no";
    QTest::newRow("no one to answer") << "";
}

void tst_SettingsWindow::senselessValueNeedsAYes()
{
    QFETCH(QString, answer);
    open();
    QStringList asked;
    if (!answer.isEmpty()) {
        window->setConfirmation([&](const QString &question) {
            asked << question;
            return answer == "yes";
        });
    }
    const int sent = cutter->framesReceived().size();
    qobject_cast<QLineEdit *>(window->controlFor("SCALE_X"))->setText("0");
    QSignalSpy written(window.get(), &SettingsWindow::writeFinished);
    button("write")->click();
    if (answer == "yes") {
        QVERIFY(written.wait(5000));
        QCOMPARE(cutter->cmdRegister(24), 0);
    } else {
        QCOMPARE(written.count(), 1);
        QCOMPARE(written.first().first().toBool(), false);
        QTest::qWait(50);
        QCOMPARE(framesSince(sent).size(), 0);
        QCOMPARE(cutter->cmdRegister(24), 10000);
        QVERIFY2(window->statusText().contains("not confirmed, nothing written"), qPrintable(window->statusText()));
    }
    QCOMPARE(asked.size(), answer.isEmpty() ? 0 : 1);
    if (!asked.isEmpty())
        QVERIFY2(asked.first().contains("SCALE_X = 0 makes no sense for the machine: a scale of 0"),
                 qPrintable(asked.first()));
}

void tst_SettingsWindow::roundedValueIsReported()
{
    open();
    qobject_cast<QSpinBox *>(window->controlFor("SP2_SPEED"))->setValue(1000);
    QSignalSpy written(window.get(), &SettingsWindow::writeFinished);
    button("write")->click();
    QVERIFY(written.wait(5000));
    QCOMPARE(written.first().first().toBool(), true);
    QCOMPARE(cutter->cmdRegister(3), 666);
    QVERIFY2(window->statusText().contains("SP2_SPEED set to 999 mm/s (nearest the machine takes)"),
             qPrintable(window->statusText()));
}

QTEST_MAIN(tst_SettingsWindow)
#include "tst_settingswindow.moc"
