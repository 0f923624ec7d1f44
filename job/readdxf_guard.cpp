#include "job/readdxf_p.h"

#include <QSet>

#include <cmath>

namespace KTJob {
namespace Dxf {

namespace {

// Types the library reads, and those with nothing to cut or note.
const QSet<QByteArray> &knownTypes()
{
    static const QSet<QByteArray> types = {
        "LINE", "POINT", "POLYLINE", "LWPOLYLINE", "VERTEX", "SEQEND", "SPLINE", "ARC", "CIRCLE", "ELLIPSE",
        "INSERT", "TEXT", "MTEXT", "ATTRIB", "DIMENSION", "LEADER", "HATCH", "IMAGE", "TRACE", "SOLID",
        "3DFACE", "XLINE", "RAY", "VIEWPORT", "ENDSEC", "EOF",
    };
    return types;
}

bool realCode(int code)
{
    return (code >= 10 && code <= 59) || (code >= 110 && code <= 149) || (code >= 210 && code <= 239)
        || (code >= 460 && code <= 469) || (code >= 1010 && code <= 1059);
}

// The library takes a real as the number its text begins with, and leaves
// it unset when there is none: every real must be a whole, finite number.
bool finiteNumber(QByteArray text)
{
    text.replace(',', '.');
    bool ok = false;
    const double v = text.toDouble(&ok);
    return ok && std::isfinite(v);
}

// What one entity holds of the groups the library counts into arrays it
// sizes from the entity's own count groups.
struct Entity
{
    QByteArray type;
    qint64 line = 0;
    qint64 count90 = -1, count72 = -1, count73 = -1, count74 = -1, count76 = -1;
    qint64 n10 = 0, n11 = 0, n40 = 0, n41 = 0;
    bool bulgeFirst = false; // a bulge before the first vertex
    bool loops = false;      // a hatch's boundary loop count

