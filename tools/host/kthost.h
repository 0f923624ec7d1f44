#ifndef KTHOST_H
#define KTHOST_H

#include "device/ktdeviceinterface.h"

#include <QObject>
#include <QPluginLoader>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QTextStream>

#include <functional>

class KTDeviceProperty;
class QJsonObject;
class NuvexaCloud;

// What a host does with the plug-in: load it, take a device from the root
// object, connect, and read and write parameters through their own frames.
class KTHost : public QObject
{
    Q_OBJECT
public:
    enum Exit { Ok = 0, Usage = 2, LinkFailure = 3, RecordLost = 4, Interrupted = 130 };

    explicit KTHost(QObject *parent = nullptr);
    ~KTHost() override;

    bool load(const QString &pluginPath, QString *error);
    KTDeviceInterface *device() const { return m_device; }

    // Connects over TCP ("host[:port]") or USB; false with a reason.
    bool connectTcp(const QString &address, int timeoutMs, QString *error);
    // baud 0 leaves the plug-in's line speed.
    bool connectUsb(const QString &path, int baud, int timeoutMs, QString *error);
    // Waits up to timeoutMs for the work records of this run to be delivered
    // or refused; false when some still wait in the outbox.
    bool waitForDelivery(int timeoutMs);
    // Hands the device the cloud client; false with the cause of the last
    // failed step when no id came within timeoutMs (registration goes on).
    bool registerCloud(const QString &restBase, const QString &wsBase, const QString &code, int timeoutMs,
                       QString *cause);
    // Hands the device the cloud client and returns at once: registration
    // goes on beside whatever the host does next.
    void startCloud(const QString &restBase, const QString &wsBase, const QString &code);
    // Gives the cloud up to timeoutMs to finish what is under way (the
    // registration, this run's work records); ends as soon as no request
    // waits for an answer. A record on its way without a copy gets up to
    // lastChanceMs in all, since no later run can send it. False when
    // something is left for a later run.
    bool waitForCloud(int timeoutMs, int lastChanceMs = 0);
    // One sentence on what the cloud left undone after a wait of waitedMs;
    // empty when the device is registered and this run's records are settled.
    QString cloudLeftover(int waitedMs) const;
    // Reads the machine's identity (DEVICE_INFO), which registration carries.
    bool readIdentity(int timeoutMs, QString *error);
    // The client for a service, created on first use.
    NuvexaCloud *cloud(const QString &restBase, const QString &wsBase);
    NuvexaCloud *cloudClient() const { return m_cloud; }
    // The longest wait for another program's lock on the outbox.
    void setCloudLockWait(int ms) { m_lockWait = ms; }
    // One line on the work records of this run that were neither kept nor
    // delivered (empty: none).
    QString lostRecords() const;
    static QString lostRecord(const QJsonObject &record, const QString &why);
    int recordsWaiting() const { return m_openRecords.size(); }

    // Looks up a key; on failure says what is allowed.
    KTDeviceProperty *parameter(const QString &key, QString *error) const;
    // Sends the parameter's read and waits for the machine's answer.
    bool read(KTDeviceProperty *p, int timeoutMs, QString *error);
    // Waits for the answer to a read sent after everything sent so far.
    bool barrier(int timeoutMs, QString *error);
    static QString seconds(int ms);
    // A USB open failure as the channel words it, without the path it starts with.
    static QString usbReason(const QString &path, const QString &reason);
    // "host", "host:port" or "[IPv6]:port", the host a valid address or name;
    // port 0 when none is given.
    static bool parseTcpAddress(const QString &address, QString *host, int *port, QString *error);
    // A host name looked up within timeoutMs (an address needs none); false
    // with "host name not found" or why it could not be resolved.
    bool resolveHost(const QString &host, int timeoutMs, QString *error);
    // A value no reply produces: stored before a read, it shows the answer came.
    static QString sentinelFor(const QVariant &v);
    // Whether a status message says the link is gone.
    static bool isLinkLost(const QString &statusText);

    bool linkLost() const { return m_linkLost; }
    QString lastStatus() const { return m_lastStatus; }
    // Runs the event loop until done() holds, timeoutMs pass or the user
    // interrupts; true only when done() holds.
    bool waitFor(const std::function<bool()> &done, int timeoutMs);
    bool isInterrupted() const { return m_interrupted; }
    // Whether, during the last waitFor(), a step held the thread for
    // HeldMs or more (a file locked by another program, a slow disk):
    // then nothing was listening, and silence in that time says nothing.
    bool wasHeld() const { return m_held; }
    // Lets waits run again after an interruption, for the last words to the
    // machine (a stop); a second Ctrl-C ends those too.
    void clearInterrupt() { m_interrupted = false; }

public slots:
    // Ends every wait at once (Ctrl-C).
    void interrupt();

signals:
    void interrupted();
    void deviceMessage(KTDeviceInterface::KTDeviceMessage kind, const QString &text);
    // One line per work-record event ("work record delivered (id 7)").
    void cloudNotice(const QString &text);
    // Something about the outbox file itself (set aside, locked, read-only).
    void outboxNotice(const QString &text);

private:
    bool waitConnected(int timeoutMs, QString *error);

    static constexpr int WaitTickMs = 20;
    static constexpr int HeldMs = 500;

    QPluginLoader m_loader;
    KTDeviceInterface *m_device = nullptr;
    NuvexaCloud *m_cloud = nullptr;
    QSet<QString> m_openRecords;   // queued in this run, not yet delivered or refused
    QString m_cloudCause;
    QStringList m_lost;
    int m_lockWait = 10000;
    bool m_linkLost = false;
    bool m_interrupted = false;
    bool m_held = false;
    QString m_lastStatus;
};

#endif // KTHOST_H
