#ifndef KTHOST_H
#define KTHOST_H

#include "device/ktdeviceinterface.h"

#include <QObject>
#include <QPluginLoader>
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
    bool connectUsb(const QString &path, int timeoutMs, QString *error);
    bool registerCloud(const QString &restBase, const QString &wsBase, const QString &code, int timeoutMs);

    // Looks up a key; on failure says what is allowed.
    KTDeviceProperty *parameter(const QString &key, QString *error) const;
    // Sends the parameter's read and waits for the machine's answer.
    bool read(KTDeviceProperty *p, int timeoutMs, QString *error);
    // Stores text as the value (checked against the value's type) and sends it.
    bool write(const QString &key, KTDeviceProperty *p, const QString &text, QString *error);
    static QString valueText(KTDeviceProperty *p);
    static bool canRead(KTDeviceProperty *p);

    bool linkLost() const { return m_linkLost; }
    QString lastStatus() const { return m_lastStatus; }
    // Runs the event loop until done() or timeoutMs; false on time-out.
    bool waitFor(const std::function<bool()> &done, int timeoutMs);

signals:
    void deviceMessage(KTDeviceInterface::KTDeviceMessage kind, const QString &text);

private:
    bool waitConnected(int timeoutMs, QString *error);

    QPluginLoader m_loader;
    KTDeviceInterface *m_device = nullptr;
    NuvexaCloud *m_cloud = nullptr;
    bool m_linkLost = false;
    QString m_lastStatus;
};

#endif // KTHOST_H
