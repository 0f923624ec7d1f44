#include "tools/host/qrjobs.h"

#include <QFileInfo>

namespace QrJobs {

QString nameProblem(const QString &code)
{
    if (code.isEmpty())
        return QStringLiteral("is empty");
    if (code.size() > MaxCodeLength)
        return QStringLiteral("is longer than %1 characters").arg(MaxCodeLength);
    if (code.startsWith(QLatin1Char('.')))
        return QStringLiteral("starts with \".\"");
    for (const QChar c : code) {
        const ushort u = c.unicode();
        const bool ok = (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || (u >= '0' && u <= '9') || u == '.'
                        || u == '_' || u == '-';
        if (!ok)
            return QStringLiteral("holds a character other than letters, digits, \".\", \"_\" and \"-\"");
    }
    return QString();
}

QString find(const QDir &dir, const QString &code, QString *why)
{
    const QString problem = nameProblem(code);
    if (!problem.isEmpty()) {
        *why = code.isEmpty() ? QStringLiteral("no code could be read")
                              : QStringLiteral("cannot name a job: it ") + problem;
        return QString();
    }
    QStringList names;
    if (QFileInfo(dir.filePath(code)).isFile()) {
        names << code;
    } else {
        // The code holds no wildcard characters: the filter is literal.
        for (const QString &name : dir.entryList({code + QStringLiteral(".*")}, QDir::Files)) {
            if (QFileInfo(name).completeBaseName() == code)
                names << name;
        }
    }
    if (names.isEmpty()) {
        *why = QStringLiteral("no job of that name in %1").arg(dir.path());
        return QString();
    }
    if (names.size() > 1) {
        *why = QStringLiteral("names %1 jobs in %2 (%3); keep one").arg(names.size()).arg(dir.path(),
                                                                            names.join(QStringLiteral(", ")));
        return QString();
    }
    // A link may point anywhere: the job must lie in the directory itself.
    const QString file = QFileInfo(dir.filePath(names.first())).canonicalFilePath();
    const QString base = QFileInfo(dir.path()).canonicalFilePath();
    if (file.isEmpty() || base.isEmpty() || QFileInfo(file).path() != base) {
        *why = QStringLiteral("%1 leads outside %2").arg(names.first(), dir.path());
        return QString();
    }
    return dir.filePath(names.first());
}

} // namespace QrJobs
