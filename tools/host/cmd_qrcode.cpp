// qrcode TEXT -o FILE: the QR code to print on a sheet, as SVG or PNG, at
// its printed size with the quiet zone readers need around it.
#include "tools/host/hostcommand.h"
#include "tools/host/hostfile.h"
#include "tools/host/kthost.h"
#include "tools/host/qrjobs.h"

#include <QFile>
#include <QImage>

#include <memory>

#include <qrencode.h>

namespace {

constexpr int QuietModules = 4;
constexpr double MinSizeMm = 5, MaxSizeMm = 500;
constexpr double PngDotsPerInch = 600;

struct QrFree
{
    void operator()(QRcode *code) const { QRcode_free(code); }
};

double sizeOption(HostContext &c, bool *ok)
{
    const double mm = c.options.value("size").toDouble(ok);
    *ok = *ok && mm >= MinSizeMm && mm <= MaxSizeMm;
    return mm;
}

QByteArray svg(const QRcode &code, double mm)
{
    const int n = code.width + 2 * QuietModules;
    QByteArray path;
    for (int y = 0; y < code.width; ++y) {
        for (int x = 0; x < code.width; ++x) {
            if (code.data[y * code.width + x] & 1)
                path += "M" + QByteArray::number(x + QuietModules) + " " + QByteArray::number(y + QuietModules)
                        + "h1v1h-1z";
        }
    }
    const QByteArray size = QByteArray::number(mm, 'g', 6) + "mm";
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + size
           + "\" height=\"" + size + "\" viewBox=\"0 0 " + QByteArray::number(n) + " " + QByteArray::number(n)
           + "\" shape-rendering=\"crispEdges\">\n<rect width=\"" + QByteArray::number(n) + "\" height=\""
           + QByteArray::number(n) + "\" fill=\"#fff\"/>\n<path fill=\"#000\" d=\"" + path + "\"/>\n</svg>\n";
}

// Whole pixels per module, near the printer's resolution; the resolution
// stored in the file makes the picture print at the asked size.
QImage png(const QRcode &code, double mm)
{
    const int n = code.width + 2 * QuietModules;
    const int module = qMax(1, qRound(mm / 25.4 * PngDotsPerInch / n));
    QImage image(n * module, n * module, QImage::Format_Grayscale8);
    image.fill(255);
    for (int y = 0; y < code.width; ++y) {
        for (int x = 0; x < code.width; ++x) {
            if (!(code.data[y * code.width + x] & 1))
                continue;
            for (int py = 0; py < module; ++py) {
                uchar *line = image.scanLine((y + QuietModules) * module + py);
                std::fill_n(line + (x + QuietModules) * module, module, uchar(0));
            }
        }
    }
    const int dotsPerMeter = qRound(image.width() / (mm / 1000.0));
    image.setDotsPerMeterX(dotsPerMeter);
    image.setDotsPerMeterY(dotsPerMeter);
    return image;
}

} // namespace

int checkQrcode(HostContext &c)
{
    const QString problem = QrJobs::nameProblem(c.args.first());
    if (!problem.isEmpty())
        return hostFail(KTHost::Usage, QStringLiteral("no job name could match this code: it %1; a code is up to %2 "
                                                      "letters, digits, \".\", \"_\" or \"-\", not starting with \".\"")
                                           .arg(problem)
                                           .arg(QrJobs::MaxCodeLength));
    const QString out = c.options.value("output");
    if (!out.endsWith(QLatin1String(".svg"), Qt::CaseInsensitive)
        && !out.endsWith(QLatin1String(".png"), Qt::CaseInsensitive))
        return hostFail(KTHost::Usage, "qrcode writes -o FILE.svg or -o FILE.png");
    bool ok = false;
    sizeOption(c, &ok);
    if (!ok)
        return hostFail(KTHost::Usage, QStringLiteral("--size takes the printed width in mm, from %1 to %2, not \"%3\"")
                                           .arg(MinSizeMm).arg(MaxSizeMm).arg(c.options.value("size")));
    return KTHost::Ok;
}

int runQrcode(HostContext &c)
{
    const QByteArray text = c.args.first().toLatin1();   // checked ASCII
    bool ok = false;
    const double mm = sizeOption(c, &ok);
    const std::unique_ptr<QRcode, QrFree> code(QRcode_encodeString8bit(text.constData(), 0, QR_ECLEVEL_M));
    if (!code)
        return hostFail(KTHost::Usage, "the code could not be encoded as a QR code");
    const QString out = c.options.value("output");
    const bool asSvg = out.endsWith(QLatin1String(".svg"), Qt::CaseInsensitive);
    const QByteArray picture = asSvg ? svg(*code, mm) : HostFile::pngBytes(png(*code, mm));
    if (picture.isEmpty())
        return hostFail(KTHost::Usage, QStringLiteral("the QR code could not be made into a PNG picture; nothing written to %1").arg(out));
    QString error;
    const bool written = HostFile::write(out, [&](QIODevice *f) { return HostFile::writeAll(f, picture); }, &error);
    if (!written)
        return hostFail(KTHost::Usage, QStringLiteral("cannot write %1: %2; give a writable .svg or .png path to -o")
                                                 .arg(out, error));
    hostOut() << out << ": QR code of \"" << c.args.first() << "\", " << code->width << " modules and a quiet zone of "
              << QuietModules << ", " << mm << " mm wide\n";
    return KTHost::Ok;
}
