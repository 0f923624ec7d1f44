#include "tools/host/hostjob.h"

#include <QFile>
#include <QJsonArray>
#include <QTextCodec>

#include <thread>

namespace {

// Length of the valid UTF-8 sequence at p, 0 when there is none.
int utf8Sequence(const uchar *p, qint64 left)
{
    const uchar c = p[0];
    int n = c >= 0xf0 && c <= 0xf4 ? 4 : c >= 0xe0 ? 3 : c >= 0xc2 && c <= 0xdf ? 2 : 0;
    if (c >= 0xf5 || n == 0 || left < n)
        return 0;
    for (int k = 1; k < n; ++k) {
        if ((p[k] & 0xc0) != 0x80)
            return 0;
    }
    // Overlong forms, surrogates and values beyond U+10FFFF do not come back.
    if ((c == 0xe0 && p[1] < 0xa0) || (c == 0xed && p[1] > 0x9f) || (c == 0xf0 && p[1] < 0x90)
        || (c == 0xf4 && p[1] > 0x8f))
        return 0;
    return n;
}

} // namespace

KTHpgl::Options HostJob::options;

bool parsePlotArea(const QString &text, QSizeF *area)
{
    const QStringList parts = text.split(QLatin1Char('x'));
    if (parts.size() != 2)
        return false;
    bool okW = false, okH = false;
    const double w = parts.at(0).toDouble(&okW), h = parts.at(1).toDouble(&okH);
    // Up to a 100 m roll: plotter coordinates reach far beyond it.
    if (!okW || !okH || !(w > 0 && w <= 100000) || !(h > 0 && h <= 100000))
        return false;
    *area = QSizeF(w, h);
    return true;
}

qint64 firstUnsafeByte(const QByteArray &bytes, qint64 from)
{
    if (from < 0)
        return -1;
    // A local encoding other than UTF-8 keeps the text apart from what the
    // USB path sends; only ASCII is the same in both.
    if (QTextCodec::codecForLocale()->mibEnum() != 106)
        return from;
    const uchar *d = reinterpret_cast<const uchar *>(bytes.constData());
    const qint64 n = bytes.size();
    for (qint64 i = from; i < n;) {
        if (d[i] < 0x80) {
            ++i;
            continue;
        }
        const int len = utf8Sequence(d + i, n - i);
        if (len == 0)
            return i;
        i += len;
    }
    return -1;
}

bool HostJob::load(const QString &file, bool dropLabels, QString *error, bool text)
{
    path = file;
    QFile f(file);
    if (!f.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot read %1: %2").arg(file, f.errorString());
        return false;
    }
    bytes = f.readAll();
    // The text is wanted only once the job passes; the second core makes it
    // while the facts are read, for nothing but the time.
    std::thread widen;
    if (text)
        widen = std::thread([this] { m_text = QString::fromLocal8Bit(bytes); });
    facts = KTHpgl::readHpgl(bytes, KTHpgl::SegmentSink(), options);
    if (widen.joinable())
        widen.join();
    if (dropLabels && !facts.labelSpans.isEmpty()) {
        droppedLabels = facts.labelSpans.size();
        bytes = KTHpgl::dropLabels(bytes, facts);
        facts = KTHpgl::readHpgl(bytes, KTHpgl::SegmentSink(), options);
        if (text)
            m_text = QString::fromLocal8Bit(bytes);
    }
    return true;
}

QString HostJob::refusal() const
{
    if (const KTHpgl::Issue *bad = facts.firstError()) {
        QString hint;
        if (bad->problem == KTHpgl::Problem::LabelTerminator)
            hint = QStringLiteral("; --drop-labels cuts the drawing without its text");
        return QStringLiteral("%1: %2%3; nothing sent").arg(path, KTHpgl::describe(*bad), hint);
    }
    const qint64 unsafe = firstUnsafeByte(bytes, facts.firstNonAscii);
    if (unsafe >= 0) {
        return QStringLiteral("%1: offset %2: byte 0x%3 would not reach the machine unchanged through the plug-in's "
                              "text conversion (local encoding %4); nothing sent")
            .arg(path)
            .arg(unsafe)
            .arg(uint(uchar(bytes.at(int(unsafe)))), 2, 16, QLatin1Char('0'))
            .arg(QString::fromLatin1(QTextCodec::codecForLocale()->name()));
    }
    return QString();
}

QString HostJob::text(QString *error)
{
    QString t = m_text.isNull() ? QString::fromLocal8Bit(bytes) : std::move(m_text);
    m_text = QString();
    // What the plug-in sends must be the file: checked with its own conversion.
    if (facts.firstNonAscii >= 0 && t.toLocal8Bit() != bytes) {
        *error = QStringLiteral("%1: offset %2: the text conversion changes the job; nothing sent")
                     .arg(path)
                     .arg(facts.firstNonAscii);
        return QString();
    }
    return t;
}

QJsonObject HostJob::json() const
{
    QJsonArray problems;
    for (const KTHpgl::Issue &i : facts.issues)
        problems.append(QJsonObject{{"offset", double(i.offset)},
                                    {"error", KTHpgl::isError(i.problem)},
                                    {"cause", KTHpgl::describe(i)}});
    QJsonObject unknown;
    for (const auto &u : facts.unknownCommands())
        unknown.insert(QString::fromLatin1(u.first), double(u.second));
    return QJsonObject{{"task_file_info", facts.taskFileInfo()},
                       {"file", path},
                       {"bytes", double(bytes.size())},
                       {"hpgl", facts.hpgl},
                       {"width_mm", facts.widthMm()},
                       {"height_mm", facts.heightMm()},
                       {"path_length_mm", facts.lengthMm},
                       {"strokes", double(facts.strokes)},
                       {"labels", double(facts.labels)},
                       {"labels_dropped", droppedLabels},
                       {"unknown_commands", unknown},
                       {"problems", problems},
                       {"problem_count", double(facts.issueCount)}};
}
