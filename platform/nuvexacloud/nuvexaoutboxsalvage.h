#ifndef NUVEXAOUTBOXSALVAGE_H
#define NUVEXAOUTBOXSALVAGE_H

#include "platform/nuvexacloud/nuvexaoutbox.h"

#include <QDateTime>
#include <QList>
#include <QString>

// A damaged outbox file moved out of the way, and the rows that could still
// be read from it.
struct NuvexaOutboxSalvage
{
    bool setAside = false;
    QString setAsideAs;   // FILE.corrupt-YYYYMMDD-HHMMSS
    QString error;        // why it could not be set aside
    QList<NuvexaOutbox::Row> waiting;
    QList<NuvexaOutbox::Row> refused;
};

// Renames file (and its journal files) to a dated name, then reads every row
// it can from a copy of it whose file header is rebuilt if it was overwritten.
NuvexaOutboxSalvage salvageOutbox(const QString &file, const QDateTime &now);

#endif // NUVEXAOUTBOXSALVAGE_H
