// outbox: the work records that wait for the cloud service, and sending them.
#include "tools/host/hostcommand.h"
#include "tools/host/kthost.h"
#include "platform/nuvexacloud/nuvexacloud.h"

#include <QCommandLineParser>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace {

QJsonObject toJson(const NuvexaCloud::Record &r, bool rejected)
{
    QJsonObject o{{"key", r.key}, {"record", r.body}, {"created", r.created.toString(Qt::ISODate)},
                  {"attempts", r.attempts}};
    if (rejected) {
        o.insert("status", r.status);
        o.insert("reason", r.reason);
    } else {
        o.insert("next_try", r.nextTry.toString(Qt::ISODate));
        o.insert("last_error", r.lastError);
        if (!r.heldFor.isEmpty())
            o.insert("waits_for_device", r.heldFor);
    }
    return o;
}

} // namespace

int runOutbox(HostContext &c)
{
    const QStringList bases = c.options.value("cloud").split(',');
    NuvexaCloud *cloud = c.host.cloud(bases.value(0), bases.value(1));
    if (c.options.isSet("flush")) {
        cloud->flushOutbox(true);
        c.host.waitFor([cloud] { return cloud->recordsInFlight() == 0; }, c.timeoutMs);
        if (c.host.isInterrupted())
            return KTHost::Interrupted;
    }
    const QList<NuvexaCloud::Record> pending = cloud->pendingRecords();
    const QList<NuvexaCloud::Record> rejected = cloud->rejectedRecords();
    if (c.options.isSet("json")) {
        QJsonArray p, r;
        for (const auto &rec : pending)
            p.append(toJson(rec, false));
        for (const auto &rec : rejected)
            r.append(toJson(rec, true));
        hostOut() << QJsonDocument(QJsonObject{{"outbox", cloud->outboxFile()}, {"service", cloud->url()},
                                               {"pending", p}, {"rejected", r}})
                         .toJson(QJsonDocument::Indented);
        return KTHost::Ok;
    }
    hostOut() << "outbox " << cloud->outboxFile() << " for " << cloud->url() << "\n";
    hostOut() << pending.size() << " waiting, " << rejected.size() << " refused\n";
    for (const auto &rec : pending) {
        hostOut() << "waiting  " << rec.key << "  " << rec.created.toString(Qt::ISODate) << "  attempts "
                  << rec.attempts;
        if (!rec.heldFor.isEmpty())
            hostOut() << "  until device " << rec.heldFor << " is registered";
        else if (!rec.lastError.isEmpty())
            hostOut() << "  last: " << rec.lastError;
        hostOut() << "\n";
    }
    for (const auto &rec : rejected)
        hostOut() << "refused  " << rec.key << "  HTTP " << rec.status << "  " << rec.reason << "\n";
    return KTHost::Ok;
}
