#include "job/ktcutjob_p.h"
#include "job/ktjobreaders.h"
#include "job/ktreadnotes.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QPainter>
#include <QTextCodec>

#include <algorithm>
#include <climits>
#include <cmath>

namespace KTJob {

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

KTCutJob::Format detectFormat(const QByteArray &bytes)
{
    const QByteArray head = bytes.left(1024);
    if (head.contains("%PDF-"))
        return KTCutJob::Pdf;
    if (head.startsWith("\x1f\x8b"))
        return KTCutJob::Svg;   // gzip: a compressed SVG is the only one read
    if (head.startsWith("AutoCAD Binary DXF"))
        return KTCutJob::Dxf;
    int i = head.startsWith("\xef\xbb\xbf") ? 3 : 0;
    while (i < head.size() && std::isspace(uchar(head.at(i))))
        ++i;
    if (i < head.size() && head.at(i) == '<')
        return KTCutJob::Svg;
    // DXF: group code lines; the first pair a comment (999) or "0 SECTION".
    int end = head.indexOf('\n', i);
    if (end > i) {
        const QByteArray code = head.mid(i, end - i).trimmed();
        const QByteArray next = head.mid(end + 1, 16).trimmed();
        if (code == "999" || (code == "0" && next.startsWith("SECTION")))
            return KTCutJob::Dxf;
    }
    return KTCutJob::Hpgl;
}

} // namespace KTJob

// The reader's own figures, for a file sent as it is, in machine units.
static KTJob::Figures figuresOf(const KTHpgl::Facts &facts)
{
    KTJob::Figures f;
    f.drawn = facts.drawn;
    auto units = [](double mm) { return int(std::lround(qBound(-KTJob::MaxUnits, mm * KTJob::UnitsPerMm, KTJob::MaxUnits))); };
    if (f.drawn)
        f.bounds = QRect(QPoint(units(facts.minX), units(facts.minY)), QPoint(units(facts.maxX), units(facts.maxY)));
    f.lengthUnits = facts.lengthMm * KTJob::UnitsPerMm;
    f.strokes = facts.strokes;
    return f;
}

bool KTCutJobPrivate::placed() const
{
    return scale != 1.0 || rotation != 0 || mirrored || hasOrigin || fit.isValid();
}

void KTCutJobPrivate::read()
{
    paths.clear();
    pathsRead = true;
    facts = KTHpgl::Facts();
    figures = KTJob::Figures();
    droppedLabels = 0;
    normalized = false;
    refusal.clear();
    warnings.clear();
    cutData.clear();
    jobReady = false;
    format = KTJob::detectFormat(bytes);
    if (!(scale > 0 && scale <= 1000))
        refusal = QStringLiteral("%1: the scale must be a number above 0 and at most 1000; nothing sent").arg(name);
    else if (rotation != 0 && rotation != 90 && rotation != 180 && rotation != 270)
        refusal = QStringLiteral("%1: the rotation must be 0, 90, 180 or 270 degrees; nothing sent").arg(name);
    else if (fit.isValid() && !(fit.width() > 0 && fit.height() > 0))
        refusal = QStringLiteral("%1: the size to fit must be above 0 in both directions; nothing sent").arg(name);
    if (!refusal.isEmpty())
        return;
    if (format == KTCutJob::Hpgl)
        readHpgl();
    else
        readDesign();
    if (refusal.isEmpty() && paths.full())
        refusal = QStringLiteral("%1: %2; nothing sent").arg(name, KTJob::pathsFailure(paths));
    if (refusal.isEmpty() && placed() && !place())
        refusal = QStringLiteral("%1: placed so, the drawing lies beyond the machine's coordinates; give a smaller "
                                 "--scale or --fit; nothing sent").arg(name);
    figures = pathsRead ? paths.figures() : figuresOf(facts);
    decide();
}

