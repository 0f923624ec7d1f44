#include "device/ktcommoninterface.h"
#include "property/ktdeviceproperty.h"
#include "property/kttrace.h"

#include <QDebug>
#include <QJsonObject>
#include <QPointer>

#include <cmath>

void KTCommonInterface::decode_buffer()
{
    // All complete frames leave the buffer before any is dispatched, so a
    // host that re-enters the event loop from a signal finds it consistent.
    const QVector<QByteArray> frames = frame_cutter.cut(receive_buffer);
    QPointer<KTCommonInterface> guard(this);
    for (const QByteArray &frame : frames) {
        const QString text = KTFrame::frameText(frame);
        qCDebug(ktDispatch) << "Decode CMD : " << text;
        decode_cmd(text);
        if (!guard)
            return;
    }
}

void KTCommonInterface::decode_cmd(QString item, QString &name, int &number, QString &value)
{
    KTFrame::splitCmdItem(item, name, number, value);
}

void KTCommonInterface::decode_cmd(QString frame)
{
    const QStringList fields = frame.split(QLatin1Char(';'));
    if (fields.size() < 3)
        return;

    KTDeviceCMDType kind = UnCMD;
    QStringList values;
    int number = 0;

    if (fields.at(1) == QLatin1String("CMD")) {
        kind = CMD;
        for (int i = 2; i < fields.size() - 1; ++i) {
            QString name, value;
            int n = 0;
            decode_cmd(fields.at(i), name, n, value);
            values.append(value);
            if (i == 2)
                number = n;
        }
    } else if (fields.at(1) == QLatin1String("CCMD")) {
        kind = CCMD;
        const QStringList elements = fields.at(2).split(QLatin1Char(','));
        if (elements.isEmpty())
            return;
        const int code = elements.at(0).toInt(nullptr, 10);
        if (code == 66) {
            if (frame == last_task_reply)
                return;
            last_task_reply = frame;
            decode_task(fields.at(2));
            return;
        }
        if (code == 11 || code == 55) {
            qCDebug(ktDispatch) << "KTCommonInterface::decode_cmd" << ("(" + elements.join(QStringLiteral(", ")) + ")")
                         << elements.last();
            emit message(Qrcode, elements.last());
            return;
        }
        if (elements.size() < 2 || elements.at(1).toInt(nullptr, 10) != 0)
            return;
        values = elements.mid(2);
        number = code;
    }

    // Task stop, pause and resume (and the 157 work mode) are never written
    // back from a reply.
    if (values.isEmpty() || number == 27 || number == 125)
        return;

    const QList<QByteArray> names = dynamicPropertyNames();
    for (const QByteArray &name : names) {
        KTDeviceProperty *p = property_ptr(name.constData());
        if (!p)
            return;
        if (p->cmd_type() != kind)
            continue;
        if (p->get_cmd_int() != number && p->set_cmd_int() != number)
            continue;
        const QStringList params = p->param();
        if (params.isEmpty())
            p->set_decode(values);
        else if (values.size() == params.size() + 1 && values.last() != QLatin1String("0"))
            p->set_decode(values);
        return;
    }
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
