#include "device/ktcommoninterface.h"
#include "property/ktdeviceproperty.h"
#include "property/kttrace.h"

#include <QCoreApplication>
#include <QDebug>
#include <QEvent>
#include <QJsonObject>
#include <QPointer>

#include <cmath>

bool KTCommonInterface::event(QEvent *e)
{
    if (e->type() == QEvent::DynamicPropertyChange)
        parameter_index.invalidate();
    return KTDeviceInterface::event(e);
}

KTParameterIndex::Match KTCommonInterface::find_parameter(KTDeviceCMDType kind, int number)
{
    // Without an application no change event is delivered to keep it in step.
    if (QCoreApplication::instance())
        return parameter_index.find(this, kind, number);
    KTParameterIndex::Match m;
    const QList<QByteArray> names = dynamicPropertyNames();
    for (const QByteArray &name : names) {
        KTDeviceProperty *p = property_ptr(name.constData());
        if (!p) {
            m.stopped = true;
            break;
        }
        if (p->cmd_type() == kind && (p->get_cmd_int() == number || p->set_cmd_int() == number)) {
            m.parameter = p;
            break;
        }
    }
    return m;
}

void KTCommonInterface::decode_buffer()
{
    // One frame at a time from the front: it leaves the buffer before it is
    // dispatched, so a host that reads more bytes from inside a signal (a
    // nested event loop) continues with the next frame in arrival order.
    // Everything is read back from the members after each dispatch.
    int start = 0;
    int length = 0;
    QPointer<KTCommonInterface> guard;
    while (frame_cutter.next(receive_buffer, &start, &length)) {
        const QString text = KTFrame::frameText(QByteArray::fromRawData(receive_buffer.constData() + start, length));
        qCDebug(ktDispatch) << "Decode CMD : " << text;
        if (guard.isNull())
            guard = this;   // taken once per pass, not per frame
        decode_cmd(text);
        if (guard.isNull())
            return;   // a host slot deleted the device
    }
    frame_cutter.compact(receive_buffer);
    // A long frame or garbage does not keep its memory once it is gone.
    if (receive_buffer.capacity() > 4 * ReceiveCapacity && receive_buffer.size() < ReceiveCapacity)
        receive_buffer.squeeze();
}

void KTCommonInterface::decode_cmd(QString item, QString &name, int &number, QString &value)
{
    KTFrame::splitCmdItem(item, name, number, value);
}

void KTCommonInterface::decode_cmd(QString frame)
{
    dispatch_reply(KTFrame::parseReply(frame));
}

void KTCommonInterface::dispatch_reply(const KTFrame::Reply &reply)
{
    KTDeviceCMDType kind = UnCMD;
    switch (reply.word) {
    case KTFrame::Reply::Invalid:
    case KTFrame::Reply::Other:
        return;   // no values, nothing to apply
    case KTFrame::Reply::Cmd:
        kind = CMD;
        break;
    case KTFrame::Reply::Ccmd:
        kind = CCMD;
        if (reply.number == 66) {
            if (reply.frame == last_task_reply)
                return;
            last_task_reply = reply.frame;
            decode_task(reply.body());
            return;
        }
        if (reply.number == 11 || reply.number == 55) {
            qCDebug(ktDispatch) << "KTCommonInterface::decode_cmd"
                                << ("(" + reply.elements().join(QStringLiteral(", ")) + ")") << reply.lastElement();
            emit message(Qrcode, reply.lastElement());
            return;
        }
        if (reply.elementCount < 2 || reply.status != 0)
            return;
        break;
    }

    // Task stop, pause and resume (and the 157 work mode) are never written
    // back from a reply.
    if (reply.values.isEmpty() || reply.number == 27 || reply.number == 125)
        return;

    KTDeviceProperty *p = find_parameter(kind, reply.number).parameter;
    if (!p)
        return;
    const QStringList params = p->param();
    if (params.isEmpty())
        p->set_decode(reply.values);
    else if (reply.values.size() == params.size() + 1 && reply.values.last() != QLatin1String("0"))
        p->set_decode(reply.values);
}

void KTCommonInterface::decode_task(QString body)
{
    KTDeviceProperty *task = property_ptr("TASK");
    if (!task) {
        task = new KTDeviceProperty;
        task->init(QJsonObject(), tr("当前任务"), QStringLiteral(""), 0, 0, 0, UnCMD, QStringList());
        attachProperty("TASK", task);
    }
    QJsonObject record = task->value().toJsonObject();
    const QStringList e = body.split(QLatin1Char(','));
    if (e.size() < 9)
        return;

    record.insert(QStringLiteral("Status"), e.at(1).toInt(nullptr, 10));
    record.insert(QStringLiteral("FileName"), e.at(2));
    record.insert(QStringLiteral("TaskCopies"), e.at(3).toInt(nullptr, 10));
    record.insert(QStringLiteral("Finished"), e.at(4).toInt(nullptr, 10));
    // Truncated toward zero; a value no int can hold reads as 0.
    const double percent = e.at(5).toDouble();
    record.insert(QStringLiteral("Percent"), std::isfinite(percent) && std::fabs(percent) < 2e9 ? int(percent) : 0);
    task->setValue(record);

    QPointer<KTCommonInterface> guard(this);
    emit message(DevTasK, body);
    if (guard)
        device_task_to_cloud();
}
