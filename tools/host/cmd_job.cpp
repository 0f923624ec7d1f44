// cut and qr: a job started on the machine and followed through its reports.
#include "tools/host/hostcommand.h"
#include "tools/host/hostjob.h"
#include "tools/host/kthost.h"
#include "platform/nuvexacloud/nuvexacloud.h"
#include "property/ktdeviceproperty.h"

#include <QAbstractSocket>
#include <QElapsedTimer>
#include <QJsonObject>

#include <cstdio>
#include <unistd.h>

namespace {

HostJob job;   // read and checked by checkCut before any connection

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

QJsonObject taskRecord(KTDeviceInterface *d)
{
    KTDeviceProperty *t = d->property_ptr("TASK");
    return t ? t->value().toJsonObject() : QJsonObject();
}

// Task states of the machine's reports.
constexpr int Working = 2, Paused = 3, Failed = 5;

// Asks the machine to stop the running job and waits for a report saying it
// no longer works; the text says which of the two happened.
QString stopMachine(HostContext &c)
{
    KTHost &host = c.host;
    KTDeviceInterface *d = c.device();
    if (host.linkLost()) {
        d->stopTask();
        return QStringLiteral("no stop could be sent");
    }
    bool confirmed = false;
    auto reports = QObject::connect(&host, &KTHost::deviceMessage,
                                    [&](KTDeviceInterface::KTDeviceMessage kind, const QString &) {
        const int status = taskRecord(d).value("Status").toInt();
        if (kind == KTDeviceInterface::DevTasK && status != Working && status != Paused)
            confirmed = true;
    });
    if (KTDeviceProperty *stop = d->property_ptr("TASK_STOP")) {
        stop->setValue(2);
        d->sendCMD(stop->set_cmd_bytes());
    }
    host.waitFor([&] { return confirmed || host.linkLost(); }, qMin(c.timeoutMs, 3000));
    QObject::disconnect(reports);
    d->stopTask();
    return confirmed ? QStringLiteral("stop sent to the machine, which confirmed it")
                     : QStringLiteral("stop sent to the machine, which did not confirm it");
}

// Follows the task reports until the machine itself reports every copy of
// this job finished: a report of the job running comes first, so an earlier
// job's last report cannot end it.
int followTask(HostContext &c, int copies, bool qr)
{
    KTHost &host = c.host;
    KTDeviceInterface *d = c.device();
    QElapsedTimer idle;
    idle.start();
    bool running = false, complete = false, failed = false;
    int reportsSeen = 0;
    // A terminal gets one bar redrawn in place; a log or a pipe gets a line
    // whenever another tenth of the job or another copy is done.
    const bool terminal = ::isatty(STDOUT_FILENO);
    QString lastLogged;
    auto reports = QObject::connect(&host, &KTHost::deviceMessage,
                                    [&](KTDeviceInterface::KTDeviceMessage kind, const QString &text) {
        idle.restart();
        ++reportsSeen;
        if (kind == KTDeviceInterface::Qrcode) {
            hostOut() << (terminal ? "\n" : "") << "QR code: " << text << "\n";
            return;
        }
        if (kind != KTDeviceInterface::DevTasK)
            return;
        const QJsonObject task = taskRecord(d);
        const int status = task.value("Status").toInt();
        const int percent = task.value("Percent").toInt();
        const int finished = task.value("Finished").toInt();
        const QString progress = QStringLiteral("%1 %2%  copies %3/%4  %5")
                                     .arg(bar(percent))
                                     .arg(percent, 3)
                                     .arg(finished)
                                     .arg(task.value("TaskCopies").toInt(copies))
                                     .arg(task.value("FileName").toString());
        if (terminal) {
            hostOut() << "\r" << progress << "   ";
        } else {
            const QString step = QStringLiteral("%1 %2").arg(percent / 10).arg(finished);
            if (step != lastLogged)
                hostOut() << progress << "\n";
            lastLogged = step;
        }
        hostOut().flush();
        failed |= status == Failed;   // a later report in the same read must not hide it
        running |= status == Working || status == Paused;
        complete = running && status != Working && status != Paused && !failed && percent == 100
                   && finished >= copies;
    });
    // While the job is still streaming out the machine is busy taking it.
    QMetaObject::Connection streaming;
    if (auto *socket = d->findChild<QAbstractSocket *>())
        streaming = QObject::connect(socket, &QAbstractSocket::bytesWritten, [&idle] { idle.restart(); });
    // Each report restarts the silence allowance.
    while (!complete && !failed && !host.linkLost() && !host.isInterrupted()) {
        const qint64 left = c.timeoutMs - idle.elapsed();
        if (left <= 0)
            break;
        const int seen = reportsSeen;
        host.waitFor([&] { return complete || failed || host.linkLost() || reportsSeen != seen; }, int(left));
    }
    QObject::disconnect(reports);
    QObject::disconnect(streaming);
    if (terminal)
        hostOut() << "\n";
    if (host.isInterrupted()) {
        host.clearInterrupt();
        return hostFail(KTHost::Interrupted, "interrupted: " + stopMachine(c));
    }
    if (host.linkLost())
        return hostFail(KTHost::LinkFailure,
                        "link lost during the job (" + host.lastStatus() + "); " + stopMachine(c));
    if (failed) {
        return hostFail(KTHost::LinkFailure, "the machine reported an error (task status 5) during the job; "
                                                 + stopMachine(c) + "; check the machine and the job, then cut again");
    }
    if (!complete) {
        return hostFail(KTHost::LinkFailure, QStringLiteral("no task report for %1; %2")
                                                 .arg(KTHost::seconds(c.timeoutMs), stopMachine(c)));
    }
    d->stopTask();
    // Said when the machine is done; the cloud's wait for the work record
    // comes after, bounded by --cloud-wait.
    hostOut() << (qr ? "QR job" : "cut job") << " complete: " << copies << " copies\n";
    hostOut().flush();
    return KTHost::Ok;
}

} // namespace