QString KTCutJobPrivate::hpglRefusal() const
{
    if (const KTHpgl::Issue *bad = facts.firstError()) {
        QString hint;
        if (bad->problem == KTHpgl::Problem::LabelTerminator)
            hint = QStringLiteral("; --drop-labels cuts the drawing without its text");
        else if (asIs && facts.hpgl && (bad->problem == KTHpgl::Problem::FrameByte))
            hint = QStringLiteral("; without --as-is the job made from its paths is sent instead");
        return QStringLiteral("%1: %2%3; nothing sent").arg(name, KTHpgl::describe(*bad), hint);
    }
    const qint64 unsafe = KTJob::firstUnsafeByte(bytes, facts.firstNonAscii);
    if (unsafe >= 0) {
        return QStringLiteral("%1: offset %2: byte 0x%3 would not reach the machine unchanged through the plug-in's "
                              "text conversion (local encoding %4)%5; nothing sent")
            .arg(name)
            .arg(unsafe)
            .arg(uint(uchar(bytes.at(int(unsafe)))), 2, 16, QLatin1Char('0'))
            .arg(QString::fromLatin1(QTextCodec::codecForLocale()->name()),
                 asIs ? QStringLiteral("; without --as-is the job made from its paths is sent instead") : QString());
    }
    return QString();
}

KTHpgl::Options KTCutJobPrivate::hpglOptions(KTJob::Paths *into) const
{
    KTHpgl::Options options;
    if (plotArea.isValid())
        options.plotArea = plotArea;
    options.paths = into;
    return options;
}

// The file as it is needs no paths but for a preview: they are read then,
// and a large job is never held twice over.
void KTCutJobPrivate::ensurePaths() const
{
    if (pathsRead)
        return;
    pathsRead = true;
    KTHpgl::readHpgl(bytes, KTHpgl::SegmentSink(), hpglOptions(&paths));
}

void KTCutJobPrivate::readHpgl()
{
    // A file that may go as it is is first read only as far as it stays
    // plain: most that are not say so in their first commands.
    if (!asIs && !placed()) {
        KTHpgl::Options probe = hpglOptions(nullptr);
        probe.untilNotPlain = true;
        facts = KTHpgl::readHpgl(bytes, KTHpgl::SegmentSink(), probe);
        if (facts.hpgl && facts.plain) {
            refusal = hpglRefusal();
            pathsRead = false;
            return;
        }
    }
    KTJob::Paths *into = asIs ? nullptr : &paths;
    facts = KTHpgl::readHpgl(bytes, KTHpgl::SegmentSink(), hpglOptions(into));
    if (dropLabels && !facts.labelSpans.isEmpty()) {
        droppedLabels = facts.labelSpans.size();
        bytes = KTHpgl::dropLabels(bytes, facts);
        paths.clear();
        facts = KTHpgl::readHpgl(bytes, KTHpgl::SegmentSink(), hpglOptions(into));
        if (!asIs && !placed() && facts.hpgl && facts.plain) {
            // Plain once its labels are out: it goes as it is.
            paths.clear();
            refusal = hpglRefusal();
            pathsRead = false;
            return;
        }
    }
    for (const KTHpgl::Issue &i : facts.issues) {
        if (!KTHpgl::isError(i.problem))
            warnings << KTHpgl::describe(i);
    }
    if (asIs) {
        if (placed())
            refusal = QStringLiteral("%1: --as-is sends the file as it is, which cannot be placed; leave out --as-is "
                                     "or the placement (--scale, --rotate, --mirror, --origin, --fit); nothing sent")
                          .arg(name);
        else
            refusal = hpglRefusal();
        pathsRead = false;
        return;
    }
    normalized = true;
    const KTHpgl::Issue *bad = facts.firstError();
    if (!facts.hpgl) {
        const QString why = bad ? KTHpgl::describe(*bad) : QStringLiteral("no HPGL commands");
        refusal = QStringLiteral("%1: %2; job files are HPGL, SVG, PDF or DXF; nothing sent").arg(name, why);
    } else if (!facts.labelSpans.isEmpty()) {
        const int n = facts.labelSpans.size();
        // --as-is is offered only where the file as it is would pass.
        const QString asIsToo = hpglRefusal().isEmpty()
                                    ? QStringLiteral(", --as-is sends the file as it is and the machine draws them")
                                    : QString();
        refusal = QStringLiteral("%1: %2, which the job made from the file's paths cannot carry; --drop-labels cuts "
                                 "the drawing without %3%4; nothing sent")
                      .arg(name, n == 1 ? QStringLiteral("a text label") : QStringLiteral("%1 text labels").arg(n),
                           n == 1 ? QStringLiteral("it") : QStringLiteral("them"), asIsToo);
    } else if (const KTHpgl::Issue *badNumber = facts.first(KTHpgl::Problem::BadNumber)) {
        refusal = QStringLiteral("%1: %2; nothing sent").arg(name, KTHpgl::describe(*badNumber));
    } else if (bad) {
        // What is left are bytes that would break the frame, between
        // commands: the job made from the paths leaves them behind. The
        // first few are said by offset, ahead of the other warnings.
        constexpr int Said = 3;
        QStringList skipped;
        for (const KTHpgl::Issue &i : facts.issues) {
            if (KTHpgl::isError(i.problem) && skipped.size() < Said)
                skipped << KTHpgl::describe(i) + QStringLiteral("; skipped");
        }
        if (facts.errorCount > skipped.size())
            skipped << QStringLiteral("%1 more bytes that would break the frame; skipped")
                           .arg(facts.errorCount - skipped.size());
        warnings = skipped + warnings;
        errorsLeftBehind = true;
    }
}

