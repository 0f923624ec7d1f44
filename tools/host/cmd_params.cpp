// info, get and set: the machine's parameters read and written through their
// own frames.
#include "tools/host/hostcommand.h"
#include "tools/host/kthost.h"
#include "property/ktdeviceproperty.h"

namespace {

// A key the user named, looked up and checked for reading; null with the
// status already reported.
KTDeviceProperty *readableParameter(HostContext &c, const QString &key, int *status)
{
    QString error;
    KTDeviceProperty *p = c.host.parameter(key, &error);
    if (p && !KTHost::canRead(p)) {
        error = key + ": it cannot be read from the machine";
        p = nullptr;
    }
    if (!p)
        *status = hostFail(KTHost::Usage, error);
    return p;
}

int readFailure(HostContext &c, const QString &key, const QString &error)
{
    if (c.host.isInterrupted())
        return KTHost::Interrupted;
    return hostFail(KTHost::LinkFailure, key + ": " + error);
}

} // namespace

int runInfo(HostContext &c)
{
    KTDeviceInterface *d = c.device();
    for (const QString &key : d->sysProperty()) {
        KTDeviceProperty *p = d->property_ptr(key.toLatin1().constData());
        QList<KTDeviceProperty *> parts{p};
        if (p && p->get_cmd_bytes().isEmpty()) {
            parts.clear();
            for (const auto &child : p->childProperties())
                parts << child.second;
        }
        for (KTDeviceProperty *part : parts) {
            QString error;
            if (part && KTHost::canRead(part) && !c.host.read(part, c.timeoutMs, &error))
                return readFailure(c, key, error);
        }
    }
    for (const QString &key : d->sysProperty()) {
        KTDeviceProperty *p = d->property_ptr(key.toLatin1().constData());
        if (!p || key == QLatin1String("DEVICE_INFO"))
            continue;
        hostOut() << QStringLiteral("%1: %2").arg(p->label(), -24).arg(KTHost::valueText(p)) << "\n";
    }
    return KTHost::Ok;
}

int checkGet(HostContext &c)
{
    int status = KTHost::Ok;
    for (const QString &key : c.args) {
        if (!readableParameter(c, key, &status))
            return status;
    }
    return KTHost::Ok;
}

int runGet(HostContext &c)
{
    for (const QString &key : c.args) {
        int status = KTHost::Ok;
        KTDeviceProperty *p = readableParameter(c, key, &status);
        if (!p)
            return status;
        QString error;
        if (!c.host.read(p, c.timeoutMs, &error))
            return readFailure(c, key, error);
        hostOut() << key << " = " << KTHost::valueText(p) << "\n";
    }
    return KTHost::Ok;
}

int checkSet(HostContext &c)
{
    for (const QString &a : c.args) {
        const int eq = a.indexOf('=');
        if (eq <= 0)
            return hostFail(KTHost::Usage, QStringLiteral("expected KEY=VALUE, not \"%1\"").arg(a));
        QString error;
        KTDeviceProperty *p = c.host.parameter(a.left(eq), &error);
        if (!p || !KTHost::toValue(a.left(eq), p, a.mid(eq + 1), &error).isValid())
            return hostFail(KTHost::Usage, error);
    }
    return KTHost::Ok;
}

int runSet(HostContext &c)
{
    for (const QString &a : c.args) {
        const int eq = a.indexOf('=');
        const QString key = a.left(eq);
        QString error;
        KTDeviceProperty *p = c.host.parameter(key, &error);
        int acknowledged = -1;
        auto ack = QObject::connect(p, &KTDeviceProperty::retStatus, [&acknowledged](int s) { acknowledged = s; });
        const bool sent = c.host.write(key, p, a.mid(eq + 1), &error);
        if (!sent) {
            QObject::disconnect(ack);
            return hostFail(KTHost::Usage, error);
        }
        if (KTHost::canRead(p)) {
            // The machine's own value is read back.
            const bool read = c.host.read(p, c.timeoutMs, &error);
            QObject::disconnect(ack);
            if (!read)
                return readFailure(c, key, error);
            hostOut() << key << " = " << KTHost::valueText(p) << "\n";
            continue;
        }
        // Only a short acknowledgement answers a parameter that cannot be
        // read back; any read answered after it proves the write arrived.
        const bool acks = p->cmd_type() == KTDeviceInterface::CCMD;
        const bool answered = acks ? c.host.waitFor([&] { return acknowledged >= 0 || c.host.linkLost(); }, c.timeoutMs)
                                   : c.host.barrier(c.timeoutMs, &error);
        QObject::disconnect(ack);
        if (c.host.isInterrupted())
            return KTHost::Interrupted;
        if (c.host.linkLost())
            return hostFail(KTHost::LinkFailure, key + ": link lost (" + c.host.lastStatus() + ")");
        if (!answered)
            return hostFail(KTHost::LinkFailure, key + ": no reply from the machine within " + c.host.seconds(c.timeoutMs));
        if (acks)
            hostOut() << key << " = " << KTHost::valueText(p) << " (machine status " << acknowledged << ")\n";
        else
            hostOut() << key << ": sent (not verifiable)\n";
    }
    return KTHost::Ok;
}
