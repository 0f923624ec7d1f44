#include "tools/host/hostfile.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

namespace HostFile {

bool write(const QString &path, const std::function<bool(QIODevice *)> &write, QString *error)
{
    const QFileInfo info(path);
    if (info.exists() && !info.isFile() && !info.isDir()) {
        QFile device(path);
        const bool ok = device.open(QIODevice::WriteOnly) && write(&device) && device.flush();
        *error = device.errorString();
        device.close();
        return ok && device.error() == QFileDevice::NoError;
    }
    QSaveFile file(path);
    const bool ok = file.open(QIODevice::WriteOnly) && write(&file) && file.commit();
    *error = file.errorString();
    return ok;
}

} // namespace HostFile