void KTCutJobPrivate::readDesign()
{
    normalized = true;
    if (asIs) {
        refusal = QStringLiteral("%1: --as-is sends HPGL as it is; %2 files are always sent as the job made from their "
                                 "paths; leave out --as-is; nothing sent")
                      .arg(name, KTCutJob::formatName(format));
        return;
    }
    KTJob::ReadResult r;
    switch (format) {
    case KTCutJob::Svg:
        r = KTJob::readSvg(bytes, &paths);
        break;
    case KTCutJob::Pdf:
        r = KTJob::readPdf(bytes, &paths);
        break;
    default:
        r = KTJob::readDxf(bytes, &paths);
        break;
    }
    warnings << r.notes;
    if (!r.ok)
        refusal = QStringLiteral("%1: %2; nothing sent").arg(name, r.error);
}

// About the drawing's lower-left corner: mirrored, turned and sized there,
// then set down where it was or at the origin asked for.
bool KTCutJobPrivate::place()
{
    const KTJob::Figures before = paths.figures();
    if (!before.drawn)
        return true;
    const QPointF corner(before.bounds.left(), before.bounds.top());
    QTransform turn = QTransform::fromTranslate(-corner.x(), -corner.y());
    if (mirrored)
        turn *= QTransform::fromScale(-1, 1);
    if (rotation)
        turn *= QTransform().rotate(rotation);
    if (!paths.map(turn))
        return false;
    const KTJob::Figures turned = paths.figures();
    double factor = scale;
    if (fit.isValid()) {
        const double w = qint64(turned.bounds.right()) - turned.bounds.left();
        const double h = qint64(turned.bounds.bottom()) - turned.bounds.top();
        const double fx = w > 0 ? fit.width() * KTJob::UnitsPerMm / w : HUGE_VAL;
        const double fy = h > 0 ? fit.height() * KTJob::UnitsPerMm / h : HUGE_VAL;
        factor = std::min(fx, fy);
        if (!std::isfinite(factor))
            factor = 1.0;
    }
    const QPointF target = hasOrigin ? origin * KTJob::UnitsPerMm : corner;
    QTransform size = QTransform::fromTranslate(-turned.bounds.left(), -turned.bounds.top());
    size *= QTransform::fromScale(factor, factor);
    size *= QTransform::fromTranslate(target.x(), target.y());
    return paths.map(size);
}

void KTCutJobPrivate::decide()
{
    if (!refusal.isEmpty())
        return;
    if (!normalized) {
        cutData = bytes;
        return;
    }
    if (!figures.drawn) {
        refusal = QStringLiteral("%1: draws nothing to cut; nothing sent").arg(name);
        return;
    }
    if (figures.bounds.left() < 0 || figures.bounds.top() < 0)
        warnings << QStringLiteral("the drawing reaches below 0 in x or y, outside the machine's area; "
                                   "--origin 0,0 puts its lower-left corner at the machine's origin");
    // The paths hold the job now: the file's bytes go before the job is
    // written, so a large file is not held three times over.
    bytes = QByteArray();
    jobReady = true;
}

const QByteArray &KTCutJobPrivate::job() const
{
    if (jobReady && cutData.isEmpty())
        cutData = KTJob::writeHpgl(paths);
    return cutData;
}

KTCutJob::KTCutJob()
    : d_ptr(new KTCutJobPrivate)
{
}

KTCutJob::~KTCutJob() = default;

void KTCutJob::setPlotArea(const QSizeF &mm)
{
    d_func()->plotArea = mm;
}

void KTCutJob::setScale(double factor)
{
    d_func()->scale = factor;
}

void KTCutJob::setRotation(int degrees)
{
    d_func()->rotation = degrees;
}

void KTCutJob::setMirrored(bool mirrored)
{
    d_func()->mirrored = mirrored;
}

