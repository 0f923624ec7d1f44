#include "tools/host/hostfile.h"

#include <QBuffer>
#include <QFile>
#include <QImage>
#include <QFileInfo>
#include <QSaveFile>

namespace HostFile {

bool writeAll(QIODevice *device, const QByteArray &bytes)
{
    for (qint64 at = 0; at < bytes.size();) {
        const qint64 n = device->write(bytes.constData() + at, bytes.size() - at);
        if (n <= 0)
            return false;
        at += n;
    }
    return true;
}

QByteArray pngBytes(const QImage &picture)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    picture.save(&buffer, "PNG");
    return bytes;
}

namespace {

// What the device said, or what a write that stopped short most likely met.
QString reason(const QFileDevice &device)
{
    return device.error() == QFileDevice::NoError ? QStringLiteral("the write was cut short; the disk may be full")
                                                  : device.errorString();
}

} // namespace

bool write(const QString &path, const std::function<bool(QIODevice *)> &write, QString *error)
{
    const QFileInfo info(path);
    if (info.exists() && !info.isFile() && !info.isDir()) {
        QFile device(path);
        bool ok = device.open(QIODevice::WriteOnly) && write(&device) && device.flush();
        if (ok) {
            device.close();
            ok = device.error() == QFileDevice::NoError;
        }
        if (!ok)
            *error = reason(device);
        return ok;
    }
    // Flushed before the commit: a commit whose last flush meets a full
    // disk still puts the cut-short file in the old one's place.
    QSaveFile file(path);
    const bool ok = file.open(QIODevice::WriteOnly) && write(&file) && file.flush() && file.commit();
    if (!ok)
        *error = reason(file);
    return ok;
}

} // namespace HostFile
