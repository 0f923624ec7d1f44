// inspect and preview: what a job file would cut, looked at before cutting.
#include "tools/host/hostcommand.h"
#include "tools/host/hostfile.h"
#include "tools/host/hostjob.h"
#include "tools/host/kthost.h"
#include "property/ktdeviceproperty.h"
#include "property/ktdisplayvalue.h"

#include <QCoreApplication>
#include <QJsonDocument>
#include <QJsonArray>
#include <QImage>

namespace {

HostJob job;   // read by the check, before any connection

QString mm(double value)
{
    return QString::number(value, 'f', value < 100 ? 2 : 1);
}

// Cutting speed in mm/s as the machine holds it now; 0 when it cannot say.
double machineSpeed(HostContext &c, QString *error)
{
    KTDeviceProperty *speed = c.device()->property_ptr("SP2_SPEED");
    if (!speed || !c.host.read(speed, c.timeoutMs, error))
        return 0;
    return KTDisplayValue::doubleShown(speed->value().toDouble(),
                                       KTDisplayValue::factorOf(speed->property("WIDGET").toJsonObject()));
}

} // namespace

int checkInspect(HostContext &c)
{
    QString error;
    if (!job.load(c.args.first(), &error))
        return hostFail(KTHost::Usage, error);
    return KTHost::Ok;
}

int runInspect(HostContext &c)
{
    const KTCutJob &j = *job.job;
    double speed = 0;
    if (c.options.isSet("tcp") || c.options.isSet("usb")) {
        QString error;
        const QString where = c.options.value(c.options.isSet("usb") ? "usb" : "tcp");
        const int baud = c.options.isSet("baud") ? c.options.value("baud").toInt() : 0;   // checked by main
        const bool linked = c.options.isSet("usb") ? c.host.connectUsb(where, baud, c.timeoutMs, &error)
                                                   : c.host.connectTcp(where, c.timeoutMs, &error);
        if (c.host.isInterrupted())
            return KTHost::Interrupted;
        if (!linked)
            return hostFail(KTHost::LinkFailure, QStringLiteral("cannot connect to %1: %2").arg(where, error));
        speed = machineSpeed(c, &error);
        if (c.host.isInterrupted())
            return KTHost::Interrupted;
        if (speed <= 0)
            return hostFail(KTHost::LinkFailure, "cannot read the cutting speed: " + error);
    }
    const QString refusal = j.refusal();
    QJsonObject facts = j.facts();
    if (c.options.isSet("json")) {
        facts.insert("refusal", refusal.isEmpty() ? QJsonValue() : QJsonValue(refusal));
        if (speed > 0) {
            facts.insert("speed_mm_s", speed);
            facts.insert("estimated_cut_s", j.pathLengthMm() / speed);
        }
        hostOut() << QJsonDocument(facts).toJson(QJsonDocument::Indented);
        return KTHost::Ok;
    }
    const int dropped = facts.value("labels_dropped").toInt();
    hostOut() << "file:          " << j.fileName() << " (" << KTCutJob::formatName(j.format()) << ", "
              << j.fileSize() << " bytes"
              << (dropped ? QStringLiteral(" without %1 text labels").arg(dropped) : QString()) << ")\n";
    hostOut() << "size:          " << mm(j.widthMm()) << " x " << mm(j.heightMm()) << " mm (width x height)\n";
    hostOut() << "path length:   " << mm(j.pathLengthMm()) << " mm\n";
    hostOut() << "strokes:       " << j.strokes() << "\n";
    if (j.format() == KTCutJob::Hpgl)
        hostOut() << "text labels:   " << facts.value("labels").toInt() << "\n";
    QStringList unknown;
    const QJsonObject unknownCommands = facts.value("unknown_commands").toObject();
    for (auto u = unknownCommands.begin(); u != unknownCommands.end(); ++u)
        unknown << QStringLiteral("%1 (%2)").arg(u.key()).arg(u.value().toInt());
    if (!unknown.isEmpty())
        hostOut() << "unknown:       " << unknown.join(", ") << "\n";
    if (speed > 0)
        hostOut() << "cut time:      " << QString::number(j.pathLengthMm() / speed, 'f', 1) << " s a copy at " << speed
                  << " mm/s\n";
    for (const QJsonValue &p : facts.value("problems").toArray()) {
        const QJsonObject o = p.toObject();
        if (o.value("error").toBool())
            hostOut() << "error: " << o.value("cause").toString() << "\n";
    }
    for (const QString &w : j.warnings())
        hostOut() << "warning: " << w << "\n";
    const qint64 problems = qint64(facts.value("problem_count").toDouble());
    const qint64 listed = facts.value("problems").toArray().size();
    if (problems > listed)
        hostOut() << "... " << (problems - listed) << " more problems\n";
    QString verdict = QStringLiteral("cut: would be refused: ") + refusal;
    if (refusal.isEmpty())
        verdict = j.isNormalized() ? QStringLiteral("cut: would be sent as the job made from its paths (%1 bytes)")
                                         .arg(j.cutDataSize())
                                   : QStringLiteral("cut: would be sent as it is");
    hostOut() << verdict << "\n";
    return KTHost::Ok;
}