int checkCut(HostContext &c)
{
    QString error;
    if (!job.load(c.args.first(), c.options.isSet("drop-labels"), &error, true))
        return hostFail(KTHost::Usage, error);
    const QString refusal = job.refusal();
    if (!refusal.isEmpty())
        return hostFail(KTHost::Usage, refusal);
    return KTHost::Ok;
}

int runCut(HostContext &c)
{
    KTDeviceInterface *d = c.device();
    const int copies = copiesOption(c);
    // A peer that is not a cutter (port 9100 is also the printers' port)
    // must not get the job: it has to answer the machine's information first.
    QString error;
    KTDeviceProperty *info = d->property_ptr("DEVICE_INFO");
    if (!info || !c.host.read(info, c.timeoutMs, &error)) {
        if (c.host.isInterrupted())
            return KTHost::Interrupted;
        return hostFail(KTHost::LinkFailure,
                        QStringLiteral("the peer does not answer as a cutter (machine information: %1); no job sent")
                            .arg(info ? error : QStringLiteral("unknown to the plug-in")));
    }
    QString text = job.text(&error);
    if (text.isNull())
        return hostFail(KTHost::Usage, error);
    if (KTDeviceProperty *fileInfo = d->property_ptr("TASK_FILE_INFO"))
        fileInfo->setValue(job.facts.taskFileInfo());
    d->property_ptr("TASK_MODE")->setValue(0);
    d->property_ptr("TASK_COPIES")->setValue(copies);
    const qint64 size = job.bytes.size();
    job.bytes = QByteArray();   // the plug-in holds the job from here
    d->setPlt(std::move(text));
    hostOut() << "cutting " << c.args.first() << " (" << size << " bytes";
    if (job.droppedLabels)
        hostOut() << ", " << job.droppedLabels << " text labels dropped";
    hostOut() << "), " << copies << " copies\n";
    d->startTask();
    // The frame is on its way; the text need not stay for the job's length.
    d->setPlt(QString());
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
