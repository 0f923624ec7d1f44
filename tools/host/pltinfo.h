#ifndef PLTINFO_H
#define PLTINFO_H

#include <QByteArray>
#include <QJsonObject>

// What the work record wants to know of a job, read from its PLT text:
// cut path length and the extent of the drawing, in millimetres.
QJsonObject pltFileInfo(const QByteArray &plt);

#endif // PLTINFO_H