int checkPreview(HostContext &c)
{
    if (!c.options.isSet("output"))
        return hostFail(KTHost::Usage, "preview needs -o FILE.png");
    QString error;
    if (!job.load(c.args.first(), &error))
        return hostFail(KTHost::Usage, error);
    if (job.job->strokes() == 0) {
        const QString why = job.refusal().isEmpty() ? QStringLiteral("%1 draws nothing to preview").arg(job.path())
                                                     : job.refusal();
        return hostFail(KTHost::Usage, why);
    }
    return KTHost::Ok;
}

// What the job cuts, on white; a job that would be refused is drawn too, and
// said so.
int runPreview(HostContext &c)
{
    const KTCutJob &j = *job.job;
    const QString out = c.options.value("output");
    const QImage picture = j.preview();
    QString error;
    const QByteArray png = HostFile::pngBytes(picture);
    if (png.isEmpty())
        return hostFail(KTHost::Usage, QStringLiteral("the preview could not be made into a PNG picture; nothing written to %1").arg(out));
    if (!HostFile::write(out, [&](QIODevice *f) { return HostFile::writeAll(f, png); }, &error))
        return hostFail(KTHost::Usage,
                        QStringLiteral("cannot write %1 (%2); give a writable .png path to -o").arg(out, error));
    hostOut() << "preview of " << j.fileName() << ": " << mm(j.widthMm()) << " x " << mm(j.heightMm()) << " mm in "
              << out << "\n";
    if (!j.refusal().isEmpty())
        hostOut() << "cut would be refused: " << j.refusal() << "\n";
    return KTHost::Ok;
}

int checkConvert(HostContext &c)
{
    if (!c.options.isSet("output"))
        return hostFail(KTHost::Usage, "convert needs -o FILE.plt");
    QString error;
    if (!job.load(c.args.first(), &error))
        return hostFail(KTHost::Usage, error);
    if (!job.refusal().isEmpty())
        return hostFail(KTHost::Usage, job.refusal());
    return KTHost::Ok;
}

// The job as cut would send it, written whole or not at all.
int runConvert(HostContext &c)
{
    const QString out = c.options.value("output");
    qint64 written = -1;
    QString error;
    // Interrupted while the job was written, the file is left as it was.
    const auto writeJob = [&](QIODevice *f) {
        written = job.job->writeCutData(f);
        QCoreApplication::processEvents();
        return written >= 0 && !c.host.isInterrupted();
    };
    const bool ok = HostFile::write(out, writeJob, &error);
    if (!ok && c.host.isInterrupted())
        return hostFail(KTHost::Interrupted, QStringLiteral("interrupted; %1 not written").arg(out));
    if (!ok)
        return hostFail(KTHost::Usage, QStringLiteral("cannot write %1 (%2); give a writable path to -o").arg(out, error));
    hostOut() << "wrote " << out << ": " << written << " bytes, " << mm(job.job->widthMm()) << " x "
              << mm(job.job->heightMm()) << " mm, cut path " << mm(job.job->pathLengthMm()) << " mm"
              << (job.job->isNormalized() ? "" : ", the file as it is") << "\n";
    return KTHost::Ok;
}
