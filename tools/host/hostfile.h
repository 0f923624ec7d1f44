#ifndef HOSTFILE_H
#define HOSTFILE_H

#include <QString>

#include <functional>

class QIODevice;

namespace HostFile {

// Writes a file whole or not at all: a file is replaced only once all of it
// is written (a temporary beside it, renamed over it). What is not a file
// (a device such as /dev/null, a pipe) is written directly, never replaced
// by one. False, and why in error, when write() fails or the bytes do not
// all reach the file.
bool write(const QString &path, const std::function<bool(QIODevice *)> &write, QString *error);

} // namespace HostFile

#endif // HOSTFILE_H
