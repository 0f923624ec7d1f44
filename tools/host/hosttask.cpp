#include "tools/host/hosttask.h"
#include "tools/host/hostcommand.h"
#include "tools/host/kthost.h"
#include "property/ktdeviceproperty.h"

namespace HostTask {

QJsonObject record(KTDeviceInterface *d)
{
    KTDeviceProperty *t = d->property_ptr("TASK");
    return t ? t->value().toJsonObject() : QJsonObject();
}

QString stop(HostContext &c, int waitMs)
{
    KTHost &host = c.host;
    KTDeviceInterface *d = c.device();
    if (host.linkLost())
        return QStringLiteral("no stop could be sent");
    bool confirmed = false;
    auto reports = QObject::connect(&host, &KTHost::deviceMessage,
                                    [&](KTDeviceInterface::KTDeviceMessage kind, const QString &) {
        if (kind == KTDeviceInterface::DevTasK && !isRunning(record(d).value("Status").toInt()))
            confirmed = true;
    });
    if (KTDeviceProperty *stop = d->property_ptr("TASK_STOP")) {
        stop->setValue(2);
        d->sendCMD(stop->set_cmd_bytes());
    }
    host.waitFor([&] { return confirmed || host.linkLost(); }, waitMs);
    QObject::disconnect(reports);
    return confirmed ? QStringLiteral("stop sent to the machine, which confirmed it")
                     : QStringLiteral("stop sent to the machine, which did not confirm it");
}

} // namespace HostTask
