#include "job/kthpgl_reader.h"

#include <QtMath>

#include <climits>
#include <cmath>

namespace KTHpgl {

using Internal::Reader;

bool isError(Problem problem)
{
    switch (problem) {
    case Problem::Empty:
    case Problem::NotHpgl:
    case Problem::FrameByte:
    case Problem::LabelTerminator:
    case Problem::BadNumber:
    case Problem::UnterminatedLabel:
        return true;
    default:
        return false;
    }
}

QString describe(const Issue &issue)
{
    const QString at = QStringLiteral("offset %1: ").arg(issue.offset);
    const QString byte = QStringLiteral("0x%1").arg(uint(issue.byte), 2, 16, QLatin1Char('0'));
    const QString cmd = QString::fromLatin1(issue.command);
    switch (issue.problem) {
    case Problem::Empty:
        return QStringLiteral("the file is empty");
    case Problem::NotHpgl:
        return at + QStringLiteral("not HPGL (byte %1 where a command should be)").arg(byte);
    case Problem::FrameByte: {
        static const char *names[] = {"NUL", "SOH", "STX", "ETX"};
        return at + QStringLiteral("control byte %1 (%2) would break the frame that carries the job")
                        .arg(byte, QLatin1String(names[qMin<int>(issue.byte, 3)]));
    }
    case Problem::LabelTerminator:
        return at + QStringLiteral("a text label ends with ETX (0x03), the default label terminator, which would end "
                                   "the frame that carries the job");
    case Problem::BadNumber:
        return at + QStringLiteral("%1 has a number that is not finite or lies beyond plotter coordinates").arg(cmd);
    case Problem::UnterminatedLabel:
        return at + QStringLiteral("a text label runs to the end of the file");
    case Problem::ControlByte:
        return at + QStringLiteral("stray control byte %1").arg(byte);
    case Problem::UnknownCommand:
        return at + QStringLiteral("unknown command %1").arg(cmd);
    case Problem::BadScaling:
        return at + QStringLiteral("SC with an empty range; scaling left as it was");
    case Problem::PolygonOverflow:
        return at + QStringLiteral("polygon of more than %1 points; the rest is not counted").arg(MaxPolygonSegments);
    case Problem::EncodedByte:
        return at + QStringLiteral("byte %1 in PE data is neither a number nor a flag; skipped").arg(byte);
    case Problem::EncodedCut:
        return at + QStringLiteral("PE data ends inside a point; that point is not drawn");
    }
    return at;
}

const Issue *Facts::firstError() const
{
    const Issue *first = nullptr;
    for (const Issue &i : issues) {
        if (i.problem == Problem::Empty || i.problem == Problem::NotHpgl)
            return &i;
        if (isError(i.problem) && (!first || i.offset < first->offset))
            first = &i;
    }
    return first;
}

const Issue *Facts::first(Problem problem) const
{
    for (const Issue &i : issues) {
        if (i.problem == problem)
            return &i;
    }
    return nullptr;
}

QVector<QPair<QByteArray, quint32>> Facts::unknownCommands() const
{
    QVector<QPair<QByteArray, quint32>> list;
    for (size_t k = 0; k < unknown.size(); ++k) {
        if (unknown[k]) {
            const char name[2] = {char('A' + k / 26), char('A' + k % 26)};
            list.append({QByteArray(name, 2), unknown[k]});
        }
    }
    return list;
}

QJsonObject Facts::taskFileInfo() const
{
    auto whole = [](double mm) { return int(std::lround(qBound(0.0, mm, double(INT_MAX)))); };
    return QJsonObject{{"path_length", whole(lengthMm)}, {"heigth", whole(heightMm())}, {"width", whole(widthMm())}};
}

Facts readHpgl(const QByteArray &bytes, const SegmentSink &sink, const Options &options)
{
    return Reader(bytes, sink, options).run();
}

QByteArray dropLabels(const QByteArray &bytes, const Facts &facts)
{
    QByteArray out;
    qint64 dropped = 0;
    for (const auto &span : facts.labelSpans)
        dropped += span.second;
    out.reserve(int(bytes.size() - dropped));
    qint64 from = 0;
    for (const auto &span : facts.labelSpans) {
        out.append(bytes.constData() + from, int(span.first - from));
        from = span.first + span.second;
    }
    out.append(bytes.constData() + from, int(bytes.size() - from));
    return out;
}

} // namespace KTHpgl