void KTCutJob::setOrigin(const QPointF &mm)
{
    Q_D(KTCutJob);
    d->hasOrigin = true;
    d->origin = mm;
}

void KTCutJob::setFit(const QSizeF &mm)
{
    d_func()->fit = mm;
}

void KTCutJob::setAsIs(bool asIs)
{
    d_func()->asIs = asIs;
}

void KTCutJob::setDropLabels(bool drop)
{
    d_func()->dropLabels = drop;
}

bool KTCutJob::load(const QString &path)
{
    Q_D(KTCutJob);
    QFile f(path);
    d->name = path;
    if (!f.open(QIODevice::ReadOnly)) {
        d->error = QStringLiteral("cannot read %1: %2").arg(path, f.errorString());
        return false;
    }
    d->error.clear();
    d->bytes = f.readAll();
    d->fileSize = d->bytes.size();
    d->read();
    return true;
}

void KTCutJob::setData(const QByteArray &bytes, const QString &name)
{
    Q_D(KTCutJob);
    d->name = name.isEmpty() ? QStringLiteral("the job") : name;
    d->error.clear();
    d->bytes = bytes;
    d->fileSize = bytes.size();
    d->read();
}

QString KTCutJob::errorString() const
{
    return d_func()->error;
}

QString KTCutJob::fileName() const
{
    return d_func()->name;
}

KTCutJob::Format KTCutJob::format() const
{
    return d_func()->format;
}

QString KTCutJob::formatName(Format format)
{
    switch (format) {
    case Hpgl:
        return QStringLiteral("HPGL");
    case Svg:
        return QStringLiteral("SVG");
    case Pdf:
        return QStringLiteral("PDF");
    case Dxf:
        return QStringLiteral("DXF");
    case Unknown:
        break;
    }
    return QStringLiteral("unknown");
}

qint64 KTCutJob::fileSize() const
{
    return d_func()->fileSize;
}

QString KTCutJob::refusal() const
{
    return d_func()->refusal;
}

QStringList KTCutJob::warnings() const
{
    return d_func()->warnings;
}

bool KTCutJob::isNormalized() const
{
    return d_func()->normalized;
}

double KTCutJob::widthMm() const
{
    return d_func()->figures.widthMm();
}

double KTCutJob::heightMm() const
{
    return d_func()->figures.heightMm();
}

double KTCutJob::pathLengthMm() const
{
    return d_func()->figures.lengthMm();
}

qint64 KTCutJob::strokes() const
{
    return d_func()->figures.strokes;
}

QRectF KTCutJob::boundsMm() const
{
    const KTJob::Figures &f = d_func()->figures;
    if (!f.drawn)
        return QRectF();
    return QRectF(f.bounds.left() / KTJob::UnitsPerMm, f.bounds.top() / KTJob::UnitsPerMm, f.widthMm(), f.heightMm());
}

int KTCutJob::pathCount() const
{
    d_func()->ensurePaths();
    return int(std::min<size_t>(d_func()->paths.runs().size(), INT_MAX));
}

QPolygon KTCutJob::path(int index) const
{
    Q_D(const KTCutJob);
    d->ensurePaths();
    if (index < 0 || size_t(index) >= d->paths.runs().size())
        return QPolygon();
    const KTJob::Paths::Run &run = d->paths.runs()[size_t(index)];
    QPolygon polygon(int(run.count));
    std::copy_n(d->paths.points().data() + run.first, run.count, polygon.begin());
    return polygon;
}

QJsonObject KTCutJob::taskFileInfo() const
{
    auto whole = [](double mm) { return int(std::lround(qBound(0.0, mm, double(INT_MAX)))); };
    return QJsonObject{{"path_length", whole(pathLengthMm())}, {"heigth", whole(heightMm())}, {"width", whole(widthMm())}};
}

QByteArray KTCutJob::cutData() const
{
    return d_func()->job();
}

qint64 KTCutJob::cutDataSize() const
{
    Q_D(const KTCutJob);
    return d->jobReady && d->cutData.isEmpty() ? KTJob::hpglSize(d->paths) : d->cutData.size();
}

qint64 KTCutJob::writeCutData(QIODevice *device) const
{
    Q_D(const KTCutJob);
    if (!device || (!d->jobReady && d->cutData.isEmpty()))
        return -1;
    if (d->jobReady && d->cutData.isEmpty())
        return KTJob::writeHpgl(d->paths, device);
    return KTJob::writeAll(device, d->cutData.constData(), d->cutData.size()) ? d->cutData.size() : -1;
}

