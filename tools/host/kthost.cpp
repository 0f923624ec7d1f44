#include "tools/host/kthost.h"
#include "tools/host/ktvalue.h"

#include "property/ktdeviceproperty.h"
#include "platform/nuvexacloud/nuvexacloud.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QRegularExpression>
#include <QTimer>

#include <limits>


QString KTHost::sentinelFor(const QVariant &v)
{
    // A value no reply of the machine produces, so a changed value means the
    // reply has arrived: reads are not otherwise announced.
    switch (v.userType()) {
    case QMetaType::UInt: return QString::number(std::numeric_limits<uint>::max());
    case QMetaType::Int: return QString::number(std::numeric_limits<int>::min());
    case QMetaType::Double: return QStringLiteral("-1.5e308");
    case QMetaType::QString: return QStringLiteral("\x01");
    default: return QString();
    }
}

bool KTHost::isLinkLost(const QString &statusText)
{
    static const QStringList lost{"TCP DISCONNECTED.", "USB DISCONNECTED.", "USB ERROR.", "HEARTBEAT TIMEOUT 30S."};
    return lost.contains(statusText);
}

KTHost::KTHost(QObject *parent)
    : QObject(parent)
{
}

KTHost::~KTHost()
{
    delete m_device;
    delete m_cloud;
}

bool KTHost::load(const QString &pluginPath, QString *error)
{
    m_loader.setFileName(pluginPath);
    auto *root = qobject_cast<KTDeviceInterface *>(m_loader.instance());
    if (!root) {
        *error = QStringLiteral("cannot load the plug-in %1: %2").arg(pluginPath, m_loader.errorString());
        return false;
    }
    m_device = root->initInstance();
    if (!m_device) {
        *error = QStringLiteral("the plug-in gave no device");
        return false;
    }
    connect(m_device, &KTDeviceInterface::message, this,
            [this](KTDeviceInterface::KTDeviceMessage kind, const QString &text) {
                if (kind == KTDeviceInterface::DevStatus) {
                    m_lastStatus = text;
                    if (isLinkLost(text))
                        m_linkLost = true;
                }
                emit deviceMessage(kind, text);
            });
    return true;
}

bool KTHost::waitFor(const std::function<bool()> &done, int timeoutMs)
{
    if (m_interrupted)
        return false;
    if (done())
        return true;
    // The condition is looked at each time the event loop has handled all
    // that arrived and is about to sleep (a reply ends the wait at once),
    // after each message of the device, and on a short tick: a port that
    // floods keeps the loop from ever sleeping. The tick keeps the deadline
    // too, should the single timer be late.
    QEventLoop loop;
    QDeadlineTimer deadline(timeoutMs);
    auto check = [&] {
        if (done() || deadline.hasExpired())
            loop.quit();
    };
    QTimer timer;
    timer.setSingleShot(true);
    connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
    QTimer tick;
    connect(&tick, &QTimer::timeout, &loop, check);
    connect(this, &KTHost::interrupted, &loop, &QEventLoop::quit);
    connect(this, &KTHost::deviceMessage, &loop, check);
    connect(QAbstractEventDispatcher::instance(), &QAbstractEventDispatcher::aboutToBlock, &loop, check);
    timer.start(timeoutMs);
    tick.start(WaitTickMs);
    loop.exec();
    return !m_interrupted && done();
}

void KTHost::interrupt()
{
    m_interrupted = true;
    emit interrupted();
}

bool KTHost::waitConnected(int timeoutMs, QString *error)
{
    m_linkLost = false;
    const bool answered = waitFor([this] { return m_lastStatus.endsWith(" CONNECTED.") || m_linkLost; }, timeoutMs);
    if (!answered) {
        *error = QStringLiteral("no answer within %1").arg(seconds(timeoutMs));
        return false;
    }
    if (m_linkLost) {
        *error = m_lastStatus == QLatin1String("USB ERROR.") ? QStringLiteral("the device cannot be opened")
                                                             : QStringLiteral("connection refused or closed");
        return false;
    }
    return true;
}

