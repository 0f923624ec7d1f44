#ifndef KTCOMMONINTERFACE_H
#define KTCOMMONINTERFACE_H

#include "device/ktdeviceinterface.h"
#include "device/ktparameterindex.h"
#include "property/ktframe.h"

#include <QAbstractSocket>
#include <QByteArray>
#include <QDateTime>
#include <QElapsedTimer>
#include <QJsonObject>
#include <QMutex>
#include <QTimer>
#include <QSharedPointer>
#include <QTranslator>
#include <QUrl>

#include <functional>

class UsbChannel;
class QTcpSocket;
class QWebSocket;
class NuvexaCloud;
class QNetworkReply;

// The shared device object: link layer, heartbeat, reply dispatch, task
// control, cloud reporting and the group builders of both controller families.
class KTCommonInterface : public KTDeviceInterface
{
    Q_OBJECT
    // Read and written by name through KTDeviceInterface, whose layout stays.
    Q_PROPERTY(QString usbErrorString READ usb_error_string)
    Q_PROPERTY(int usbBaudRate READ usb_baud_rate WRITE set_usb_baud_rate)
public:
    explicit KTCommonInterface(QObject *parent = nullptr);
    ~KTCommonInterface() override;

    KTDeviceInterface *initInstance() override;
    void setUSBPath(QString path) override;
    void setIPAddress(QString address) override;
    bool connectDevice() override;
    KTDeviceProperty *property_ptr(const char *key) override;
    QStringList userProperty() override;
    void sendCMD(QByteArray frame) override;
    void setNuvexaCloud(NuvexaCloud *client, QString code) override;
    void startTask() override;
    void stopTask() override;
    void move(int y, int x) override;
    // The general reply dispatcher for one frame, STX and ETX included.
    virtual void decode_cmd(QString frame);

    // Link layer.
    void send_cmd(QByteArray frame);
    void connect_tcp(QString address);
    void connect_usb(QString path);
    void connect_websocket();
    // The relay channel of code under wsBase: the code percent-encoded as one
    // path segment, and a slash added to a base that does not end in one.
    static QUrl relay_url(const QString &wsBase, const QString &code);
    QString usb_error_string() const { return usb_error; }
    int usb_baud_rate() const;
    void set_usb_baud_rate(int bitsPerSecond) { usb_baud = bitsPerSecond; }

    // Frames.
    void decode_buffer();
    static void decode_cmd(QString item, QString &name, int &number, QString &value);
    void decode_task(QString body);

    void heartbeat_switch(bool on);

    // Cloud.
    static int cloud_model_number(const QString &code);
    void cloud_device_model_get(QJsonObject body);
    void cloud_device_get(QJsonObject body);
    void cloud_device_new(QJsonObject body);
    void cloud_device_update(QJsonObject body);
    void cloud_device_workrecord(QJsonObject body);
    void device_info_to_cloud();
    void device_task_to_cloud();
    void device_task_record_to_cloud();
    // First wait before a registration step or the relay is tried again; the
    // wait doubles with each failure up to six times this, with jitter.
    void setCloudRetryInterval(int ms);
    // Relay messages above this are refused and the relay closed.
    static constexpr qint64 RelayMessageLimit = 1024 * 1024;

    // Group builders of the 157 family.
    void init157(KTDeviceInterface *device);
    void info_157(KTDeviceInterface *device);
    void camera_offset_157(KTDeviceInterface *device);
    void tool_space_157(KTDeviceInterface *device);
    void move_157(KTDeviceInterface *device);
    void scale_157(KTDeviceInterface *device);
    void work_area_157(KTDeviceInterface *device);
    void feed_157(KTDeviceInterface *device);
    void sp1_157(KTDeviceInterface *device);
    void sp2_157(KTDeviceInterface *device);
    // Group builders of the 437 family.
    void init437(KTDeviceInterface *device);
    void info_437(KTDeviceInterface *device);
    void camera_offset_437(KTDeviceInterface *device);
    void scale_437(KTDeviceInterface *device);
    void work_area_437(KTDeviceInterface *device);

    // Read-only views for hosts and tests.
    const QByteArray &receiveBuffer() const { return receive_buffer; }
    QJsonObject cloudRecord() const { return cloud_record; }
    bool deviceTimerActive() const { return device_timer.isActive(); }
    int deviceTimerInterval() const { return device_timer.interval(); }
    QWebSocket *relaySocket() const { return web_socket; }

public slots:
    void slot_usb_write(QByteArray data);
    void slot_usb_read(const QByteArray &data);
    void slot_usb_status(int s);
    void slot_tcp_socket_read();
    void slot_tcp_socket_state(QAbstractSocket::SocketState s);
    void slot_device_timer();
    void slot_websocket_connected();
    void slot_websocket_disconnected();
    void slot_websocket_error(QAbstractSocket::SocketError error);
    void slot_websocket_text_received(QString message);

protected:
    bool event(QEvent *e) override;
    // The general dispatch of one reply already taken apart.
    void dispatch_reply(const KTFrame::Reply &reply);
    // The first parameter of this kind that reads or writes number, in
    // attachment order.
    KTParameterIndex::Match find_parameter(KTDeviceCMDType kind, int number);
    void set_cloud_record(const QJsonObject &record);
    void on_link_up(const QString &mode, const QString &text);
    void on_link_down(const QString &mode, KTDeviceStatus status, const QString &text);
    void receive(const QByteArray &data, const char *trace);
    void cloud_lookup_reply(QNetworkReply *reply);
    void cloud_release_records();

    UsbChannel *usb_channel = nullptr;
    QTcpSocket *tcp_socket = nullptr;
    QByteArray receive_buffer;
    // What the receive buffer keeps allocated between reads.
    static constexpr int ReceiveCapacity = 16 * 1024;
    QTimer device_timer;
    NuvexaCloud *cloud_client = nullptr;
    QWebSocket *web_socket = nullptr;
    QString last_task_reply;
    QString last_ws_message;
    QMutex send_mutex;
    // This object's share of the plug-in's one installed catalogue.
    QSharedPointer<QTranslator> translator;
    QJsonObject cloud_record;

private:
    void tcp_write(const QByteArray &frame);
    void tcp_drain();
    // Frames waiting for the socket to drain, and how much of the first is out.
    QList<QByteArray> tcp_pending;
    qint64 tcp_pending_sent = 0;
    KTFrame::Cutter frame_cutter;
    KTParameterIndex parameter_index;
    QElapsedTimer receive_clock;   // since LAST_TIME was last refreshed
    QVariant receive_stamp;   // the LAST_TIME value last put there by a read
    qint64 receive_unstamped_bytes = 0;   // bytes read since the clock was last read
    QTimer cloud_retry_timer;
    bool relay_connected = false;
    QString usb_error;
    int usb_baud = 0;   // 0: the channel's default
    // Registration that does not give up, and a relay that comes back.
    bool cloud_should_retry(QNetworkReply *reply);
    int cloud_retry_delay(int &attempts);
    void cloud_retry_later(int &attempts, std::function<void()> step);
    void relay_reopen_later();
    int cloud_retry_first = 10000;
    int cloud_model_attempts = 0;
    int cloud_lookup_attempts = 0;
    int cloud_update_attempts = 0;
    quint32 cloud_generation = 0;
    QTimer relay_retry_timer;
    int relay_attempts = 0;
    QUrl relay_address;
};

#endif // KTCOMMONINTERFACE_H