    QString check() const
    {
        const QString where = QStringLiteral("the %1 at line %2").arg(QString::fromLatin1(type)).arg(line);
        if (type == "LWPOLYLINE") {
            if (bulgeFirst || count90 != n10)
                return QStringLiteral("%1 does not hold the vertices it counts").arg(where);
        } else if (type == "SPLINE") {
            // Without its fit count the library would hand on the fit points
            // of the spline before; harmless only when control points lead.
            const bool fitCounted = count74 == n11 || (count74 < 0 && n11 == 0 && count73 > 0);
            if (count72 != n40 || count73 != n10 || !fitCounted || n41 > n10)
                return QStringLiteral("%1 does not hold the points and knots it counts").arg(where);
        } else if (type == "LEADER") {
            if (count76 > n10)
                return QStringLiteral("%1 does not hold the vertices it counts").arg(where);
        } else if (type == "HATCH") {
            if (n10 > MaxEntityPoints)
                return QStringLiteral("%1 has more than %2 boundary points").arg(where).arg(MaxEntityPoints);
        }
        return QString();
    }
};

QByteArray trimmed(const char *begin, const char *end)
{
    while (begin < end && (*begin == ' ' || *begin == '\t'))
        ++begin;
    while (end > begin && (end[-1] == ' ' || end[-1] == '\t' || end[-1] == '\r'))
        --end;
    return QByteArray(begin, int(end - begin));
}

QString broken(qint64 line, const QString &what)
{
    return QStringLiteral("broken DXF file at line %1: %2; save the drawing again from the CAD program")
        .arg(line)
        .arg(what);
}

} // namespace

Scan scan(const QByteArray &bytes)
{
    Scan s;
    const QString notDxf = QStringLiteral("the file is not a DXF drawing; save it as DXF from the CAD program");
    if (bytes.size() > MaxBytes) {
        s.error = QStringLiteral("the DXF file is larger than %1 MiB; simplify the drawing").arg(MaxBytes >> 20);
        return s;
    }
    if (bytes.startsWith("AutoCAD Binary DXF")) {
        s.error = QStringLiteral("binary DXF; save it as ASCII DXF");
        return s;
    }
    if (bytes.isEmpty() || bytes.contains('\0')) {
        s.error = notDxf;
        return s;
    }

    const char *p = bytes.constData(), *const end = p + bytes.size();
    qint64 line = 0;
    bool first = true;
    bool sectionName = false, inEntities = false;
    Entity entity;
    auto next = [&](QByteArray *out) {
        if (p >= end)
            return false;
        const char *eol = static_cast<const char *>(memchr(p, '\n', size_t(end - p)));
        if (!eol)
            eol = end;
        ++line;
        if (eol - p > MaxLineLength)
            return false;
        *out = trimmed(p, eol);
        p = eol < end ? eol + 1 : end;
        return true;
    };

    QByteArray codeText, value;
    while (p < end) {
        if (!next(&codeText)) {
            s.error = first ? notDxf : broken(line, QStringLiteral("the line is longer than %1 characters").arg(MaxLineLength));
            return s;
        }
        if (codeText.isEmpty() && p >= end)
            break; // a final line break
        bool ok = false;
        const int code = codeText.toInt(&ok);
        if (!ok || code < 0 || code > 1071) {
            s.error = first ? notDxf : broken(line, QStringLiteral("a group code was expected"));
            return s;
        }
        value.clear();
        if (p < end && !next(&value)) {
            s.error = first ? notDxf : broken(line, QStringLiteral("the line is longer than %1 characters").arg(MaxLineLength));
            return s;
        }
        if (first && code != 999) {
            if (code != 0 || value != "SECTION") {
                s.error = notDxf;
                return s;
            }
            first = false;
        }
        if (realCode(code) && !finiteNumber(value)) {
            s.error = broken(line, QStringLiteral("a number was expected"));
            return s;
        }

        if (code == 0 || code == 9) {
            const QString problem = entity.check();
            if (!problem.isEmpty()) {
                s.error = broken(entity.line, problem);
                return s;
            }
            if (entity.type == "HATCH" && code == 0)
                s.hatchLoops.push_back(entity.loops);
            entity = Entity();
            entity.type = value;
            entity.line = line;
            if (code == 0) {
                sectionName = value == "SECTION";
                if (value == "ENDSEC")
                    inEntities = false;
                else if (inEntities && !knownTypes().contains(value))
                    ++s.unknown[value];
            }
            continue;
        }
        if (code == 2 && sectionName) {
            inEntities = value == "ENTITIES";
            sectionName = false;
        }

        auto count = [&](qint64 *field) {
            bool ok = false;
            const qint64 v = value.toLongLong(&ok);
            if (!ok || v < 0 || v > MaxEntityPoints || *field >= 0)
                return false;
            *field = v;
            return true;
        };
        bool fine = true;
        if (entity.type == "LWPOLYLINE") {
            if (code == 90)
                fine = entity.n10 == 0 && !entity.bulgeFirst && count(&entity.count90);
            else if (code == 10)
                ++entity.n10;
            else if (code == 42 && entity.n10 == 0)
                entity.bulgeFirst = true;
        } else if (entity.type == "SPLINE") {
            if (code == 72)
                fine = count(&entity.count72);
            else if (code == 73)
                fine = count(&entity.count73);
            else if (code == 74)
                fine = count(&entity.count74);
            else if (code == 10 || code == 11 || code == 40 || code == 41) {
                qint64 *n = code == 10 ? &entity.n10 : code == 11 ? &entity.n11 : code == 40 ? &entity.n40 : &entity.n41;
                // Every point and knot follows its count.
                const qint64 counted = code == 10 ? entity.count73 : code == 11 ? entity.count74
                                     : code == 40 ? entity.count72 : entity.count73;
                fine = ++*n <= counted;
            }
        } else if (entity.type == "LEADER") {
            if (code == 76)
                fine = count(&entity.count76);
            else if (code == 10)
                ++entity.n10;
        } else if (entity.type == "HATCH") {
            if (code == 10)
                ++entity.n10;
            else if (code == 92 || code == 93)
                entity.loops = true;
        }
        if (!fine) {
            s.error = broken(line, QStringLiteral("a count that does not match its %1").arg(QString::fromLatin1(entity.type)));
            return s;
        }
    }
    if (first) {
        s.error = notDxf;
        return s;
    }
    const QString problem = entity.check();
    if (!problem.isEmpty())
        s.error = broken(entity.line, problem);
    return s;
}

} // namespace Dxf
} // namespace KTJob
