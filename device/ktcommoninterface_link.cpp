#include "device/ktcommoninterface.h"
#include "property/ktdeviceproperty.h"
#include "property/kttrace.h"
#include "platform/nuvexacloud/nuvexacloud.h"
#include "platform/usbchannel/usbchannel.h"

#include <QDateTime>
#include <QDebug>
#include <QJsonObject>
#include <QMutexLocker>
#include <QNetworkInterface>
#include <QNetworkProxy>
#include <QPointer>
#include <QTcpSocket>
#include <QUrl>
#include <QWebSocket>

#include <cstring>

void KTCommonInterface::setUSBPath(QString path)
{
    auto *p = new KTDeviceProperty;
    p->init(path, tr("USB 地址"), QStringLiteral(""), 0, 0, 0, UnCMD, QStringList());
    attachProperty("USB", p);
}

void KTCommonInterface::setIPAddress(QString address)
{
    auto *p = new KTDeviceProperty;
    p->init(address, tr("IP 地址"), QStringLiteral(""), 0, 0, 0, UnCMD, QStringList());
    attachProperty("TCP", p);
}

bool KTCommonInterface::connectDevice()
{
    KTDeviceProperty *status = property_ptr("STATUS");
    if (!status || status->value().toInt() != DisConnected)
        return false;
    if (KTDeviceProperty *usb = property_ptr("USB")) {
        connect_usb(usb->value().toString());
        return true;
    }
    if (KTDeviceProperty *tcp = property_ptr("TCP")) {
        connect_tcp(tcp->value().toString());
        return true;
    }
    return false;
}

void KTCommonInterface::sendCMD(QByteArray frame)
{
    if (frame.isEmpty())
        return;
    send_cmd(frame);
}

void KTCommonInterface::send_cmd(QByteArray frame)
{
    KTDeviceProperty *mode = property_ptr("CONNECT_MODE");
    KTDeviceProperty *status = property_ptr("STATUS");
    if (!mode || !status)
        return;
    const int s = status->value().toInt();
    if (s == DisConnected || s == Warning || s == Error)
        return;

    QMutexLocker lock(&send_mutex);
    if (mode->value().toString() == QLatin1String("TCP")) {
        if (tcp_socket)
            tcp_write(frame);
    } else if (usb_channel) {
        usb_channel->send(KTFrame::frameText(frame));
    }
}

// The socket copies whatever it is given into a buffer of its own: a cut job
// of many megabytes is handed over a window at a time as the socket drains,
// so it is never held twice. Frames keep their order behind it.
static constexpr qint64 TcpWindow = 1024 * 1024;

void KTCommonInterface::tcp_write(const QByteArray &frame)
{
    if (tcp_pending.isEmpty() && frame.size() <= TcpWindow) {
        tcp_socket->write(frame);
        return;
    }
    tcp_pending.append(frame);
    tcp_drain();
}

void KTCommonInterface::tcp_drain()
{
    while (tcp_socket && !tcp_pending.isEmpty() && tcp_socket->bytesToWrite() < TcpWindow) {
        const QByteArray &head = tcp_pending.first();
        const qint64 piece = qMin<qint64>(head.size() - tcp_pending_sent, TcpWindow);
        if (tcp_socket->write(head.constData() + tcp_pending_sent, piece) != piece) {
            tcp_pending.clear();   // the socket is gone: nothing more will leave
            tcp_pending_sent = 0;
            return;
        }
        tcp_pending_sent += piece;
        if (tcp_pending_sent == head.size()) {
            tcp_pending.removeFirst();
            tcp_pending_sent = 0;
        }
    }
}

