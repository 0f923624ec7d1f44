#include "device/ktcommoninterface.h"
#include "property/kttrace.h"
#include "property/ktdeviceproperty.h"
#include "platform/nuvexacloud/nuvexacloud.h"

#include <QDateTime>
#include <QDebug>
#include <QJsonArray>
#include <QJsonDocument>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>
#include <QWebSocket>

#include <limits>

namespace {

int replyStatus(QNetworkReply *reply)
{
    return reply ? reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt() : 0;
}

int replyId(QNetworkReply *reply)
{
    // A body that is not a JSON object reads as id 0.
    return QJsonDocument::fromJson(reply->readAll()).object().value(QStringLiteral("id")).toInt();
}

// An answer whose body names the entry: {"id": positive integer}.
bool replyHasId(QNetworkReply *reply)
{
    const QJsonValue id = QJsonDocument::fromJson(reply->peek(reply->bytesAvailable())).object().value(QStringLiteral("id"));
    return id.isDouble() && id.toInt() > 0;
}

} // namespace

int KTCommonInterface::cloud_model_number(const QString &code)
{
    const QByteArray bytes = code.mid(2, 4).toLower().toLatin1();
    qint32 number = 0;
    for (const char ch : bytes) {
        const qint8 c = qint8(ch);
        number = number * 36 + (c < 0x61 ? c - 48 : c - 87);
    }
    return number;
}

void KTCommonInterface::set_cloud_record(const QJsonObject &record)
{
    cloud_record = record;
    if (KTDeviceProperty *cloud = property_ptr("DEVICE_CLOUD"))
        cloud->setValue(QVariant(cloud_record));
}

void KTCommonInterface::setCloudRetryInterval(int ms)
{
    cloud_retry_first = qMax(1, ms);
    cloud_retry_timer.setInterval(cloud_retry_first);
}

bool KTCommonInterface::cloud_should_retry(QNetworkReply *reply)
{
    // No answer, an overloaded or failing service: worth asking again.
    const int status = replyStatus(reply);
    return status == 0 || status == 408 || status == 429 || status >= 500;
}

int KTCommonInterface::cloud_retry_delay(int &attempts)
{
    // Doubling up to six times the first wait, the client's own back-off.
    const int cap = int(qMin<qint64>(6LL * cloud_retry_first, std::numeric_limits<int>::max()));
    return int(NuvexaCloud::retryDelay(++attempts, cloud_retry_first, cap));
}

void KTCommonInterface::cloud_retry_later(int &attempts, std::function<void()> step)
{
    emit message(DevStatus, QStringLiteral("CLOUD REGISTRATION RETRYING."));
    const quint32 generation = cloud_generation;
    QTimer::singleShot(cloud_retry_delay(attempts), this, [this, generation, step]() {
        // A newer registration has taken over.
        if (generation == cloud_generation)
            step();
    });
}

void KTCommonInterface::setNuvexaCloud(NuvexaCloud *client, QString code)
{
    // Registration needs a client to talk to.
    if (!client)
        return;
    // The code goes into the relay's address and the service's keys: one
    // that cannot is refused here rather than sent anywhere.
    if (!NuvexaCloud::isValidDeviceCode(code)) {
        qCWarning(ktCloud) << "KTCommonInterface::setNuvexaCloud" << "refused a device code of" << code.size()
                           << "characters: it takes 1 to" << NuvexaCloud::MaxDeviceCodeLength
                           << "visible ASCII characters";
        return;
    }
    cloud_client = client;
    cloud_retry_timer.stop();
    ++cloud_generation;
    cloud_model_attempts = cloud_lookup_attempts = cloud_update_attempts = 0;

    auto text = [this](const char *key) {
        KTDeviceProperty *p = property_ptr(key);
        return p ? p->value().toString() : QString();
    };
    const QString pcb = text("PCB_ID");
    const QString version = text("FIRMWARE");
    const QString deviceId = text("DEVICE_ID");
    set_cloud_record(QJsonObject{{QStringLiteral("code"), code},
                                 {QStringLiteral("pcb"), pcb},
                                 {QStringLiteral("version"), version},
                                 {QStringLiteral("device_id"), deviceId},
                                 {QStringLiteral("online"), true}});

    cloud_device_model_get(QJsonObject{{QStringLiteral("code"), cloud_model_number(code)}});
    cloud_device_get(QJsonObject{{QStringLiteral("code"), code}});
    connect_websocket();
}

