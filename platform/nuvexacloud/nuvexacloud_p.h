#ifndef NUVEXACLOUD_P_H
#define NUVEXACLOUD_P_H

// Not part of the installed API: what a NuvexaCloud keeps.

#include <QHash>
#include <QJsonObject>
#include <QJsonValue>
#include <QList>
#include <QPair>
#include <QSet>
#include <QString>

#include <functional>
#include <memory>

#include "platform/nuvexacloud/nuvexacloud.h"

class QTimer;
class NuvexaHttp;
class NuvexaOutbox;

class NuvexaCloudPrivate
{
public:
    NuvexaHttp *http = nullptr;
    QTimer *retryTimer = nullptr;
    std::unique_ptr<NuvexaOutbox> outbox;
    QString outboxFile;
    QString owner;
    QString url;
    QString ws;
    int timeout = 10000;
    int lockWait = 10000;
    int retryFirst = 2000;
    int retryCap = 5 * 60 * 1000;
    int maxRecords = NuvexaCloud::DefaultMaxRecords;
    qint64 maxBytes = NuvexaCloud::DefaultMaxBytes;
    std::function<qint64()> clock;
    QSet<QString> inFlight;
    int requestsInFlight = 0;
    QList<QPair<QString, QJsonObject>> heldInMemory;
    QString heldWhy;
    QHash<QString, QPair<QJsonObject, QString>> unstored;   // key: record, why the outbox did not take it
    struct Release { QString holder; QString field; QJsonValue value; };
    QList<Release> releases;   // not yet written to a locked outbox
};

#endif // NUVEXACLOUD_P_H
