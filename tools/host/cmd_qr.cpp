// qr --jobs DIR: the production run of a QR-code task. The machine reads the
// code on each sheet of its stack and tells the host; the host answers with
// the cut data of the job the code names, through QR_PLT.
#include "tools/host/hostcommand.h"
#include "tools/host/hostjob.h"
#include "tools/host/hosttask.h"
#include "tools/host/hosttext.h"
#include "tools/host/kthost.h"
#include "tools/host/qrjobs.h"
#include "property/ktdeviceproperty.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QJsonObject>
#include <QMap>

#include <climits>

namespace {

constexpr int MaxSheets = 9999;
// Notices not yet answered; a machine sends the next one only after the
// sheet before it was answered, so a long queue means it is not waiting.
constexpr int MaxPendingNotices = 16;

using HostTask::Failed;
using HostTask::Paused;
using HostTask::Working;

QString shown(const QString &code)
{
    return code.isEmpty() ? QStringLiteral("(unreadable)") : "\"" + HostText::printable(code) + "\"";
}

// The run's state, kept for the summary.
struct SheetRun
{
    QMap<QString, int> cutPerJob;
    int cut = 0;
    int skipped = 0;
    int sheet = 0;          // sheets announced so far
    QString cutting;        // job of the sheet under the knife, empty when none
    QJsonObject cuttingInfo;   // its TASK_FILE_INFO
    QJsonObject fileInfo;      // of the last sheet cut, with the path of every sheet cut
    double pathMm = 0;

    void sheetCut()
    {
        ++cut;
        ++cutPerJob[cutting];
        pathMm += cuttingInfo.value("path_length").toDouble();
        fileInfo = cuttingInfo;
        fileInfo.insert("path_length", qMin(pathMm, double(INT_MAX)));
        cutting.clear();
    }

    void summary() const
    {
        hostOut() << "sheets cut: " << cut;
        if (skipped)
            hostOut() << ", passed by: " << skipped;
        hostOut() << "\n";
        for (auto it = cutPerJob.cbegin(); it != cutPerJob.cend(); ++it)
            hostOut() << "  " << HostText::printable(it.key()) << ": " << it.value() << "\n";
        hostOut().flush();
    }
};

// Hands the task back to the plug-in, whose stop posts the work record: the
// sheets the machine took and those this run had cut, not the sheets asked
// for, which may be far more than the stack held.
void closeSheets(KTDeviceInterface *d, const SheetRun &run)
{
    if (KTDeviceProperty *info = d->property_ptr("TASK_FILE_INFO"))
        info->setValue(run.fileInfo);
    if (KTDeviceProperty *t = d->property_ptr("TASK")) {
        QJsonObject task = t->value().toJsonObject();
        task.insert("TaskCopies", run.sheet);
        task.insert("Finished", run.cut);
        t->setValue(task);
    }
    d->stopTask();
}

// Asks the machine to stop and waits up to waitMs for it to confirm; then
// the plug-in's stop posts the work record of the sheets cut so far.
QString stopSheets(HostContext &c, const SheetRun &run, int waitMs)
{
    const QString said = HostTask::stop(c, waitMs);
    closeSheets(c.device(), run);
    return said;
}

} // namespace

int checkQr(HostContext &c)
{
    const auto &o = c.options;
    if (!o.isSet("jobs")) {
        if (o.isSet("sheets") || o.isSet("on-unknown"))
            return hostFail(KTHost::Usage, "--sheets and --on-unknown belong to qr --jobs DIR");
        return KTHost::Ok;
    }
    if (o.isSet("copies"))
        return hostFail(KTHost::Usage, "qr --jobs counts sheets, not copies: use --sheets N");
    const QFileInfo dir(o.value("jobs"));
    if (!dir.isDir() || !dir.isReadable())
        return hostFail(KTHost::Usage,
                        QStringLiteral("--jobs %1 is not a readable directory; give the directory of the jobs the "
                                       "sheets name").arg(o.value("jobs")));
    bool ok = true;
    const int sheets = o.isSet("sheets") ? o.value("sheets").toInt(&ok) : MaxSheets;
    if (!ok || sheets < 1 || sheets > MaxSheets)
        return hostFail(KTHost::Usage, QStringLiteral("--sheets takes a whole number from 1 to %1, not \"%2\"")
                                           .arg(MaxSheets).arg(o.value("sheets")));
    const QString unknown = o.value("on-unknown");
    if (unknown != QLatin1String("stop") && unknown != QLatin1String("skip"))
        return hostFail(KTHost::Usage, QStringLiteral("--on-unknown takes stop or skip, not \"%1\"").arg(unknown));
    return KTHost::Ok;
}

