// cut and qr: a job started on the machine and followed through its reports.
#include "tools/host/hostcommand.h"
#include "tools/host/hostjob.h"
#include "tools/host/hosttask.h"
#include "tools/host/hosttext.h"
#include "tools/host/kthost.h"
#include "platform/nuvexacloud/nuvexacloud.h"
#include "property/ktdeviceproperty.h"

#include <QAbstractSocket>
#include <QElapsedTimer>
#include <QJsonObject>
#include <QPointer>

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

using HostTask::Failed;
using HostTask::Idle;
using HostTask::isRunning;
using HostTask::NoTask;

// Which job on the machine is this host's: the first one its reports show
// starting after ours was sent. The machine tells jobs apart by their file
// names; a job that was already running when ours went out is not ours,
// unless it starts over under the same name.
struct OwnJob
{
    QString before;        // running on the machine when ours was sent
    int beforePercent = -1;
    bool adopted = false;
    QString name;

    explicit OwnJob(const QJsonObject &task)
    {
        if (isRunning(task.value("Status").toInt())) {
            before = task.value("FileName").toString();
            beforePercent = task.value("Percent").toInt();
        }
    }
    // Takes the job of a report as ours when it is the first one after the start.
    void adoptFrom(const QJsonObject &task)
    {
        const QString reported = task.value("FileName").toString();
        const int percent = task.value("Percent").toInt();
        const bool earlier = beforePercent >= 0 && reported == before && percent >= beforePercent;
        if (reported == before)
            beforePercent = percent;
        if (!earlier && isRunning(task.value("Status").toInt())) {
            adopted = true;
            name = reported;
        }
    }
    bool holds(const QJsonObject &task) const { return adopted && task.value("FileName").toString() == name; }
};

// Hands the task back to the plug-in, whose stop posts a work record for the
// copies TASK calls finished. Those are this host's only while TASK still
// describes its own job: another job's copies are cleared first.
void closeTask(KTDeviceInterface *d, const OwnJob &own)
{
    KTDeviceProperty *t = d->property_ptr("TASK");
    if (t && !own.holds(t->value().toJsonObject())) {
        QJsonObject task = t->value().toJsonObject();
        task.insert("TaskCopies", 0);
        task.insert("Finished", 0);
        t->setValue(task);
    }
    d->stopTask();
}

// Asks the machine to stop the running job and waits up to waitMs for a
// report saying it no longer works; the text says which of the two happened.
QString stopMachine(HostContext &c, const OwnJob &own, int waitMs)
{
    const QString said = HostTask::stop(c, waitMs);
    closeTask(c.device(), own);
    return said;
}

// One line of progress per report of the job: a terminal gets one bar
// redrawn in place; a log or a pipe gets a line whenever another tenth of
// the job or another copy is done.
struct ProgressLine
{
    const bool terminal = ::isatty(STDOUT_FILENO);
    QString lastLogged;

    void show(const QJsonObject &task, int copies, const QString &name)
    {
        const int percent = task.value("Percent").toInt();
        const int finished = task.value("Finished").toInt();
        const QString progress = QStringLiteral("%1 %2%  copies %3/%4  %5")
                                     .arg(bar(percent))
                                     .arg(percent, 3)
                                     .arg(finished)
                                     .arg(task.value("TaskCopies").toInt(copies))
                                     .arg(HostText::printable(name));
        if (terminal) {
            hostOut() << "\r" << progress << "   ";
        } else {
            const QString step = QStringLiteral("%1 %2").arg(percent / 10).arg(finished);
            if (step != lastLogged)
                hostOut() << progress << "\n";
            lastLogged = step;
        }
        hostOut().flush();
    }
};

// What the job's reports said by the time they stopped.
struct TaskEnd
{
    bool complete = false, failed = false, ended = false;
    QString replacedBy;   // null while no other job was seen
    QJsonObject last;     // the last report of this job
};

