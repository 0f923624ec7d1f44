#ifndef KTSAMPLES_H
#define KTSAMPLES_H

// The drawings real programs made, under tests/data, and the figures an
// independent interpreter measured beside each (tests/data/make-figures.py).

#include <QByteArray>
#include <QFile>
#include <QMap>
#include <QString>

namespace KTSamples {

inline QByteArray sample(const QString &name)
{
    QFile file(QStringLiteral(KT_SOURCE_DIR "/tests/data/") + name);
    if (!file.open(QIODevice::ReadOnly))
        qFatal("missing sample %s", qPrintable(name));
    return file.readAll();
}

// width_mm, height_mm, length_mm and paths of NAME.figures.
inline QMap<QString, double> expectedFigures(const QString &name)
{
    QMap<QString, double> figures;
    const QString path = name.left(name.lastIndexOf(QLatin1Char('.'))) + QStringLiteral(".figures");
    for (const QByteArray &field : sample(path).simplified().split(' ')) {
        const int eq = field.indexOf('=');
        figures.insert(QString::fromLatin1(field.left(eq)), field.mid(eq + 1).toDouble());
    }
    return figures;
}

} // namespace KTSamples

#endif // KTSAMPLES_H
