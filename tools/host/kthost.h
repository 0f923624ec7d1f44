#ifndef KTHOST_H
#define KTHOST_H

#include "device/ktdeviceinterface.h"

#include <QObject>
#include <QPluginLoader>
#include <QSet>
#include <QString>
#include <QTextStream>

#include <functional>

class KTDeviceProperty;
class NuvexaCloud;

// What a host does with the plug-in: load it, take a device from the root
// object, connect, and read and write parameters through their own frames.
class KTHost : public QObject
{
    Q_OBJECT
public:
    enum Exit { Ok = 0, Usage = 2, LinkFailure = 3, Interrupted = 130 };

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
    // Reads the machine's identity (DEVICE_INFO), which registration carries.
    bool readIdentity(int timeoutMs, QString *error);
    // The client for a service, created on first use.
    NuvexaCloud *cloud(const QString &restBase, const QString &wsBase);
    NuvexaCloud *cloudClient() const { return m_cloud; }
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
    // "host" or "host:port"; port 0 when none is given.
    static bool parseTcpAddress(const QString &address, QString *host, int *port, QString *error);
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

private:
    bool waitConnected(int timeoutMs, QString *error);

    static constexpr int WaitTickMs = 20;

    QPluginLoader m_loader;
    KTDeviceInterface *m_device = nullptr;
    NuvexaCloud *m_cloud = nullptr;
    QSet<QString> m_openRecords;   // queued in this run, not yet delivered or refused
    QString m_cloudCause;
    bool m_linkLost = false;
    bool m_interrupted = false;
    QString m_lastStatus;
};

#endif // KTHOST_H