// The verdict once the reports stopped: done, or one line saying what
// happened, with a stop sent wherever this job may still run.
int finishTask(HostContext &c, const OwnJob &own, const TaskEnd &end, int copies, bool qr)
{
    KTHost &host = c.host;
    KTDeviceInterface *d = c.device();
    // A machine that answers confirms a stop at once; one that has been
    // silent gets a second at most, so the host ends within --timeout and that.
    const int stopWaitMs = qMin(c.timeoutMs, 3000);
    if (host.isInterrupted()) {
        host.clearInterrupt();
        return hostFail(KTHost::Interrupted, "interrupted: " + stopMachine(c, own, stopWaitMs));
    }
    if (host.linkLost())
        return hostFail(KTHost::LinkFailure,
                        "link lost during the job (" + host.lastStatus() + "); " + stopMachine(c, own, stopWaitMs));
    if (end.failed) {
        return hostFail(KTHost::LinkFailure, "the machine reported an error (task status 5) during the job; "
                                                 + stopMachine(c, own, stopWaitMs)
                                                 + "; check the machine and the job, then cut again");
    }
    if (!end.replacedBy.isNull()) {
        // The other job is not ours to stop.
        closeTask(d, own);
        return hostFail(KTHost::LinkFailure,
                        QStringLiteral("job replaced or aborted by someone else: the machine runs %1 in place of %2; "
                                       "nothing stopped, no work record for this job; cut it again when the "
                                       "machine is free")
                            .arg(end.replacedBy, own.name));
    }
    if (end.ended && !end.complete) {
        const QString what = QStringLiteral("the machine ended %1 at %2% with %3 of %4 copies")
                                 .arg(own.name)
                                 .arg(end.last.value("Percent").toInt())
                                 .arg(end.last.value("Finished").toInt())
                                 .arg(copies);
        closeTask(d, own);
        return hostFail(KTHost::LinkFailure, "job replaced or aborted by someone else: " + what
                                                 + " (stopped on the machine or by another host); cut the rest again");
    }
    if (!end.complete) {
        return hostFail(KTHost::LinkFailure, QStringLiteral("no task report for %1; %2")
                                                 .arg(KTHost::seconds(c.timeoutMs), stopMachine(c, own, 900)));
    }
    closeTask(d, own);
    // Said when the machine is done; the cloud's wait for the work record
    // comes after, bounded by --cloud-wait.
    hostOut() << (qr ? "QR job" : "cut job") << " complete: " << copies << " copies\n";
    hostOut().flush();
    return KTHost::Ok;
}

// Follows the task reports until the machine itself reports every copy of
// this job finished. Reports of an earlier job are passed over; once the job
// is ours, a report of another one means someone else replaced it.
// streamBytes: the size of the job's data, whose leaving the link counts as
// the machine's sign of life until it has all gone.
int followTask(HostContext &c, int copies, bool qr, OwnJob own, qint64 streamBytes)
{
    KTHost &host = c.host;
    KTDeviceInterface *d = c.device();
    QElapsedTimer idle;
    idle.start();
    TaskEnd end;
    int reportsSeen = 0;
    ProgressLine progress;
    // While the job's data is still leaving, the machine is busy taking it
    // and cannot be running it yet; heartbeats written after that are no
    // sign of the machine.
    QMetaObject::Connection streaming;
    qint64 streamed = 0;
    QPointer<QAbstractSocket> socket = d->findChild<QAbstractSocket *>();
    if (socket && streamBytes > 0) {
        streaming = QObject::connect(socket, &QAbstractSocket::bytesWritten, [&](qint64 written) {
            streamed += written;
            if (streamed < streamBytes)
                idle.restart();
        });
    } else {
        streamed = streamBytes;
    }
    auto reports = QObject::connect(&host, &KTHost::deviceMessage,
                                    [&](KTDeviceInterface::KTDeviceMessage kind, const QString &text) {
        if (kind == KTDeviceInterface::Qrcode) {
            idle.restart();
            ++reportsSeen;
            hostOut() << (progress.terminal ? "\n" : "") << "QR code: " << HostText::printable(text) << "\n";
            return;
        }
        if (kind != KTDeviceInterface::DevTasK)
            return;
        idle.restart();
        ++reportsSeen;
        const QJsonObject task = HostTask::record(d);
        const int status = task.value("Status").toInt();
        if (!own.adopted) {
            if (streamed >= streamBytes || !socket || socket->bytesToWrite() == 0)
                own.adoptFrom(task);
            if (!own.adopted) {
                end.failed |= status == Failed;   // the machine refused what it was sent
                return;
            }
        } else if (!own.holds(task)) {
            end.replacedBy = task.value("FileName").toString();
            return;
        }
        end.last = task;
        progress.show(task, copies, own.name);
        end.failed |= status == Failed;   // a later report in the same read must not hide it
        end.ended = status == Idle || status == NoTask;
        end.complete = end.ended && !end.failed && task.value("Percent").toInt() == 100
                       && task.value("Finished").toInt() >= copies;
    });
    // Each report restarts the silence allowance.
    while (!end.ended && !end.failed && end.replacedBy.isNull() && !host.linkLost() && !host.isInterrupted()) {
        const qint64 left = c.timeoutMs - idle.elapsed();
        if (left <= 0)
            break;
        const int seen = reportsSeen;
        host.waitFor([&] {
            return end.ended || end.failed || !end.replacedBy.isNull() || host.linkLost() || reportsSeen != seen;
        }, int(left));
        // The host itself was held (the outbox waiting out another
        // program's lock): the machine's silence is counted from now.
        if (host.wasHeld())
            idle.restart();
    }
    QObject::disconnect(reports);
    QObject::disconnect(streaming);
    if (progress.terminal)
        hostOut() << "\n";
    return finishTask(c, own, end, copies, qr);
}

} // namespace