QString KTCutJob::cutText(QString *error) const
{
    Q_D(const KTCutJob);
    const QByteArray &data = d->job();
    if (data.isEmpty()) {
        *error = d->refusal.isEmpty() ? QStringLiteral("%1: no job").arg(d->name) : d->refusal;
        return QString();
    }
    if (d->normalized)
        return QString::fromLatin1(data);   // written in ASCII
    const QString text = QString::fromLocal8Bit(data);
    // What the plug-in sends must be the file: checked with its own conversion.
    if (d->facts.firstNonAscii >= 0 && text.toLocal8Bit() != data) {
        *error = QStringLiteral("%1: offset %2: the text conversion changes the job; nothing sent")
                     .arg(d->name)
                     .arg(d->facts.firstNonAscii);
        return QString();
    }
    return text;
}

QImage KTCutJob::preview(double pixelsPerMm) const
{
    Q_D(const KTCutJob);
    d->ensurePaths();
    const KTJob::Figures &f = d->figures;
    const double w = f.widthMm(), h = f.heightMm();
    const double scale = qBound(1.0, 1400.0 / qMax(1.0, qMax(w, h)), qMax(1.0, pixelsPerMm));
    const int margin = 40, band = 48;
    // Wide enough for the caption on two lines, however narrow the drawing.
    QImage image(qMax(int(w * scale) + 2 * margin, 560), int(h * scale) + 2 * margin + band, QImage::Format_RGB32);
    image.fill(Qt::white);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(QColor(150, 150, 150), 1, Qt::DashLine));
    p.drawRect(QRectF(margin, margin, w * scale, h * scale));
    p.setPen(QPen(Qt::black, 1.2));
    // Machine y runs up, the picture's down.
    const double k = scale / KTJob::UnitsPerMm;
    const double left = f.bounds.left(), top = f.bounds.bottom();
    QPolygonF line;
    for (const KTJob::Paths::Run &run : d->paths.runs()) {
        if (run.count < 2)
            continue;
        line.resize(int(run.count));
        const QPoint *q = d->paths.points().data() + run.first;
        for (quint32 i = 0; i < run.count; ++i)
            line[int(i)] = QPointF(margin + (q[i].x() - left) * k, margin + (top - q[i].y()) * k);
        p.drawPolyline(line);
    }
    p.setPen(Qt::black);
    QFont font = p.font();
    font.setPixelSize(16);
    p.setFont(font);
    auto mm = [](double value) { return QString::number(value, 'f', value < 100 ? 2 : 1); };
    p.drawText(QRectF(margin, image.height() - band - margin / 2, image.width() - 2 * margin, band),
               Qt::AlignLeft | Qt::AlignVCenter | Qt::TextWordWrap,
               QStringLiteral("%1  %2 x %3 mm, cut path %4 mm, %5 strokes")
                   .arg(QFileInfo(d->name).fileName(), mm(w), mm(h), mm(f.lengthMm()))
                   .arg(f.strokes));
    return image;
}

QJsonObject KTCutJob::facts() const
{
    Q_D(const KTCutJob);
    QJsonArray problems;
    for (const KTHpgl::Issue &i : d->facts.issues)
        problems.append(QJsonObject{{"offset", double(i.offset)},
                                    {"error", KTHpgl::isError(i.problem) && !d->errorsLeftBehind},
                                    {"cause", KTHpgl::describe(i)}});
    QJsonObject unknown;
    for (const auto &u : d->facts.unknownCommands())
        unknown.insert(QString::fromLatin1(u.first), double(u.second));
    return QJsonObject{{"task_file_info", taskFileInfo()},
                       {"file", d->name},
                       {"format", formatName(d->format)},
                       {"bytes", double(d->fileSize)},
                       {"hpgl", d->format == Hpgl && d->facts.hpgl},
                       {"normalized", d->normalized},
                       {"cut_bytes", double(cutDataSize())},
                       {"width_mm", widthMm()},
                       {"height_mm", heightMm()},
                       {"path_length_mm", pathLengthMm()},
                       {"strokes", double(strokes())},
                       {"labels", double(d->facts.labels)},
                       {"labels_dropped", d->droppedLabels},
                       {"unknown_commands", unknown},
                       {"problems", problems},
                       {"problem_count", double(d->facts.issueCount)},
                       {"warnings", QJsonArray::fromStringList(d->warnings)}};
}
