#include "device/ktdeviceinterface.h"
#include "property/ktdeviceproperty.h"

#include <QDate>
#include <QLocale>

KTDeviceInterface::KTDeviceInterface(QObject *parent)
    : QObject(parent)
{
    qRegisterMetaType<KTDeviceInterface::KTDeviceStatus>("KTDeviceInterface::KTDeviceStatus");
    qRegisterMetaType<KTDeviceInterface::KTDeviceMessage>("KTDeviceInterface::KTDeviceMessage");
    qRegisterMetaType<KTDeviceInterface::KTDeviceCMDType>("KTDeviceInterface::KTDeviceCMDType");
}

KTDeviceInterface::~KTDeviceInterface()
{
    releaseAllProperties();
}

void KTDeviceInterface::releaseAllProperties()
{
    const QList<QByteArray> names = dynamicPropertyNames();
    for (const QByteArray &name : names) {
        delete KTDeviceProperty::fromVariant(property(name.constData()));
        setProperty(name.constData(), QVariant());
    }
}

void KTDeviceInterface::attachProperty(const char *key, KTDeviceProperty *property)
{
    attachParameter(this, key, property);
}

void KTDeviceInterface::attachParameter(QObject *device, const char *key, KTDeviceProperty *property)
{
    KTDeviceProperty *old = KTDeviceProperty::fromVariant(device->property(key));
    device->setProperty(key, KTDeviceProperty::toVariant(property));
    // A replaced parameter may still be held by a host or a group: it lives
    // on, owned by the device through Qt's parent, until the device goes.
    if (old && old != property)
        old->setParent(device);
}

QString KTDeviceInterface::usbErrorString() const
{
    return property("usbErrorString").toString();
}

int KTDeviceInterface::usbBaudRate() const
{
    return property("usbBaudRate").toInt();
}

bool KTDeviceInterface::setUSBBaudRate(int bitsPerSecond)
{
    // Only a declared property: setProperty would otherwise add a dynamic
    // one, which reads as a parameter.
    if (metaObject()->indexOfProperty("usbBaudRate") < 0)
        return false;
    return setProperty("usbBaudRate", bitsPerSecond);
}

KTDeviceInterface *KTDeviceInterface::initInstance()
{
    return nullptr;
}

void KTDeviceInterface::setUSBPath(QString path)
{
    auto *p = new KTDeviceProperty;
    p->init(tr("USB"), path, QString(), 0, 0, 0, UnCMD, QStringList());
    attachProperty("USB", p);
}

void KTDeviceInterface::setIPAddress(QString address)
{
    auto *p = new KTDeviceProperty;
    p->init(tr("TCP"), address, QString(), 0, 0, 0, UnCMD, QStringList());
    attachProperty("TCP", p);
}

bool KTDeviceInterface::connectDevice()
{
    return false;
}

KTDeviceProperty *KTDeviceInterface::property_ptr(const char *)
{
    return nullptr;
}

QStringList KTDeviceInterface::userProperty()
{
    return QStringList();
}

QStringList KTDeviceInterface::sysProperty()
{
    return QStringList();
}

void KTDeviceInterface::sendCMD(QByteArray)
{
}

void KTDeviceInterface::setNuvexaCloud(NuvexaCloud *, QString)
{
}

void KTDeviceInterface::startTask()
{
}

void KTDeviceInterface::stopTask()
{
}

void KTDeviceInterface::move(int, int)
{
}

int KTDeviceInterface::icon()
{
    return 0;
}

void KTDeviceInterface::setPlt(QString plt)
{
    // Looked up directly: the interface's own property_ptr is inert.
    KTDeviceProperty *p = KTDeviceProperty::fromVariant(property("TASK_PPLT"));
    if (!p)
        p = KTDeviceProperty::fromVariant(property("TASK_PLT"));
    if (p)
        p->setValue(plt);
}

QString KTDeviceInterface::formatBuildDate(const QString &compilerDate)
{
    const QLocale english(QLocale::English);
    QString text = english.toDate(compilerDate, QStringLiteral("MMM dd yyyy")).toString(QStringLiteral("yyyy - MM - dd"));
    if (text.isEmpty())
        text = english.toDate(compilerDate, QStringLiteral("MMM  d yyyy")).toString(QStringLiteral("yyyy - MM - dd"));
    return text;
}

QString KTDeviceInterface::buildDate()
{
    return formatBuildDate(QStringLiteral(__DATE__));
}