void KTCommonInterface::cloud_device_model_get(QJsonObject body)
{
    if (!cloud_client)
        return;
    QPointer<KTCommonInterface> self(this);
    cloud_client->customRequest(QStringLiteral("device_model"), "PATCH", body, [self, body](QNetworkReply *reply, bool) {
        if (!self)
            return;
        if (self->cloud_should_retry(reply)) {
            KTCommonInterface *d = self;
            d->cloud_retry_later(d->cloud_model_attempts, [d, body]() { d->cloud_device_model_get(body); });
            return;
        }
        if (replyStatus(reply) != 200)
            return;
        QJsonObject record = self->cloud_record;
        record.insert(QStringLiteral("device_model"), replyId(reply));
        self->set_cloud_record(record);
    });
}

void KTCommonInterface::cloud_device_get(QJsonObject body)
{
    if (!cloud_client)
        return;
    QPointer<KTCommonInterface> self(this);
    cloud_client->customRequest(QStringLiteral("device"), "GET", body, [self](QNetworkReply *reply, bool) {
        if (self)
            self->cloud_lookup_reply(reply);
    });
}

void KTCommonInterface::cloud_lookup_reply(QNetworkReply *reply)
{
    const int status = replyStatus(reply);
    if (cloud_should_retry(reply) || (status == 200 && !replyHasId(reply))) {
        // No usable answer: ask again later. The wait is a timer owned by the
        // device, so nothing runs once the device is gone.
        emit message(DevStatus, QStringLiteral("CLOUD REGISTRATION RETRYING."));
        cloud_retry_timer.start(cloud_retry_delay(cloud_lookup_attempts));
        return;
    }
    switch (status) {
    case 200: {
        QJsonObject record = cloud_record;
        record.insert(QStringLiteral("id"), replyId(reply));
        set_cloud_record(record);
        cloud_device_update(cloud_record);
        cloud_release_records();
        break;
    }
    case 404:
        cloud_device_new(cloud_record);
        break;
    default:
        break;
    }
}

void KTCommonInterface::cloud_release_records()
{
    // Records of jobs that finished before the device had its id.
    const QString code = cloud_record.value(QStringLiteral("code")).toString();
    if (cloud_client && !code.isEmpty())
        cloud_client->releaseHeld(code, QStringLiteral("device"), cloud_record.value(QStringLiteral("id")));
}

void KTCommonInterface::cloud_device_new(QJsonObject body)
{
    if (!cloud_client)
        return;
    QPointer<KTCommonInterface> self(this);
    cloud_client->customRequest(QStringLiteral("device_model"), "POST", body, [self](QNetworkReply *reply, bool ok) {
        if (!self)
            return;
        if (self->cloud_should_retry(reply) || (ok && replyStatus(reply) == 200 && !replyHasId(reply))) {
            // The entry may or may not exist now: start again from the lookup,
            // which finds it if it does, so a retry never creates a second one.
            emit self->message(DevStatus, QStringLiteral("CLOUD REGISTRATION RETRYING."));
            self->cloud_retry_timer.start(self->cloud_retry_delay(self->cloud_lookup_attempts));
            return;
        }
        if (!ok || replyStatus(reply) != 200)
            return;
        QJsonObject record = self->cloud_record;
        record.insert(QStringLiteral("id"), replyId(reply));
        self->set_cloud_record(record);
        self->cloud_release_records();
    });
}

void KTCommonInterface::cloud_device_update(QJsonObject body)
{
    if (!cloud_client)
        return;
    QPointer<KTCommonInterface> self(this);
    cloud_client->customRequest(QStringLiteral("device"), "PUT", body, [self](QNetworkReply *reply, bool) {
        if (!self || !self->cloud_should_retry(reply))
            return;
        KTCommonInterface *d = self;
        d->cloud_retry_later(d->cloud_update_attempts, [d]() { d->cloud_device_update(d->cloud_record); });
    });
}

