#ifndef HOSTBACKUP_H
#define HOSTBACKUP_H

#include "tools/host/ktvalue.h"

#include <QJsonObject>
#include <QJsonValue>
#include <QList>
#include <QPair>
#include <QString>
#include <QVariant>

// A settings backup as kt-host writes it: a JSON object naming its format,
// the machine it came from and every parameter's raw value.
namespace HostBackup {

extern const QString Format;
// A backup of this machine is a few kilobytes; anything far larger is not one.
constexpr qint64 MaxBytes = 1024 * 1024;

struct Backup
{
    QJsonObject document;
    QString model;
    QList<QPair<QString, QJsonValue>> values;   // key, raw value, in file order
};

// Reads the file's bytes; false with why (a clause after "is not a kt-host
// backup") when they are not one.
bool read(const QByteArray &bytes, Backup *b, QString *why);
// A value of the file as the machine value it stands for; invalid when it is none.
QVariant fileValue(const KTValue::Form &s, const QJsonValue &v);

} // namespace HostBackup

#endif // HOSTBACKUP_H
