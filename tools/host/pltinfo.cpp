#include "tools/host/pltinfo.h"

#include <QList>
#include <QtMath>

namespace {
constexpr double UnitsPerMm = 40.0;   // plotter units of 0.025 mm
}

QJsonObject pltFileInfo(const QByteArray &plt)
{
    double x = 0, y = 0, length = 0;
    double minX = 0, minY = 0, maxX = 0, maxY = 0;
    bool any = false;
    for (const QByteArray &raw : plt.split(';')) {
        const QByteArray cmd = raw.trimmed();
        if (cmd.size() < 2)
            continue;
        const QByteArray op = cmd.left(2).toUpper();
        if (op != "PU" && op != "PD" && op != "PA")
            continue;
        const QList<QByteArray> numbers = cmd.mid(2).split(',');
        for (int i = 0; i + 1 < numbers.size(); i += 2) {
            bool okX = false, okY = false;
            const double nx = numbers.at(i).trimmed().toDouble(&okX);
            const double ny = numbers.at(i + 1).trimmed().toDouble(&okY);
            if (!okX || !okY)
                break;
            if (op == "PD")
                length += qSqrt((nx - x) * (nx - x) + (ny - y) * (ny - y));
            x = nx;
            y = ny;
            minX = any ? qMin(minX, x) : x;
            minY = any ? qMin(minY, y) : y;
            maxX = any ? qMax(maxX, x) : x;
            maxY = any ? qMax(maxY, y) : y;
            any = true;
        }
    }
    return QJsonObject{{"path_length", qRound(length / UnitsPerMm)},
                       {"heigth", qRound((maxY - minY) / UnitsPerMm)},
                       {"width", qRound((maxX - minX) / UnitsPerMm)}};
}
