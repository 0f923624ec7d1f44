#ifndef KTDEVICEINTERFACE_H
#define KTDEVICEINTERFACE_H

#include <QObject>
#include <QString>
#include <QStringList>
#include <QByteArray>
#include <QtPlugin>

#include "ktapi_export.h"

class KTDeviceProperty;
class NuvexaCloud;

// The host-facing contract of one machine. Defaults are inert; device classes
// override what they support. Parameters live as dynamic properties holding
// KTDeviceProperty pointers (QMetaType::VoidStar) and are owned by the device.
class KTAPI_EXPORT KTDeviceInterface : public QObject
{
    Q_OBJECT
public:
    enum KTDeviceStatus { DisConnected = 0, Idle = 1, Working = 2, Pause = 3, Warning = 4, Error = 5 };
    Q_ENUM(KTDeviceStatus)
    enum KTDeviceMessage { DevStatus = 0, DevTasK = 1, Qrcode = 2 };
    Q_ENUM(KTDeviceMessage)
    enum KTDeviceCMDType { UnCMD = 0, CCMD = 1, CMD = 2, NUM = 3, PLT = 4, PPLT = 5, QRPLT = 6 };
    Q_ENUM(KTDeviceCMDType)

    explicit KTDeviceInterface(QObject *parent = nullptr);
    ~KTDeviceInterface() override;

    // Virtual operations, in this order on purpose: hosts built against the
    // interface rely on the vtable layout.
    virtual KTDeviceInterface *initInstance();
    virtual void setUSBPath(QString path);
    virtual void setIPAddress(QString address);
    virtual bool connectDevice();
    virtual KTDeviceProperty *property_ptr(const char *key);
    virtual QStringList userProperty();
    virtual QStringList sysProperty();
    virtual void sendCMD(QByteArray frame);
    virtual void setNuvexaCloud(NuvexaCloud *client, QString code);
    virtual void startTask();
    virtual void stopTask();
    virtual void move(int y, int x);
    virtual int icon();
    virtual void setPlt(QString plt);

    // Not virtual, so the table above keeps its layout. A device without a
    // USB link answers empty, 0 and false.
    //
    // Why the last USB open or transfer failed, in words a user can act on
    // (no such device; permission denied and what to do; busy); read it when
    // "USB ERROR." arrives. Empty after a successful open.
    QString usbErrorString() const;
    // Line speed of a terminal USB path (/dev/ttyACM*, /dev/ttyUSB*) from the
    // next connectDevice on; 115200 unless set. setUSBBaudRate takes any
    // number: one the line cannot run at fails the open with its reason.
    int usbBaudRate() const;
    bool setUSBBaudRate(int bitsPerSecond);

    static QString buildDate();
    // Attaches a parameter to device under key; one it replaces stays valid
    // until the device is destroyed.
    static void attachParameter(QObject *device, const char *key, KTDeviceProperty *property);
    // Parses a compiler build-date text ("Apr 11 2024", "Jan  5 2024").
    static QString formatBuildDate(const QString &compilerDate);

signals:
    void message(KTDeviceInterface::KTDeviceMessage kind, QString text);

protected:
    // Stores a parameter under key, replacing (and releasing) any earlier one.
    void attachProperty(const char *key, KTDeviceProperty *property);
    void releaseAllProperties();
};

#define KTDeviceInterface_iid "Orla.nuvexa.ktdeviceinterface"
Q_DECLARE_INTERFACE(KTDeviceInterface, KTDeviceInterface_iid)

#endif // KTDEVICEINTERFACE_H