int checkCut(HostContext &c)
{
    QString error;
    if (!job.load(c.args.first(), &error))
        return hostFail(KTHost::Usage, error);
    const QString refusal = job.refusal();
    if (!refusal.isEmpty())
        return hostFail(KTHost::Usage, refusal);
    // What the job leaves out is said before it is cut, not found afterwards.
    const QStringList warnings = job.job->warnings();
    const int shown = qMin(warnings.size(), 5);
    for (int i = 0; i < shown; ++i)
        hostOut() << "warning: " << warnings.at(i) << "\n";
    if (warnings.size() > shown)
        hostOut() << "... " << (warnings.size() - shown) << " more warnings (kt-host inspect lists them)\n";
    return KTHost::Ok;
}

// A peer that is not a cutter (port 9100 is also the printers' port) must
// not get a job: it has to answer the machine's information first.
int requireCutter(HostContext &c)
{
    QString error;
    KTDeviceProperty *info = c.device()->property_ptr("DEVICE_INFO");
    if (!info || !c.host.read(info, c.timeoutMs, &error)) {
        if (c.host.isInterrupted())
            return KTHost::Interrupted;
        return hostFail(KTHost::LinkFailure,
                        QStringLiteral("the peer does not answer as a cutter (machine information: %1); no job sent")
                            .arg(info ? error : QStringLiteral("unknown to the plug-in")));
    }
    return KTHost::Ok;
}

int runCut(HostContext &c)
{
    KTDeviceInterface *d = c.device();
    const int copies = copiesOption(c);
    if (const int status = requireCutter(c))
        return status;
    QString error;
    QString text = job.text(&error);
    if (text.isNull())
        return hostFail(KTHost::Usage, error);
    if (KTDeviceProperty *fileInfo = d->property_ptr("TASK_FILE_INFO"))
        fileInfo->setValue(job.job->taskFileInfo());
    d->property_ptr("TASK_MODE")->setValue(0);
    d->property_ptr("TASK_COPIES")->setValue(copies);
    const qint64 size = job.job->cutDataSize();
    const bool normalized = job.job->isNormalized();
    const int dropped = job.job->facts().value("labels_dropped").toInt();
    job.job.reset();   // the plug-in holds the job from here
    d->setPlt(std::move(text));
    hostOut() << "cutting " << c.args.first() << " (" << size << " bytes";
    if (normalized)
        hostOut() << " of the job made from its paths";
    if (dropped)
        hostOut() << ", " << dropped << " text labels dropped";
    hostOut() << "), " << copies << " copies\n";
    const OwnJob own(HostTask::record(d));
    d->startTask();
    // The frame is on its way; the text need not stay for the job's length.
    d->setPlt(QString());
    return followTask(c, copies, false, own, size);
}

int runQr(HostContext &c)
{
    if (const int status = requireCutter(c))
        return status;
    if (c.options.isSet("jobs"))
        return runQrJobs(c);
    KTDeviceInterface *d = c.device();
    const int copies = copiesOption(c);
    d->property_ptr("TASK_MODE")->setValue(1);
    d->property_ptr("QRCODE_COPIES")->setValue(copies);
    const OwnJob own(HostTask::record(d));
    d->startTask();
    return followTask(c, copies, true, own, 0);
}
