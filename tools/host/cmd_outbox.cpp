// outbox: the work records that wait for the cloud service, and sending them.
#include "tools/host/hostcommand.h"
#include "tools/host/kthost.h"
#include "platform/nuvexacloud/nuvexacloud.h"

#include <QCommandLineParser>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>
#include <QNetworkReply>
#include <QNetworkRequest>

#include <memory>

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

int replyStatus(QNetworkReply *reply)
{
    return reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
}

int replyId(QNetworkReply *reply)
{
    const QJsonValue id = QJsonDocument::fromJson(reply->peek(reply->bytesAvailable())).object().value("id");
    return id.isDouble() && id.toInt() > 0 ? id.toInt() : 0;
}

QString failure(QNetworkReply *reply)
{
    const int status = replyStatus(reply);
    return status ? QStringLiteral("HTTP %1").arg(status) : reply->errorString();
}

// Gives the devices whose records wait for their registration an id, as the
// device itself would: look the code up, create the entry if there is none.
// Returns why a device could not be registered (empty: every one was).
QString registerHeldDevices(HostContext &c, NuvexaCloud *cloud)
{
    QMap<QString, QJsonObject> devices;
    for (const NuvexaCloud::Record &r : cloud->pendingRecords()) {
        if (!r.heldFor.isEmpty() && !devices.contains(r.heldFor))
            devices.insert(r.heldFor, r.registration);
    }
    auto open = std::make_shared<int>(devices.size());
    auto cause = std::make_shared<QString>();
    for (auto it = devices.cbegin(); it != devices.cend(); ++it) {
        const QString code = it.key();
        QJsonObject entry = it.value();
        entry.insert("code", code);
        entry.insert("online", false);   // it is not connected to this run
        auto done = [cloud, code, open, cause](int id, const QString &why) {
            --*open;
            if (id > 0)
                cloud->releaseHeld(code, QStringLiteral("device"), id);
            else
                *cause = QStringLiteral("device %1 could not be registered (%2)").arg(code, why);
        };
        cloud->customRequest("device", "GET", QJsonObject{{"code", code}},
                             [cloud, entry, done](QNetworkReply *reply, bool) {
                                 if (replyStatus(reply) == 200 && replyId(reply) > 0) {
                                     done(replyId(reply), QString());
                                 } else if (replyStatus(reply) == 404) {
                                     cloud->customRequest("device_model", "POST", entry, [done](QNetworkReply *r, bool) {
                                         done(replyStatus(r) == 200 ? replyId(r) : 0, failure(r));
                                     });
                                 } else {
                                     done(0, failure(reply));
                                 }
                             });
    }
    if (!c.host.waitFor([open] { return *open == 0; }, c.timeoutMs) && !c.host.isInterrupted() && cause->isEmpty())
        *cause = QStringLiteral("the service did not answer the registration within %1").arg(KTHost::seconds(c.timeoutMs));
    return *cause;
}

} // namespace

int runOutbox(HostContext &c)
{
    const QStringList bases = c.options.value("cloud").split(',');
    NuvexaCloud *cloud = c.host.cloud(bases.value(0), bases.value(1));
    if (c.options.isSet("retry") || c.options.isSet("all-refused")) {
        const QString key = c.options.value("retry");
        const int moved = cloud->retryRefused(key);
        if (moved < 0)
            return hostFail(KTHost::RecordLost, "cannot put refused records back: " + cloud->outboxProblem());
        if (moved == 0 && !key.isEmpty())
            return hostFail(KTHost::Usage, QStringLiteral("no refused record %1 in %2; kt-host outbox lists them")
                                               .arg(key, cloud->outboxFile()));
        hostOut() << moved << " refused record(s) put back to waiting\n";
    }
    QString cause;
    if (c.options.isSet("flush")) {
        cause = registerHeldDevices(c, cloud);
        if (c.host.isInterrupted())
            return KTHost::Interrupted;
        cloud->flushOutbox(true);
        c.host.waitFor([cloud] { return cloud->recordsInFlight() == 0; }, c.timeoutMs);
        if (c.host.isInterrupted())
            return KTHost::Interrupted;
    }
    const QList<NuvexaCloud::Record> pending = cloud->pendingRecords();
    const QList<NuvexaCloud::Record> rejected = cloud->rejectedRecords();
    const QString problem = cloud->outboxProblem();
    if (pending.isEmpty() && rejected.isEmpty() && !problem.isEmpty())
        return hostFail(KTHost::RecordLost, "cannot read the work records: " + problem + "; fix it or move it away");
    if (c.options.isSet("json")) {
        QJsonArray p, r;
        for (const auto &rec : pending)
            p.append(toJson(rec, false));
        for (const auto &rec : rejected)
            r.append(toJson(rec, true));
        hostOut() << QJsonDocument(QJsonObject{{"outbox", cloud->outboxFile()}, {"service", cloud->url()},
                                               {"pending", p}, {"rejected", r}})
                         .toJson(QJsonDocument::Indented);
    } else {
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
    }
    if (c.options.isSet("flush") && !pending.isEmpty()) {
        if (cause.isEmpty())
            cause = problem;
        if (cause.isEmpty())
            cause = pending.first().lastError.isEmpty() ? QStringLiteral("no answer within %1").arg(KTHost::seconds(c.timeoutMs))
                                                        : pending.first().lastError;
        return hostFail(KTHost::LinkFailure, QStringLiteral("%1 work record(s) still wait in %2: %3; run outbox --flush "
                                                            "again when the service is back")
                                                 .arg(pending.size())
                                                 .arg(cloud->outboxFile(), cause));
    }
    return KTHost::Ok;
}
