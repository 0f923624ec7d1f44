// ports: where the machine may be, and whether each port can be opened.
#include "tools/host/hostcommand.h"
#include "tools/host/kthost.h"
#include "platform/usbchannel/usbchannel.h"

#include <QCollator>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>

namespace {

QStringList candidatePorts()
{
    QStringList out;
    const QStringList serial = QDir(QStringLiteral("/dev")).entryList({"ttyACM*", "ttyUSB*"}, QDir::System);
    for (const QString &name : serial)
        out << QStringLiteral("/dev/") + name;
    const QStringList printers = QDir(QStringLiteral("/dev/usb")).entryList({"lp*"}, QDir::System);
    for (const QString &name : printers)
        out << QStringLiteral("/dev/usb/") + name;
    QCollator order;
    order.setNumericMode(true);   // ttyACM2 before ttyACM10
    std::sort(out.begin(), out.end(), order);
    return out;
}

// "usb vvvv:pppp" of the USB device behind a node, the pair the udev rule
// wants; empty for anything that is not on USB.
QString usbIds(const QString &path)
{
    const QString name = QFileInfo(path).fileName();
    const QString cls = path.startsWith(QLatin1String("/dev/usb/")) ? QStringLiteral("usbmisc") : QStringLiteral("tty");
    QDir dir(QFileInfo(QStringLiteral("/sys/class/%1/%2/device").arg(cls, name)).canonicalFilePath());
    if (dir.path().isEmpty() || dir.path() == QLatin1String("."))
        return QString();
    for (int up = 0; up < 4; ++up) {
        QFile vendor(dir.filePath(QStringLiteral("idVendor")));
        QFile product(dir.filePath(QStringLiteral("idProduct")));
        if (vendor.open(QIODevice::ReadOnly) && product.open(QIODevice::ReadOnly))
            return QStringLiteral("usb %1:%2").arg(QString::fromLatin1(vendor.readAll().trimmed()),
                                                  QString::fromLatin1(product.readAll().trimmed()));
        if (!dir.cdUp())
            break;
    }
    return QString();
}

} // namespace

int runPorts(HostContext &c)
{
    const QStringList paths = c.args.isEmpty() ? candidatePorts() : c.args;
    if (paths.isEmpty())
        return hostFail(KTHost::LinkFailure, "no USB port found (looked for /dev/ttyACM*, /dev/ttyUSB*, "
                                             "/dev/usb/lp*): plug the machine in and switch it on");
    int usable = 0;
    for (const QString &path : paths) {
        QString reason;
        const bool ok = UsbChannel::probe(path, &reason) == UsbChannel::NoError;
        usable += ok;
        const QString ids = usbIds(path);
        hostOut() << QStringLiteral("%1  ").arg(path, -14) << (ids.isEmpty() ? QString() : ids + QStringLiteral("  "))
                  << (ok ? QStringLiteral("can be opened") : "cannot be opened: " + KTHost::usbReason(path, reason))
                  << "\n";
    }
    if (!usable)
        return hostFail(KTHost::LinkFailure, paths.size() == 1 ? "the port cannot be opened (see above)"
                                                               : "none of the ports can be opened (see above)");
    return KTHost::Ok;
}
