#include "tools/host/kthost.h"
#include "tools/host/hosttext.h"
#include "tools/host/ktvalue.h"

#include "property/ktdeviceproperty.h"
#include "platform/nuvexacloud/nuvexacloud.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QHostAddress>
#include <QHostInfo>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTimer>

#include <limits>
#include <memory>
#include <optional>


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
    QElapsedTimer sinceCheck;
    sinceCheck.start();
    m_held = false;
    auto check = [&] {
        m_held |= sinceCheck.restart() >= HeldMs;
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
    // A step that held the thread (a file locked by another program, a slow
    // disk) may have run the clock out while the machine's answers waited
    // unread: they are read before the wait is given up, so the host's own
    // delay is never blamed on the machine. The step may also have come
    // after the last check, in the handler that ended the wait.
    m_held |= sinceCheck.elapsed() >= HeldMs;
    if (!m_interrupted && !done()) {
        QCoreApplication::processEvents();
        m_held |= sinceCheck.elapsed() >= HeldMs;
    }
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
    if (!parseTcpAddress(address, &host, &port, error) || !resolveHost(host, timeoutMs, error))
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
    m_cloud->setOutboxLockWait(m_lockWait);
    connect(m_cloud, &NuvexaCloud::outboxNotice, this, &KTHost::outboxNotice);
    connect(m_cloud, &NuvexaCloud::workRecordLost, this,
            [this](const QString &, const QJsonObject &record, const QString &why) {
                m_lost << lostRecord(record, why);
            });
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
        // A record the outbox did not take is reported once, as lost, at the end.
        if (status && !reason.startsWith(QLatin1String("outbox ")))
            emit cloudNotice(QStringLiteral("work record refused by the service (HTTP %1): %2").arg(status).arg(reason));
    });
    connect(m_cloud, &NuvexaCloud::requestFailed, this,
            [this](const QString &path, const QByteArray &, int, const QString &reason) {
                if (path != QLatin1String("device_work_records"))
                    m_cloudCause = reason;
            });
    return m_cloud;
}

QString KTHost::lostRecords() const
{
    QStringList lost = m_lost;
    if (m_cloud) {
        QString problem = m_cloud->whyHeldInMemory();
        if (problem.isEmpty())
            problem = QStringLiteral("the outbox %1 could not keep it").arg(m_cloud->outboxFile());
        for (const QJsonObject &record : m_cloud->recordsHeldInMemory())
            lost << lostRecord(record, QStringLiteral("the device was not registered and ") + problem);
        for (const auto &unsent : m_cloud->recordsWithoutCopy())
            lost << lostRecord(unsent.first, QStringLiteral("the service had not taken it when kt-host ended and ")
                                                 + unsent.second);
    }
    if (lost.size() > 1)
        return QStringLiteral("%1 (and %2 more)").arg(lost.first()).arg(lost.size() - 1);
    return lost.value(0);
}

