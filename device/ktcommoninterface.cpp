#include "device/ktcommoninterface.h"
#include "property/ktdeviceproperty.h"
#include "platform/usbchannel/usbchannel.h"

#include <QTcpSocket>
#include <QWebSocket>

KTCommonInterface::KTCommonInterface(QObject *parent)
    : KTDeviceInterface(parent)
{
    qRegisterMetaType<QAbstractSocket::SocketState>("QAbstractSocket::SocketState");
    qRegisterMetaType<QAbstractSocket::SocketError>("QAbstractSocket::SocketError");
    connect(&device_timer, &QTimer::timeout, this, &KTCommonInterface::slot_device_timer);

    cloud_retry_timer.setSingleShot(true);
    cloud_retry_timer.setInterval(10000);
    connect(&cloud_retry_timer, &QTimer::timeout, this, [this]() {
        cloud_device_get(QJsonObject{{QStringLiteral("code"), cloud_record.value(QStringLiteral("code")).toString()}});
    });
}

KTCommonInterface::~KTCommonInterface()
{
    // Transports are silenced first: their closing must not reach a host
    // through a half-destroyed device.
    if (usb_channel) {
        usb_channel->disconnect(this);
        delete usb_channel;
        usb_channel = nullptr;
    }
    if (tcp_socket) {
        tcp_socket->disconnect(this);
        tcp_socket->close();
        delete tcp_socket;
        tcp_socket = nullptr;
    }
    if (web_socket) {
        web_socket->disconnect(this);
        web_socket->abort();
        delete web_socket;
        web_socket = nullptr;
    }
    device_timer.stop();
    cloud_retry_timer.stop();
    releaseAllProperties();
    receive_buffer.clear();
}

KTDeviceInterface *KTCommonInterface::initInstance()
{
    auto *device = new KTCommonInterface;
    init157(device);
    return device;
}

KTDeviceProperty *KTCommonInterface::property_ptr(const char *key)
{
    return KTDeviceProperty::fromVariant(property(key));
}

QStringList KTCommonInterface::userProperty()
{
    // TOOL_SPACE sits beside CAMERA_OFFSET in the 157 family and is shaped
    // the same way; it is the group a user of this default expects to see.
    return {QStringLiteral("WORK_MODE"), QStringLiteral("SPEED"), QStringLiteral("PRESSURE"),
            QStringLiteral("CAMERA_OFFSET"), QStringLiteral("TOOL_SPACE"), QStringLiteral("SP1"),
            QStringLiteral("SP2")};
}
