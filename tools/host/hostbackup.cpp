#include "tools/host/hostbackup.h"

#include <QJsonArray>
#include <QJsonDocument>

#include <cmath>

namespace HostBackup {

const QString Format = QStringLiteral("kt-host backup 1");

bool read(const QByteArray &bytes, Backup *b, QString *why)
{
    if (bytes.size() > MaxBytes) {
        *why = QStringLiteral(": larger than %1 bytes").arg(MaxBytes);
        return false;
    }
    QJsonParseError parse;
    const QJsonDocument doc = QJsonDocument::fromJson(bytes, &parse);
    if (!doc.isObject() || doc.object().value("format").toString() != Format) {
        *why = parse.error != QJsonParseError::NoError ? ": " + parse.errorString() : QString();
        return false;
    }
    b->document = doc.object();
    b->model = b->document.value("machine").toObject().value("DEVICE_MODEL").toString();
    for (const QJsonValue &entry : b->document.value("parameters").toArray()) {
        const QJsonObject o = entry.toObject();
        const QString key = o.value("key").toString();
        if (key.isEmpty() || !o.contains("raw")) {
            *why = QStringLiteral(": a parameter without key or raw value");
            return false;
        }
        b->values.append({key, o.value("raw")});
    }
    return true;
}

QVariant fileValue(const KTValue::Form &s, const QJsonValue &v)
{
    if (!s.numeric)
        return v.isString() ? QVariant(v.toString()) : QVariant();
    if (!v.isDouble())
        return QVariant();
    const double d = v.toDouble();
    if (s.rawType == QMetaType::Double && s.words == 0)
        return d;
    if (d != std::floor(d) || std::fabs(d) > 9.0e15)
        return QVariant();
    if (s.rawType == QMetaType::UInt && d >= 0 && d <= 4294967295.0)
        return QVariant(uint(d));
    if (d >= -2147483648.0 && d <= 2147483647.0)
        return QVariant(int(d));
    return QVariant(qint64(d));
}

} // namespace HostBackup