void KTCommonInterface::connect_usb(QString path)
{
    if (!usb_channel) {
        usb_channel = new UsbChannel(nullptr);
        connect(usb_channel, &UsbChannel::writeData, this, &KTCommonInterface::slot_usb_write);
        connect(usb_channel, &UsbChannel::readData, this, &KTCommonInterface::slot_usb_read);
        connect(usb_channel, &UsbChannel::statusChanged, this, &KTCommonInterface::slot_usb_status);
    }
    usb_channel->setBaudRate(usb_baud_rate());
    usb_channel->usbConnect(path, UsbChannel::ReadWrite, false);
}

int KTCommonInterface::usb_baud_rate() const
{
    return usb_baud > 0 ? usb_baud : UsbChannel::DefaultBaudRate;
}

void KTCommonInterface::connect_tcp(QString address)
{
    qCDebug(ktLink) << "KTCommonInterface::connect_tcp";
    if (!tcp_socket) {
        qCDebug(ktLink) << "KTCommonInterface::connect_tcp" << QNetworkInterface::allAddresses();
        tcp_socket = new QTcpSocket(this);
        qCDebug(ktLink) << tcp_socket->localAddress();
        tcp_socket->setReadBufferSize(10240);
        tcp_socket->setSocketOption(QAbstractSocket::KeepAliveOption, 1);
        connect(tcp_socket, &QTcpSocket::readyRead, this, &KTCommonInterface::slot_tcp_socket_read);
        connect(tcp_socket, &QTcpSocket::stateChanged, this, &KTCommonInterface::slot_tcp_socket_state);
        connect(tcp_socket, &QTcpSocket::bytesWritten, this, &KTCommonInterface::tcp_drain);
    }
    if (KTDeviceProperty *port = property_ptr("TCP_PORT")) {
        // A link declared silent may still be open: start it over, or the
        // attempt would be ignored and no link event would ever come.
        if (tcp_socket->state() != QAbstractSocket::UnconnectedState)
            tcp_socket->abort();
        const quint16 p = quint16(port->value().toInt());
        qCDebug(ktLink) << "KTCommonInterface::connect_tcp" << address << port->value().toInt();
        tcp_socket->connectToHost(address, p, QIODevice::ReadWrite, QAbstractSocket::AnyIPProtocol);
        qCDebug(ktLink) << "KTCommonInterface::connect_tcp" << "OK" << tcp_socket->localAddress() << tcp_socket->proxy().hostName();
    }
}

void KTCommonInterface::connect_websocket()
{
    if (!web_socket) {
        web_socket = new QWebSocket(QString(), QWebSocketProtocol::Version13, nullptr);
        // A larger message is refused by the socket, which closes the relay
        // (close code 1009) instead of buffering it.
        web_socket->setMaxAllowedIncomingMessageSize(quint64(RelayMessageLimit));
        web_socket->setMaxAllowedIncomingFrameSize(quint64(RelayMessageLimit));
        relay_retry_timer.setSingleShot(true);
        connect(&relay_retry_timer, &QTimer::timeout, this, [this]() {
            if (web_socket && web_socket->state() == QAbstractSocket::UnconnectedState)
                web_socket->open(relay_address);
        });
    }
    KTDeviceProperty *cloud = property_ptr("DEVICE_CLOUD");
    if (!cloud || !cloud_client)
        return;
    const QString code = cloud->value().toJsonObject().value(QStringLiteral("code")).toString();
    if (!NuvexaCloud::isValidDeviceCode(code)) {
        qCWarning(ktCloud) << "KTCommonInterface::connect_websocket" << "no relay for an invalid device code of"
                           << code.size() << "characters";
        return;
    }
    // Connected once: a second registration must not report relay events twice.
    if (!relay_connected) {
        connect(web_socket, &QWebSocket::connected, this, &KTCommonInterface::slot_websocket_connected);
        connect(web_socket, &QWebSocket::disconnected, this, &KTCommonInterface::slot_websocket_disconnected);
        connect(web_socket, QOverload<QAbstractSocket::SocketError>::of(&QWebSocket::error), this,
                &KTCommonInterface::slot_websocket_error);
        connect(web_socket, &QWebSocket::textMessageReceived, this, &KTCommonInterface::slot_websocket_text_received);
        relay_connected = true;
    }
    relay_address = relay_url(cloud_client->ws(), code);
    relay_retry_timer.stop();
    web_socket->open(relay_address);
}