void KTCommonInterface::cloud_device_workrecord(QJsonObject body)
{
    if (cloud_client)
        cloud_client->customRequest(QStringLiteral("device_work_records"), "POST", body, {});
}

void KTCommonInterface::device_info_to_cloud()
{
}

void KTCommonInterface::device_task_to_cloud()
{
    qCDebug(ktCloud) << "KTCommonInterface::device_task_to_cloud";
    KTDeviceProperty *task = property_ptr("TASK");
    if (!task)
        return;
    QJsonObject runtime = task->value().toJsonObject();
    QJsonObject message{{QStringLiteral("sender"), QStringLiteral("Device")}};
    if (KTDeviceProperty *preview = property_ptr("FILE_PREVIEW")) {
        const QByteArray bytes = preview->value().toByteArray();
        runtime.insert(QStringLiteral("FilePreview"),
                       bytes.isEmpty() ? QJsonValue() : QJsonValue(QString::fromLatin1(bytes.toBase64())));
    }
    message.insert(QStringLiteral("message"), QJsonObject{{QStringLiteral("Runtime"), runtime}});
    message.insert(QStringLiteral("actions"), QJsonArray{QStringLiteral("Runtime")});
    if (web_socket)
        web_socket->sendTextMessage(QString::fromUtf8(QJsonDocument(message).toJson(QJsonDocument::Compact)));
}

void KTCommonInterface::device_task_record_to_cloud()
{
    if (!property_ptr("DEVICE_CLOUD"))
        return;
    // Unregistered but announced: the record is kept by the client until the
    // device has its id, instead of being lost.
    const bool registered = cloud_record.value(QStringLiteral("id")).toInt(-1) != -1;
    const QString code = cloud_record.value(QStringLiteral("code")).toString();
    if (!registered && (!cloud_client || code.isEmpty()))
        return;
    KTDeviceProperty *taskProperty = property_ptr("TASK");
    if (!taskProperty)
        return;
    const QJsonObject task = taskProperty->value().toJsonObject();
    if (task.value(QStringLiteral("TaskCopies")).toInt(0) == 0 || task.value(QStringLiteral("Finished")).toInt(0) == 0)
        return;
    KTDeviceProperty *fileInfoProperty = property_ptr("TASK_FILE_INFO");
    if (!fileInfoProperty)
        return;
    const QJsonObject fileInfo = fileInfoProperty->value().toJsonObject();
    const int pathLength = fileInfo.value(QStringLiteral("path_length")).toInt(0);
    if (pathLength == 0)
        return;
    KTDeviceProperty *start = property_ptr("TASK_START_TIME");
    if (!start)
        return;

    const int height = fileInfo.value(QStringLiteral("heigth")).toInt(0);
    const int width = fileInfo.value(QStringLiteral("width")).toInt(0);
    KTDeviceProperty *taskMode = property_ptr("TASK_MODE");
    KTDeviceProperty *workMode = property_ptr("WORK_MODE");

    QJsonObject record;
    record.insert(QStringLiteral("end_time"), QDateTime::currentDateTime().toString(Qt::TextDate));
    record.insert(QStringLiteral("task_time"), qint32(start->value().toDateTime().secsTo(QDateTime::currentDateTime())));
    record.insert(QStringLiteral("task_copies"), task.value(QStringLiteral("TaskCopies")));
    record.insert(QStringLiteral("finish_copies"), task.value(QStringLiteral("Finished")));
    if (registered)
        record.insert(QStringLiteral("device"), cloud_record.value(QStringLiteral("id")));
    record.insert(QStringLiteral("page_area"), qint32(quint32(height) * quint32(width)));
    record.insert(QStringLiteral("page_size"), QStringLiteral("%1x%2").arg(height).arg(width));
    record.insert(QStringLiteral("path_length"), pathLength);
    record.insert(QStringLiteral("task_model"), taskMode ? taskMode->value().toInt() : 0);
    record.insert(QStringLiteral("work_model"), workMode ? workMode->value().toInt() : 0);
    if (registered)
        cloud_device_workrecord(record);
    else
        cloud_client->holdWorkRecord(code, record, cloud_record);
}
