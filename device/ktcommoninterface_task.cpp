#include "device/ktcommoninterface.h"
#include "property/kttrace.h"
#include "property/ktdeviceproperty.h"

#include <QDateTime>
#include <QDebug>
#include <QJsonObject>

#include <limits>

// Silence longer than this declares the link lost.
static constexpr int SilenceLimitSecs = 30;

void KTCommonInterface::heartbeat_switch(bool on)
{
    KTDeviceProperty *heartbeat = property_ptr("HEARTBEAT");
    if (!heartbeat)
        return;
    if (device_timer.isActive())
        device_timer.stop();
    if (on) {
        // A heartbeat of 0 would poll on every pass of the event loop.
        const quint64 secs = qMax(1u, heartbeat->value().toUInt());
        device_timer.start(int(qMin<quint64>(secs * 1000, std::numeric_limits<int>::max())));
    }
}

void KTCommonInterface::slot_device_timer()
{
    if (KTDeviceProperty *last = property_ptr("LAST_TIME")) {
        const qint64 silence = last->value().toDateTime().secsTo(QDateTime::currentDateTime());
        if (qint32(silence) > SilenceLimitSecs) {
            if (KTDeviceProperty *status = property_ptr("STATUS"))
                status->setValue(int(DisConnected));
            emit message(DevStatus, QStringLiteral("HEARTBEAT TIMEOUT 30S."));
        }
    }
    if (KTDeviceProperty *heartbeat = property_ptr("HEARTBEAT"))
        send_cmd(heartbeat->get_cmd_bytes());
}

void KTCommonInterface::startTask()
{
    KTDeviceProperty *modeProperty = property_ptr("TASK_MODE");
    const int mode = modeProperty ? modeProperty->value().toInt() : 0;
    qCDebug(ktTask) << "KTCommonInterface::startTask" << mode;

    if (mode == 0) {
        KTDeviceProperty *copies = property_ptr("TASK_COPIES");
        if (!copies)
            return;
        const QByteArray copiesFrame = copies->set_cmd_bytes();
        qCDebug(ktTask) << "KTCommonInterface::startTask" << copiesFrame;
        sendCMD(copiesFrame);
        KTDeviceProperty *plt = property_ptr("TASK_PLT");
        if (!plt)
            return;
        sendCMD(plt->set_cmd_bytes());
    } else if (mode == 1) {
        KTDeviceProperty *copies = property_ptr("QRCODE_COPIES");
        if (!copies)
            return;
        sendCMD(copies->set_cmd_bytes());
    }

    KTDeviceProperty *start = property_ptr("TASK_START_TIME");
    if (!start) {
        start = new KTDeviceProperty;
        start->init(QDateTime::currentDateTime(), QStringLiteral(""), QStringLiteral(""), 0, 0, 0, UnCMD,
                    QStringList());
        attachProperty("TASK_START_TIME", start);
    }
    start->setValue(QDateTime::currentDateTime());
}

void KTCommonInterface::stopTask()
{
    device_task_record_to_cloud();
    if (KTDeviceProperty *start = property_ptr("TASK_START_TIME"))
        start->setValue(QDateTime());
    if (KTDeviceProperty *task = property_ptr("TASK")) {
        QJsonObject record = task->value().toJsonObject();
        record.insert(QStringLiteral("Status"), 0);
        record.insert(QStringLiteral("FileName"), QStringLiteral(""));
        record.insert(QStringLiteral("TaskCopies"), 0);
        record.insert(QStringLiteral("Finished"), 0);
        record.insert(QStringLiteral("Percent"), 100);
        task->setValue(record);
    }
}

// Jog steps are always 100 units; bit 15 marks the positive direction.
static int jogStep(int direction)
{
    if (direction < 0)
        return 100;
    if (direction > 0)
        return 0x8064;
    return 0;
}

void KTCommonInterface::move(int y, int x)
{
    if (KTDeviceProperty *moveY = property_ptr("MOVE_Y")) {
        moveY->setValue(jogStep(y));
        sendCMD(moveY->set_cmd_bytes());
    }
    if (KTDeviceProperty *moveX = property_ptr("MOVE_X")) {
        moveX->setValue(jogStep(x));
        sendCMD(moveX->set_cmd_bytes());
    }
}