int runQrJobs(HostContext &c)
{
    KTHost &host = c.host;
    KTDeviceInterface *d = c.device();
    KTDeviceProperty *plt = d->property_ptr("QR_PLT");
    if (!plt || !d->property_ptr("QRCODE_COPIES") || !d->property_ptr("TASK_MODE"))
        return hostFail(KTHost::LinkFailure, "the plug-in has no QR-code task (QR_PLT, QRCODE_COPIES, TASK_MODE)");
    const QDir dir(c.options.value("jobs"));
    const bool skip = c.options.value("on-unknown") == QLatin1String("skip");
    const int sheets = c.options.isSet("sheets") ? c.options.value("sheets").toInt() : MaxSheets;

    SheetRun run;
    QStringList notices;
    bool overflow = false, failed = false, ended = false;
    int events = 0, lastFinished = 0;
    QElapsedTimer idle;
    idle.start();
    auto messages = QObject::connect(&host, &KTHost::deviceMessage,
                                     [&](KTDeviceInterface::KTDeviceMessage kind, const QString &text) {
        if (kind == KTDeviceInterface::Qrcode) {
            if (notices.size() >= MaxPendingNotices)
                overflow = true;
            else
                notices << text;
        } else if (kind == KTDeviceInterface::DevTasK) {
            const QJsonObject task = HostTask::record(d);
            const int status = task.value("Status").toInt();
            const int finished = task.value("Finished").toInt();
            failed |= status == Failed;
            if (finished > lastFinished && !run.cutting.isEmpty()) {
                hostOut() << "sheet " << run.sheet << ": cut " << HostText::printable(run.cutting) << " ("
                          << run.cut + 1 << " sheets cut)\n";
                hostOut().flush();
                run.sheetCut();
            }
            lastFinished = qMax(lastFinished, finished);
            ended = status != Working && status != Paused && status != Failed;
        } else {
            return;
        }
        idle.restart();
        ++events;
    });

    hostOut() << "QR-code task: up to " << sheets << " sheets, jobs from " << dir.path() << "\n";
    hostOut().flush();
    d->property_ptr("TASK_MODE")->setValue(1);
    d->property_ptr("QRCODE_COPIES")->setValue(sheets);
    d->startTask();

    QString failure;
    int status = KTHost::Ok;
    bool timedOut = false;
    while (failure.isEmpty()) {
        if (host.isInterrupted() || host.linkLost() || failed || overflow)
            break;
        if (!notices.isEmpty()) {
            const QString code = notices.takeFirst();
            ++run.sheet;
            run.cutting.clear();   // a notice means the sheet before is out of the machine
            QString why;
            const QString path = QrJobs::find(dir, code, &why);
            QString text;
            QJsonObject info;
            if (!path.isNull()) {
                // Read, checked and converted as cut does it.
                HostJob job;
                QString error;
                if (!job.load(path, &error))
                    why = error;
                else
                    why = job.refusal();
                if (why.isEmpty() && (text = job.text(&error)).isNull())
                    why = error;
                if (job.job)
                    info = job.job->taskFileInfo();
            }
            if (why.isEmpty()) {
                plt->setValue(text);
                const QByteArray frame = plt->set_cmd_bytes();
                plt->setValue(QString());
                if (frame.isEmpty())
                    why = QStringLiteral("the job holds a byte that cannot go in a frame");
                else
                    d->sendCMD(frame);
            }
            if (why.isEmpty()) {
                run.cutting = QFileInfo(path).fileName();
                run.cuttingInfo = info;
                hostOut() << "sheet " << run.sheet << ": code " << shown(code) << " -> " << run.cutting << "\n";
                hostOut().flush();
                continue;
            }
            const QString line = QStringLiteral("sheet %1: code %2: %3").arg(run.sheet).arg(shown(code), why);
            if (!skip) {
                failure = line;
                break;
            }
            // Empty cut data passes the sheet by uncut.
            plt->setValue(QString(""));
            d->sendCMD(plt->set_cmd_bytes());
            plt->setValue(QString());
            ++run.skipped;
            hostOut() << line << "; passed by uncut\n";
            hostOut().flush();
            continue;
        }
        if (ended)
            break;
        const qint64 left = c.timeoutMs - idle.elapsed();
        if (left <= 0) {
            timedOut = true;
            break;
        }
        const int seen = events;
        host.waitFor([&] { return events != seen || host.isInterrupted() || host.linkLost(); }, int(left));
    }
    QObject::disconnect(messages);
    // A machine that answers confirms a stop at once; a silent one gets a
    // second at most, so the run ends within --timeout and that.
    const int stopWaitMs = qMin(c.timeoutMs, timedOut ? 1000 : 3000);
    const QString at = QStringLiteral("at sheet %1").arg(run.sheet);
    if (host.isInterrupted()) {
        host.clearInterrupt();
        failure = QStringLiteral("interrupted %1: %2").arg(at, stopSheets(c, run, stopWaitMs));
        status = KTHost::Interrupted;
    } else if (host.linkLost()) {
        failure = QStringLiteral("link lost %1 (%2); %3").arg(at, host.lastStatus(), stopSheets(c, run, stopWaitMs));
        status = KTHost::LinkFailure;
    } else if (failed) {
        failure = QStringLiteral("the machine reported an error (task status 5) %1; %2; check the machine and the "
                                 "sheet, then run the rest of the stack again").arg(at, stopSheets(c, run, stopWaitMs));
        status = KTHost::LinkFailure;
    } else if (overflow) {
        failure = QStringLiteral("the machine sent more than %1 codes without waiting for their cut data; %2")
                      .arg(MaxPendingNotices).arg(stopSheets(c, run, stopWaitMs));
        status = KTHost::LinkFailure;
    } else if (timedOut) {
        failure = QStringLiteral("no code or report from the machine for %1 %2; %3")
                      .arg(KTHost::seconds(c.timeoutMs), at, stopSheets(c, run, stopWaitMs));
        status = KTHost::LinkFailure;
    } else if (!failure.isEmpty()) {
        failure += QStringLiteral("; %1 (--on-unknown skip passes such sheets by)").arg(stopSheets(c, run, stopWaitMs));
        status = KTHost::LinkFailure;
    }
    run.summary();
    if (!failure.isEmpty())
        return hostFail(status, failure);
    closeSheets(d, run);
    if (c.options.isSet("sheets") && run.sheet < sheets)
        return hostFail(KTHost::LinkFailure, QStringLiteral("the machine ended the task after %1 of %2 sheets; "
                                                            "load the rest of the stack and run again")
                                                 .arg(run.sheet).arg(sheets));
    hostOut() << "QR job complete: " << run.sheet << " sheets\n";
    hostOut().flush();
    return KTHost::Ok;
}