bool KTHost::connectTcp(const QString &address, int timeoutMs, QString *error)
{
    QString host;
    int port = 0;
    if (!parseTcpAddress(address, &host, &port, error))
        return false;
    if (port > 0) {
        if (KTDeviceProperty *p = m_device->property_ptr("TCP_PORT"))
            p->setValue(port);
    }
    m_device->setIPAddress(host);
    if (!m_device->connectDevice()) {
        *error = QStringLiteral("the device refused to start a connection");
        return false;
    }
    return waitConnected(timeoutMs, error);
}

bool KTHost::connectUsb(const QString &path, int baud, int timeoutMs, QString *error)
{
    if (baud > 0 && !m_device->setUSBBaudRate(baud)) {
        *error = QStringLiteral("the plug-in takes no line speed");
        return false;
    }
    m_device->setUSBPath(path);
    if (!m_device->connectDevice()) {
        *error = QStringLiteral("the device refused to start a connection");
        return false;
    }
    if (waitConnected(timeoutMs, error))
        return true;
    // The plug-in keeps why the open failed; its message only says it did.
    const QString reason = m_device->usbErrorString();
    if (m_lastStatus == QLatin1String("USB ERROR.") && !reason.isEmpty())
        *error = usbReason(path, reason);
    return false;
}

NuvexaCloud *KTHost::cloud(const QString &restBase, const QString &wsBase)
{
    if (m_cloud)
        return m_cloud;
    m_cloud = new NuvexaCloud(restBase, wsBase);
    connect(m_cloud, &NuvexaCloud::workRecordQueued, this, [this](const QString &key) { m_openRecords.insert(key); });
    connect(m_cloud, &NuvexaCloud::workRecordDelivered, this, [this](const QString &key, int id) {
        m_openRecords.remove(key);
        emit cloudNotice(QStringLiteral("work record delivered (id %1)").arg(id));
    });
    connect(m_cloud, &NuvexaCloud::workRecordKept, this, [this](const QString &, const QString &reason) {
        emit cloudNotice(QStringLiteral("work record kept for later: %1").arg(reason));
    });
    connect(m_cloud, &NuvexaCloud::workRecordRejected, this, [this](const QString &key, int status, const QString &reason) {
        m_openRecords.remove(key);
        emit cloudNotice(status ? QStringLiteral("work record refused by the service (HTTP %1): %2").arg(status).arg(reason)
                                : QStringLiteral("work record lost: %1").arg(reason));
    });
    connect(m_cloud, &NuvexaCloud::requestFailed, this,
            [this](const QString &path, const QByteArray &, int, const QString &reason) {
                if (path != QLatin1String("device_work_records"))
                    m_cloudCause = reason;
            });
    return m_cloud;
}

bool KTHost::readIdentity(int timeoutMs, QString *error)
{
    KTDeviceProperty *info = m_device->property_ptr("DEVICE_INFO");
    if (!info)
        return true;
    QList<KTDeviceProperty *> parts{info};
    if (info->get_cmd_bytes().isEmpty()) {
        parts.clear();
        for (const auto &child : info->childProperties())
            parts << child.second;
    }
    for (KTDeviceProperty *part : parts) {
        if (part && KTValue::canRead(part) && !read(part, timeoutMs, error))
            return false;
    }
    return true;
}

bool KTHost::registerCloud(const QString &restBase, const QString &wsBase, const QString &code, int timeoutMs,
                           QString *cause)
{
    NuvexaCloud *client = cloud(restBase, wsBase);
    m_cloudCause.clear();
    m_device->setNuvexaCloud(client, code);
    KTDeviceProperty *record = m_device->property_ptr("DEVICE_CLOUD");
    if (record && waitFor([record] { return record->value().toJsonObject().contains("id"); }, timeoutMs))
        return true;
    *cause = m_cloudCause.isEmpty() ? QStringLiteral("no answer within %1").arg(seconds(timeoutMs)) : m_cloudCause;
    return false;
}