QString KTHost::lostRecord(const QJsonObject &record, const QString &why)
{
    return QStringLiteral("work record lost (%1 of %2 copies, ended %3): %4; the service has no record of this job, "
                          "so fix the outbox before the next one")
        .arg(record.value("finish_copies").toInt())
        .arg(record.value("task_copies").toInt())
        .arg(record.value("end_time").toString(), why);
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

void KTHost::startCloud(const QString &restBase, const QString &wsBase, const QString &code)
{
    NuvexaCloud *client = cloud(restBase, wsBase);
    m_cloudCause.clear();
    m_device->setNuvexaCloud(client, code);
}

bool KTHost::waitForCloud(int timeoutMs, int lastChanceMs)
{
    if (!m_cloud)
        return true;
    // What an earlier run left is tried first thing (a queued call): let it
    // go out before asking whether anything is on its way.
    QCoreApplication::sendPostedEvents(m_cloud, QEvent::MetaCall);
    // A step that failed is tried again later by its own back-off; waiting
    // for it would only hold the host.
    QElapsedTimer waited;
    waited.start();
    waitFor([this] { return m_cloud->requestsInFlight() == 0 && m_cloud->recordsInFlight() == 0; }, timeoutMs);
    const qint64 left = lastChanceMs - waited.elapsed();
    if (!m_cloud->recordsWithoutCopy().isEmpty() && left > 0)
        waitFor([this] { return m_cloud->recordsWithoutCopy().isEmpty(); }, int(left));
    return cloudLeftover(timeoutMs).isEmpty();
}

QString KTHost::cloudLeftover(int waitedMs) const
{
    if (!m_cloud)
        return QString();
    const int open = m_openRecords.size();
    const QString file = m_cloud->outboxFile();
    KTDeviceProperty *record = m_device->property_ptr("DEVICE_CLOUD");
    if (!record || !record->value().toJsonObject().contains(QStringLiteral("id"))) {
        const QString cause =
            m_cloudCause.isEmpty() ? QStringLiteral("no answer within %1").arg(seconds(waitedMs)) : m_cloudCause;
        if (!open)
            return QStringLiteral("the cloud service did not register the device (%1); a later run with --cloud "
                                  "registers it").arg(cause);
        return QStringLiteral("the cloud service did not register the device (%1); %2 work record(s) of this run "
                              "wait in %3 until a later run with --cloud registers it").arg(cause, QString::number(open), file);
    }
    if (open)
        return QStringLiteral("%1 work record(s) of this run not delivered within %2 wait in %3; a later run with "
                              "--cloud sends them (kt-host outbox --cloud ... lists them)")
            .arg(QString::number(open), seconds(waitedMs), file);
    return QString();
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
    QString portText;
    bool hasPort = false;
    if (address.startsWith(QLatin1Char('['))) {
        // "[IPv6]" or "[IPv6]:PORT": the brackets keep the address's colons apart.
        const int close = address.indexOf(QLatin1Char(']'));
        const QString rest = close < 0 ? QString() : address.mid(close + 1);
        if (close < 0 || (!rest.isEmpty() && !rest.startsWith(QLatin1Char(':')))) {
            *error = QStringLiteral("bad address \"%1\": give HOST, HOST:PORT or [IPv6]:PORT")
                         .arg(HostText::printable(address));
            return false;
        }
        *host = address.mid(1, close - 1);
        hasPort = !rest.isEmpty();
        portText = rest.mid(1);
    } else if (address.count(QLatin1Char(':')) == 1) {
        const int colon = address.indexOf(QLatin1Char(':'));
        *host = address.left(colon);
        hasPort = true;
        portText = address.mid(colon + 1);
    }
    if (hasPort) {
        bool ok = false;
        *port = portText.toInt(&ok);
        if (!ok || *port <= 0 || *port > 65535) {
            *error = QStringLiteral("bad port in \"%1\": give a number from 1 to 65535").arg(HostText::printable(address));
            return false;
        }
    }
    QString why;
    if (!HostText::checkHost(*host, &why)) {
        *error = QStringLiteral("bad address \"%1\": %2; give HOST or HOST:PORT").arg(HostText::printable(address), why);
        return false;
    }
    return true;
}

bool KTHost::resolveHost(const QString &host, int timeoutMs, QString *error)
{
    QHostAddress literal;
    if (literal.setAddress(host))
        return true;
    // The plug-in's socket says only that the link went down; asked first, the
    // resolver tells a name that does not exist from a machine that refuses.
    // Shared with the callback, which an abort may not keep from running later.
    auto result = std::make_shared<std::optional<QHostInfo>>();
    const int id = QHostInfo::lookupHost(host, this, [result](const QHostInfo &info) { *result = info; });
    if (!waitFor([&result] { return result->has_value(); }, timeoutMs)) {
        QHostInfo::abortHostLookup(id);
        *error = QStringLiteral("host name not resolved within %1").arg(seconds(timeoutMs));
        return false;
    }
    const QHostInfo &answer = **result;
    if (answer.error() == QHostInfo::HostNotFound || (answer.error() == QHostInfo::NoError && answer.addresses().isEmpty())) {
        *error = QStringLiteral("host name not found");
        return false;
    }
    if (answer.error() != QHostInfo::NoError) {
        *error = QStringLiteral("host name not resolved (%1)").arg(HostText::printable(answer.errorString()));
        return false;
    }
    return true;
}
