#ifndef KTDEVICEPROPERTY_H
#define KTDEVICEPROPERTY_H

#include <QObject>
#include <QVariant>
#include <QString>
#include <QStringList>
#include <QByteArray>
#include <QVector>

#include "device/ktdeviceinterface.h"
#include "ktapi_export.h"

#include <memory>

class QWidget;
class KTDevicePropertyPrivate;

// One named machine parameter: value, label, unit, the command numbers that
// read and write it and how those commands are encoded. It is attached to its
// device (and to a group, for children) as a dynamic property named by its key.
class KTAPI_EXPORT KTDeviceProperty : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QVariant value READ value WRITE setValue NOTIFY valueChanged)
public:
    explicit KTDeviceProperty(QObject *parent = nullptr);
    KTDeviceProperty(const KTDeviceProperty &other);
    ~KTDeviceProperty() override;

    bool init(QVariant value, QString label, QString unit, int getCmd, int setCmd, int cmdLen,
              KTDeviceInterface::KTDeviceCMDType type, QStringList param);

    const QVariant &value() const;
    void setValue(const QVariant &v);
    const QVariant &previousValue() const { return m_previous; }

    QString label() const { return m_label; }
    QString uint() const { return m_unit; }   // the unit text
    QStringList param() const { return m_param; }
    int get_cmd_int() const { return m_getCmd; }
    int set_cmd_int() const { return m_setCmd; }
    int cmd_len() const { return m_cmdLen; }
    KTDeviceInterface::KTDeviceCMDType cmd_type() const { return m_type; }

    KTDeviceProperty *property_ptr(const char *name) const;
    // Property objects attached as children, in attachment order.
    QList<QPair<QByteArray, KTDeviceProperty *>> childProperties() const;

    void ret_Status(int ret);

    QByteArray pack(QString body, QString word) const;
    QByteArray get_cmd_bytes() const;
    QByteArray set_cmd_bytes() const;
    void set_decode(QString text);
    void set_decode(QStringList values);

    void create_ui_ctrl(QWidget *parent, QString key, bool showUnit);
    void to_ui_ctrl();
    void from_ui_ctrl();
    QWidget *uiControl() const;

    // Changes whenever any parameter is given command numbers or a type, so
    // a device can tell its reply index is stale.
    static quint64 commandGeneration();

    static KTDeviceProperty *fromVariant(const QVariant &v);
    static QVariant toVariant(KTDeviceProperty *p);

signals:
    void valueChanged();
    void retStatus(int ret);

protected:
    bool event(QEvent *e) override;

private:
    QString valueText() const;
    void setUiControl(QWidget *control);
    const QVector<KTDeviceProperty *> &groupChildren();

    QVariant m_value;
    QVariant m_previous;
    int m_getCmd = 0;
    int m_setCmd = 0;
    int m_cmdLen = 0;
    QString m_label;
    QString m_unit;
    KTDeviceInterface::KTDeviceCMDType m_type = KTDeviceInterface::UnCMD;
    QStringList m_param;

    // What the parameter keeps beyond its fields, apart so it can change
    // without changing this class's layout.
    const std::unique_ptr<KTDevicePropertyPrivate> d;
};

#endif // KTDEVICEPROPERTY_H
