// inspect and preview: what a job file would cut, looked at before cutting.
#include "tools/host/hostcommand.h"
#include "tools/host/hostjob.h"
#include "tools/host/kthost.h"
#include "property/ktdeviceproperty.h"
#include "property/ktdisplayvalue.h"

#include <QImage>
#include <QJsonDocument>
#include <QPainter>

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
    if (!job.load(c.args.first(), c.options.isSet("drop-labels"), &error))
        return hostFail(KTHost::Usage, error);
    return KTHost::Ok;
}

int runInspect(HostContext &c)
{
    const KTHpgl::Facts &f = job.facts;
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
    const QString refusal = job.refusal();
    if (c.options.isSet("json")) {
        QJsonObject o = job.json();
        o.insert("refusal", refusal.isEmpty() ? QJsonValue() : QJsonValue(refusal));
        if (speed > 0) {
            o.insert("speed_mm_s", speed);
            o.insert("estimated_cut_s", f.lengthMm / speed);
        }
        hostOut() << QJsonDocument(o).toJson(QJsonDocument::Indented);
        return KTHost::Ok;
    }
    hostOut() << "file:          " << job.path << " (" << job.bytes.size() << " bytes"
              << (job.droppedLabels ? QStringLiteral(" without %1 text labels").arg(job.droppedLabels) : QString())
              << ")\n";
    hostOut() << "size:          " << mm(f.widthMm()) << " x " << mm(f.heightMm()) << " mm (width x height)\n";
    hostOut() << "path length:   " << mm(f.lengthMm) << " mm\n";
    hostOut() << "strokes:       " << f.strokes << "\n";
    hostOut() << "text labels:   " << f.labels << "\n";
    QStringList unknown;
    for (const auto &u : f.unknownCommands())
        unknown << QStringLiteral("%1 (%2)").arg(QString::fromLatin1(u.first)).arg(u.second);
    if (!unknown.isEmpty())
        hostOut() << "unknown:       " << unknown.join(", ") << "\n";
    if (speed > 0)
        hostOut() << "cut time:      " << QString::number(f.lengthMm / speed, 'f', 1) << " s a copy at " << speed
                  << " mm/s\n";
    for (const KTHpgl::Issue &i : f.issues)
        hostOut() << (KTHpgl::isError(i.problem) ? "error: " : "warning: ") << KTHpgl::describe(i) << "\n";
    if (f.issueCount > f.issues.size())
        hostOut() << "... " << (f.issueCount - f.issues.size()) << " more problems\n";
    hostOut() << (refusal.isEmpty() ? QStringLiteral("cut: would be sent as it is")
                                    : QStringLiteral("cut: would be refused: ") + refusal)
              << "\n";
    return KTHost::Ok;
}

int checkPreview(HostContext &c)
{
    if (!c.options.isSet("output"))
        return hostFail(KTHost::Usage, "preview needs -o FILE.png");
    QString error;
    if (!job.load(c.args.first(), c.options.isSet("drop-labels"), &error))
        return hostFail(KTHost::Usage, error);
    if (!job.facts.hpgl || !job.facts.drawn)
        return hostFail(KTHost::Usage, QStringLiteral("%1 draws nothing to preview%2")
                                           .arg(job.path, job.facts.hpgl ? QString() : QStringLiteral(" (not HPGL)")));
    return KTHost::Ok;
}

// Drawn strokes on white, the drawing's outline dashed, its size below.
int runPreview(HostContext &c)
{
    const KTHpgl::Facts &f = job.facts;
    const double w = f.widthMm(), h = f.heightMm();
    const double scale = qBound(1.0, 1400.0 / qMax(1.0, qMax(w, h)), 10.0);   // pixels per mm
    const int margin = 40, band = 48;
    QImage image(int(w * scale) + 2 * margin, int(h * scale) + 2 * margin + band, QImage::Format_RGB32);
    image.fill(Qt::white);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(QColor(150, 150, 150), 1, Qt::DashLine));
    p.drawRect(QRectF(margin, margin, w * scale, h * scale));
    p.setPen(QPen(Qt::black, 1.2));
    const double left = f.minX, top = f.maxY;   // plotter y runs up, the picture's down
    KTHpgl::readHpgl(job.bytes, [&](const QPointF &a, const QPointF &b) {
        p.drawLine(QPointF(margin + (a.x() - left) * scale, margin + (top - a.y()) * scale),
                   QPointF(margin + (b.x() - left) * scale, margin + (top - b.y()) * scale));
    }, HostJob::options);
    p.setPen(Qt::black);
    QFont font = p.font();
    font.setPixelSize(16);
    p.setFont(font);
    p.drawText(QRectF(margin, image.height() - band - margin / 2, image.width() - 2 * margin, band),
               Qt::AlignLeft | Qt::AlignVCenter,
               QStringLiteral("%1  %2 x %3 mm, cut path %4 mm, %5 strokes")
                   .arg(job.path.section('/', -1), mm(w), mm(h), mm(f.lengthMm))
                   .arg(f.strokes));
    p.end();
    const QString out = c.options.value("output");
    if (!image.save(out, "PNG"))
        return hostFail(KTHost::Usage, QStringLiteral("cannot write %1; give a writable .png path to -o").arg(out));
    hostOut() << "preview of " << job.path << ": " << mm(w) << " x " << mm(h) << " mm in " << out << "\n";
    return KTHost::Ok;
}
