#ifndef HOSTFILE_H
#define HOSTFILE_H

#include <QString>

#include <functional>

class QIODevice;
class QImage;

namespace HostFile {

// Writes a file whole or not at all: a file is replaced only once all of it
// is written (a temporary beside it, renamed over it). What is not a file
// (a device such as /dev/null, a pipe) is written directly, never replaced
// by one. False, and why in error, when write() fails or the bytes do not
// all reach the file.
bool write(const QString &path, const std::function<bool(QIODevice *)> &write, QString *error);
// All of bytes into the device (for write()'s function): a file short of
// room takes part of a write without a word, and says why only when asked
// for the rest.
bool writeAll(QIODevice *device, const QByteArray &bytes);
// A picture as PNG bytes, made before anything is written: the PNG library
// prints its own complaint to stderr when a write fails under it.
QByteArray pngBytes(const QImage &picture);

} // namespace HostFile

#endif // HOSTFILE_H