bool KTHost::waitForDelivery(int timeoutMs)
{
    if (!m_cloud)
        return true;
    // Records of this run, and those of earlier runs being sent now.
    return waitFor([this] { return m_openRecords.isEmpty() && m_cloud->recordsInFlight() == 0; }, timeoutMs);
}

KTDeviceProperty *KTHost::parameter(const QString &key, QString *error) const
{
    if (KTDeviceProperty *p = m_device->property_ptr(key.toLatin1().constData()))
        return p;
    QStringList keys;
    for (const QByteArray &name : m_device->dynamicPropertyNames())
        keys << QString::fromLatin1(name);
    *error = QStringLiteral("unknown key %1; the machine has: %2").arg(key, keys.join(' '));
    return nullptr;
}

bool KTHost::read(KTDeviceProperty *p, int timeoutMs, QString *error)
{
    if (p->get_cmd_bytes().isEmpty()) {
        *error = QStringLiteral("it cannot be read from the machine");
        return false;
    }
    if (KTValue::replyIgnored(p)) {
        *error = QStringLiteral("the plug-in does not apply the machine's answers for command %1").arg(p->get_cmd_int());
        return false;
    }
    QList<KTDeviceProperty *> targets;
    for (const QString &key : p->value().toStringList()) {
        if (KTDeviceProperty *child = p->property_ptr(key.toLatin1().constData()))
            targets << child;
    }
    if (p->value().userType() != QMetaType::QStringList)
        targets = {p};

    QList<QVariant> originals;
    for (KTDeviceProperty *t : targets) {
        originals << t->value();
        t->set_decode(sentinelFor(t->value()));
    }
    auto changed = [&targets, &originals]() {
        for (int i = 0; i < targets.size(); ++i) {
            if (targets.at(i)->value().toString() != sentinelFor(originals.at(i)))
                return true;
        }
        return false;
    };
    m_device->sendCMD(p->get_cmd_bytes());
    const bool answered = waitFor([&] { return changed() || m_linkLost; }, timeoutMs);
    for (int i = 0; i < targets.size(); ++i) {
        if (targets.at(i)->value().toString() == sentinelFor(originals.at(i)))
            targets.at(i)->set_decode(originals.at(i).toString());
    }
    if (m_linkLost) {
        *error = QStringLiteral("link lost (%1)").arg(m_lastStatus);
        return false;
    }
    if (!answered) {
        *error = QStringLiteral("no reply within %1").arg(seconds(timeoutMs));
        return false;
    }
    return true;
}

bool KTHost::barrier(int timeoutMs, QString *error)
{
    for (const QString &key : m_device->sysProperty() + m_device->userProperty()) {
        KTDeviceProperty *p = m_device->property_ptr(key.toLatin1().constData());
        if (p && KTValue::canRead(p) && p->value().userType() != QMetaType::QStringList)
            return read(p, timeoutMs, error);
    }
    *error = QStringLiteral("the machine has no parameter to read back");
    return false;
}

QString KTHost::usbReason(const QString &path, const QString &reason)
{
    // The channel names the path first; the host's line has named it already.
    const QString prefix = path + QStringLiteral(": ");
    return reason.startsWith(prefix) ? reason.mid(prefix.size()) : reason;
}

QString KTHost::seconds(int ms)
{
    return QStringLiteral("%1 s").arg(ms / 1000.0);
}

bool KTHost::parseTcpAddress(const QString &address, QString *host, int *port, QString *error)
{
    *host = address;
    *port = 0;
    const int colon = address.lastIndexOf(':');
    if (colon >= 0 && address.count(':') == 1) {
        *host = address.left(colon);
        bool ok = false;
        *port = address.mid(colon + 1).toInt(&ok);
        if (!ok || *port <= 0 || *port > 65535) {
            *error = QStringLiteral("bad port in \"%1\": give a number from 1 to 65535").arg(address);
            return false;
        }
    }
    if (host->isEmpty() || host->contains(QRegularExpression(QStringLiteral("[\\s/]")))) {
        *error = QStringLiteral("bad address \"%1\": give HOST or HOST:PORT").arg(address);
        return false;
    }
    return true;
}