QUrl KTCommonInterface::relay_url(const QString &wsBase, const QString &code)
{
    // "ws://host:port" and "ws://host:port/" name one relay; the code must
    // not run into the port or leave its path segment.
    QString base = wsBase;
    if (!base.endsWith(QLatin1Char('/')))
        base += QLatin1Char('/');
    return QUrl(QStringLiteral("%1%2/Device/").arg(base, QString::fromLatin1(QUrl::toPercentEncoding(code))),
                QUrl::TolerantMode);
}

void KTCommonInterface::relay_reopen_later()
{
    // The relay comes back by itself, sooner at first, then less often.
    if (!web_socket || relay_address.isEmpty() || relay_retry_timer.isActive())
        return;
    relay_retry_timer.start(cloud_retry_delay(relay_attempts));
}

void KTCommonInterface::slot_usb_write(QByteArray)
{
}

namespace {

// Whether a read's bytes hold c (an ETX: something may be complete; an STX:
// something may start).
bool holds(const QByteArray &data, char c)
{
    const int n = data.size();
    const char *p = data.constData();
    if (n > 16)
        return memchr(p, c, size_t(n)) != nullptr;
    for (int i = 0; i < n; ++i) {
        if (p[i] == c)
            return true;
    }
    return false;
}

} // namespace

void KTCommonInterface::receive(const QByteArray &data, const char *trace)
{
    const bool frameEnds = holds(data, KTFrame::ETX);
    // The silence rule counts whole seconds, and reading the clock costs as
    // much as taking a byte: it is read when a frame starts or ends and every
    // few bytes in between, and the stamp is refreshed when 20 ms have passed
    // or someone else changed it.
    receive_unstamped_bytes += data.size();
    if (frameEnds || receive_buffer.isEmpty() || receive_unstamped_bytes >= 16) {
        receive_unstamped_bytes = 0;
        if (KTDeviceProperty *last = parameter_index.lastTime(this)) {
            if (!receive_clock.isValid() || receive_clock.hasExpired(20) || last->value() != receive_stamp) {
                receive_stamp = QDateTime::currentDateTime();
                receive_clock.start();
                last->setValue(receive_stamp);
            }
        }
    }
    // Looked up once: this runs for every read, down to single bytes.
    static const QLoggingCategory &link = ktLink();
    // Bytes that come with no frame start pending and bring none can never
    // be part of a frame: a port sending garbage is not collected up to the
    // bound first.
    if (receive_buffer.isEmpty() && !holds(data, KTFrame::STX)) {
        if (link.isDebugEnabled())
            qCDebug(link) << trace << ktTraceBytes(data);
        return;
    }
    // Kept allocated between reads, so that a buffer emptied by every frame
    // is not freed and allocated again each time.
    if (receive_buffer.capacity() < ReceiveCapacity)
        receive_buffer.reserve(ReceiveCapacity);
    receive_buffer.append(data);
    if (link.isDebugEnabled())
        qCDebug(link) << trace << ktTraceBytes(receive_buffer);
    // A piece of a frame (bytes arriving one at a time) waits as it is: the
    // cutter looks at it with the read that brings the ETX.
    if (!frameEnds && receive_buffer.size() <= frame_cutter.maxPending())
        return;
    decode_buffer();   // may delete this device
}

void KTCommonInterface::slot_usb_read(const QByteArray &data)
{
    receive(data, "KTCommonInterface::slot_usb_read");
}

void KTCommonInterface::slot_tcp_socket_read()
{
    // The socket does not signal readyRead again while a slot of it runs: what
    // came in while a host's slot ran its own event loop is read here.
    QPointer<KTCommonInterface> guard(this);
    while (guard && tcp_socket && tcp_socket->bytesAvailable() > 0)
        receive(tcp_socket->readAll(), "KTCommonInterface::slot_tcp_socket_read");
}

