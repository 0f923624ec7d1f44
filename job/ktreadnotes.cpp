#include "job/ktreadnotes.h"
#include "job/ktpathrecorder.h"

namespace KTJob {

QString oneLine(const QString &text, int limit)
{
    QString line = text.left(limit);
    for (QChar &c : line) {
        if (c.category() == QChar::Other_Control || c.category() == QChar::Separator_Line
            || c.category() == QChar::Separator_Paragraph)
            c = QLatin1Char(' ');
    }
    return line.simplified();
}

void noteCount(QStringList *notes, int count, const char *one, const char *many)
{
    if (count == 1)
        notes->append(QStringLiteral("1 %1").arg(QLatin1String(one)));
    else if (count > 1)
        notes->append(QStringLiteral("%1 %2").arg(count).arg(QLatin1String(many)));
}

void noteText(QStringList *notes, const QStringList &missingFonts)
{
    notes->append(QStringLiteral("text is cut as the outlines of its letters"));
    for (const QString &family : missingFonts)
        notes->append(QStringLiteral("the font \"%1\" is not installed, so its text is cut in another font; convert the text to paths where it was drawn")
                          .arg(family));
}

void notePathsFailure(const PathRecorder &recorder, const Paths &paths, ReadResult *result)
{
    notePathsFailure(recorder.ok(), paths, result);
}

void notePathsFailure(bool added, const Paths &paths, ReadResult *result)
{
    result->ok = added;
    if (!result->ok)
        result->error = pathsFailure(paths);
}

QString pathsFailure(const Paths &paths)
{
    if (!paths.full())
        return QStringLiteral("the drawing reaches beyond the machine's coordinates (over 26 km); check its size and units");
    const quint32 most = paths.maxPoints();
    const QString count = most >= 1000000 ? QStringLiteral("%1 million").arg(most / 1000000) : QString::number(most);
    return QStringLiteral("the drawing has more than %1 points; simplify it or cut it in parts").arg(count);
}

} // namespace KTJob
