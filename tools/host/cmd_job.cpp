// cut and qr: a job started on the machine and followed through its reports.
#include "tools/host/hostcommand.h"
#include "tools/host/kthost.h"
#include "tools/host/pltinfo.h"
#include "property/ktdeviceproperty.h"

#include <QElapsedTimer>
#include <QFile>
#include <QJsonObject>

namespace {

QByteArray jobBytes;   // read by checkCut before any connection

int copiesOption(HostContext &c)
{
    bool ok = false;
    const int copies = c.options.value(QStringLiteral("copies")).toInt(&ok);
    return ok && copies >= 1 ? copies : 0;
}

QString bar(int percent)
{
    const int filled = qBound(0, percent, 100) * 30 / 100;
    return "[" + QString(filled, '#') + QString(30 - filled, '-') + "]";
}

// Asks the machine to stop the running job.
void sendStop(KTDeviceInterface *d)
{
    if (KTDeviceProperty *stop = d->property_ptr("TASK_STOP")) {
        stop->setValue(2);
        d->sendCMD(stop->set_cmd_bytes());
    }
    d->stopTask();
}

// Follows the task reports until the machine reports every copy finished.
int followTask(HostContext &c, int copies, bool qr)
{
    KTHost &host = c.host;
    KTDeviceInterface *d = c.device();
    QElapsedTimer idle;
    idle.start();
    bool complete = false;
    int reportsSeen = 0;
    auto reports = QObject::connect(&host, &KTHost::deviceMessage,
                                    [&](KTDeviceInterface::KTDeviceMessage kind, const QString &text) {
        idle.restart();
        ++reportsSeen;
        if (kind == KTDeviceInterface::Qrcode) {
            hostOut() << "\nQR code: " << text << "\n";
            return;
        }
        if (kind != KTDeviceInterface::DevTasK)
            return;
        KTDeviceProperty *t = d->property_ptr("TASK");
        const QJsonObject task = t ? t->value().toJsonObject() : QJsonObject();
        const int percent = task.value("Percent").toInt();
        const int finished = task.value("Finished").toInt();
        hostOut() << "\r" << bar(percent) << QStringLiteral(" %1% ").arg(percent, 3) << " copies " << finished << "/"
                  << task.value("TaskCopies").toInt(copies) << "  " << task.value("FileName").toString() << "   ";
        hostOut().flush();
        complete = percent == 100 && finished >= copies;
    });
    // Each report restarts the silence allowance.
    while (!complete && !host.linkLost() && !host.isInterrupted()) {
        const qint64 left = c.timeoutMs - idle.elapsed();
        if (left <= 0)
            break;
        const int seen = reportsSeen;
        host.waitFor([&] { return complete || host.linkLost() || reportsSeen != seen; }, int(left));
    }
    QObject::disconnect(reports);
    hostOut() << "\n";
    if (host.isInterrupted()) {
        host.clearInterrupt();
        sendStop(d);
        QString error;
        host.barrier(qMin(c.timeoutMs, 2000), &error);   // let the stop reach the machine
        return hostFail(KTHost::Interrupted, "interrupted: stop sent to the machine");
    }
    if (host.linkLost())
        return hostFail(KTHost::LinkFailure, "link lost during the job (" + host.lastStatus() + ")");
    if (!complete) {
        sendStop(d);
        return hostFail(KTHost::LinkFailure,
                        QStringLiteral("no task report for %1; stop sent to the machine").arg(KTHost::seconds(c.timeoutMs)));
    }
    d->stopTask();
    host.waitForDelivery(c.timeoutMs);
    hostOut() << (qr ? "QR job" : "cut job") << " complete: " << copies << " copies\n";
    return KTHost::Ok;
}

} // namespace

int checkCut(HostContext &c)
{
    QFile file(c.args.first());
    if (!file.open(QIODevice::ReadOnly))
        return hostFail(KTHost::Usage, QStringLiteral("cannot read %1: %2").arg(c.args.first(), file.errorString()));
    jobBytes = file.readAll();
    return KTHost::Ok;
}

int runCut(HostContext &c)
{
    KTDeviceInterface *d = c.device();
    const int copies = copiesOption(c);
    if (KTDeviceProperty *info = d->property_ptr("TASK_FILE_INFO"))
        info->setValue(pltFileInfo(jobBytes));
    d->property_ptr("TASK_MODE")->setValue(0);
    d->property_ptr("TASK_COPIES")->setValue(copies);
    d->setPlt(QString::fromLatin1(jobBytes));
    hostOut() << "cutting " << c.args.first() << " (" << jobBytes.size() << " bytes), " << copies << " copies\n";
    d->startTask();
    return followTask(c, copies, false);
}

int runQr(HostContext &c)
{
    KTDeviceInterface *d = c.device();
    const int copies = copiesOption(c);
    d->property_ptr("TASK_MODE")->setValue(1);
    d->property_ptr("QRCODE_COPIES")->setValue(copies);
    d->startTask();
    return followTask(c, copies, true);
}