void KTCommonInterface::on_link_up(const QString &mode, const QString &text)
{
    if (KTDeviceProperty *m = property_ptr("CONNECT_MODE"))
        m->setValue(mode);
    KTDeviceProperty *status = property_ptr("STATUS");
    if (!status)
        return;
    // A link opened long after the device was built must not be declared
    // silent on its first tick.
    if (KTDeviceProperty *last = property_ptr("LAST_TIME"))
        last->setValue(QDateTime::currentDateTime());
    status->setValue(int(Working));
    emit message(DevStatus, text);
    heartbeat_switch(true);
}

void KTCommonInterface::on_link_down(const QString &mode, KTDeviceStatus s, const QString &text)
{
    if (KTDeviceProperty *m = property_ptr("CONNECT_MODE"))
        m->setValue(mode);
    KTDeviceProperty *status = property_ptr("STATUS");
    if (!status)
        return;
    status->setValue(int(s));
    emit message(DevStatus, text);
    if (property_ptr("HEARTBEAT") && device_timer.isActive())
        device_timer.stop();
}

void KTCommonInterface::slot_usb_status(int s)
{
    const QString mode = QStringLiteral("USB");
    switch (s) {
    case 1:
        usb_error.clear();
        on_link_up(mode, QStringLiteral("USB CONNECTED."));
        break;
    case 2:
        // The channel stored its reason before reporting: a host reads it
        // through usbErrorString() when the message arrives.
        usb_error = usb_channel ? usb_channel->errorString() : QString();
        qCDebug(ktLink) << "KTCommonInterface::slot_usb_status" << s << usb_error;
        on_link_down(mode, Warning, QStringLiteral("USB ERROR."));
        break;
    case 0:
        on_link_down(mode, DisConnected, QStringLiteral("USB DISCONNECTED."));
        break;
    default:
        if (KTDeviceProperty *m = property_ptr("CONNECT_MODE"))
            m->setValue(mode);
        break;
    }
}

void KTCommonInterface::slot_tcp_socket_state(QAbstractSocket::SocketState s)
{
    qCDebug(ktLink) << "KTCommonInterface::slot_tcp_socket_state" << s;
    const QString mode = QStringLiteral("TCP");
    if (s == QAbstractSocket::ConnectedState) {
        on_link_up(mode, QStringLiteral("TCP CONNECTED."));
    } else if (s == QAbstractSocket::UnconnectedState) {
        tcp_pending.clear();   // what did not leave belongs to the lost link
        tcp_pending_sent = 0;
        on_link_down(mode, DisConnected, QStringLiteral("TCP DISCONNECTED."));
    } else if (KTDeviceProperty *m = property_ptr("CONNECT_MODE")) {
        m->setValue(mode);
    }
}

void KTCommonInterface::slot_websocket_connected()
{
    relay_attempts = 0;
    relay_retry_timer.stop();
    emit message(DevStatus, QStringLiteral("WEB SOCKET CONNECTED."));
}

void KTCommonInterface::slot_websocket_disconnected()
{
    emit message(DevStatus, QStringLiteral("WEB SOCKET DISCONNECTED."));
    relay_reopen_later();
}

void KTCommonInterface::slot_websocket_error(QAbstractSocket::SocketError)
{
    qCDebug(ktLink) << "KTCommonInterface::slot_websocket_error";
    emit message(DevStatus, QStringLiteral("WEB SOCKET ERROR."));
    relay_reopen_later();
}

void KTCommonInterface::slot_websocket_text_received(QString message)
{
    qCDebug(ktLink) << "KTCommonInterface::slot_websocket_text_received" << message;
    if (message == last_ws_message)
        return;
    last_ws_message = message;
    device_task_to_cloud();
}
