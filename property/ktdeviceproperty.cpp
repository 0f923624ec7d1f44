#include "property/ktdeviceproperty.h"
#include "property/ktframe.h"
#include "property/kttrace.h"

#include <QDebug>

KTDeviceProperty::KTDeviceProperty(QObject *parent)
    : QObject(parent), m_label(QLatin1String("")), m_unit(QLatin1String(""))
{
}

KTDeviceProperty::KTDeviceProperty(const KTDeviceProperty &other)
    : QObject(nullptr),
      m_value(other.m_value),
      m_previous(other.m_previous),
      m_getCmd(other.m_getCmd),
      m_setCmd(other.m_setCmd),
      m_cmdLen(other.m_cmdLen),
      m_label(other.m_label),
      m_unit(other.m_unit),
      m_type(other.m_type)
{
}

KTDeviceProperty::~KTDeviceProperty() = default;

bool KTDeviceProperty::init(QVariant value, QString label, QString unit, int getCmd, int setCmd,
                            int cmdLen, KTDeviceInterface::KTDeviceCMDType type, QStringList param)
{
    m_previous = value;
    m_value = value;
    m_label = label;
    m_unit = unit;
    m_getCmd = getCmd;
    m_setCmd = setCmd;
    m_cmdLen = cmdLen;
    m_type = type;
    m_param = param;
    return true;
}

const QVariant &KTDeviceProperty::value() const
{
    return m_value;
}

void KTDeviceProperty::setValue(const QVariant &v)
{
    if (v == m_previous) {
        // Going back to the previous value is stored quietly.
        m_value = v;
        return;
    }
    if (v == m_value)
        return;
    m_previous = m_value;
    m_value = v;
    emit valueChanged();
}

KTDeviceProperty *KTDeviceProperty::fromVariant(const QVariant &v)
{
    if (!v.isValid() || v.isNull())
        return nullptr;
    if (v.userType() == QMetaType::VoidStar)
        return static_cast<KTDeviceProperty *>(v.value<void *>());
    QVariant copy = v;
    if (!copy.convert(QMetaType::VoidStar))
        return nullptr;
    return static_cast<KTDeviceProperty *>(copy.value<void *>());
}

QVariant KTDeviceProperty::toVariant(KTDeviceProperty *p)
{
    return QVariant::fromValue(static_cast<void *>(p));
}

KTDeviceProperty *KTDeviceProperty::property_ptr(const char *name) const
{
    return fromVariant(property(name));
}

QList<QPair<QByteArray, KTDeviceProperty *>> KTDeviceProperty::childProperties() const
{
    QList<QPair<QByteArray, KTDeviceProperty *>> result;
    const QList<QByteArray> names = dynamicPropertyNames();
    for (const QByteArray &name : names) {
        if (name == "WIDGET" || name == "UI_CTRL")
            continue;
        if (KTDeviceProperty *child = property_ptr(name.constData()))
            result.append(qMakePair(name, child));
    }
    return result;
}

void KTDeviceProperty::ret_Status(int ret)
{
    emit retStatus(ret);
}

QString KTDeviceProperty::valueText() const
{
    return m_value.toString();
}

QByteArray KTDeviceProperty::pack(QString body, QString word) const
{
    return KTFrame::pack(body, word);
}

QByteArray KTDeviceProperty::get_cmd_bytes() const
{
    if (m_type == KTDeviceInterface::UnCMD || m_cmdLen == 0 || m_getCmd == 0)
        return QByteArray();

    if (m_type == KTDeviceInterface::CMD) {
        QString body = QStringLiteral("GET");
        for (int i = 0; i < m_cmdLen; ++i)
            body += QString::number(m_getCmd + i) + QLatin1Char(';');
        return pack(body, QStringLiteral("CMD"));
    }
    if (m_type == KTDeviceInterface::CCMD) {
        QString body = QString::number(m_getCmd);
        for (const QString &p : m_param)
            body += QLatin1Char(',') + p;
        body += QLatin1Char(';');
        return pack(body, QStringLiteral("CCMD"));
    }
    return QByteArray();
}

// A multi-word CMD value spans at most this many 16-bit command words.
static constexpr int MaxCmdWords = 6;

QByteArray KTDeviceProperty::set_cmd_bytes() const
{
    if (m_type == KTDeviceInterface::UnCMD || m_setCmd == 0)
        return QByteArray();

    switch (m_type) {
    case KTDeviceInterface::CCMD: {
        const QStringList keys = m_value.toStringList();
        QString body = QString::number(m_setCmd);
        if (keys.size() < 2) {
            body += QLatin1Char(',');
            for (const QString &p : m_param)
                body += p + QLatin1Char(',');
            body += valueText() + QLatin1Char(';');
        } else {
            for (const QString &key : keys) {
                if (KTDeviceProperty *child = property_ptr(key.toLatin1().constData()))
                    body += QLatin1Char(',') + child->valueText();
            }
            body += QLatin1Char(';');
        }
        return pack(body, QStringLiteral("CCMD"));
    }
    case KTDeviceInterface::CMD: {
        // Longer spans would need words the value does not have; writing
        // zeros into unknown registers is worse than not writing.
        if (m_cmdLen > MaxCmdWords)
            return QByteArray();
        QString body = QStringLiteral("SET");
        if (m_cmdLen == 1) {
            body += QString::number(m_getCmd) + QLatin1Char(':') + valueText() + QLatin1Char(';');
        } else if (m_cmdLen > 1) {
            const quint32 u = m_value.toUInt();
            const quint32 words[MaxCmdWords] = {u & 0xffffu, u >> 16, 0, 0, 0, 0};
            for (int i = 0; i < m_cmdLen; ++i)
                body += QString::number(m_setCmd + i) + QLatin1Char(':') + QString::number(words[i])
                        + QLatin1Char(';');
        }
        return pack(body, QStringLiteral("CMD"));
    }
    case KTDeviceInterface::NUM:
        return pack(QStringLiteral("NUM:") + valueText() + QLatin1Char(';'), QStringLiteral("CMD"));
    case KTDeviceInterface::PLT:
        return pack(valueText(), QStringLiteral("PLT"));
    case KTDeviceInterface::PPLT:
        return pack(valueText(), QStringLiteral("PPLT"));
    case KTDeviceInterface::QRPLT:
        return pack(valueText(), QStringLiteral("QR_PLT"));
    default:
        return QByteArray();
    }
}

void KTDeviceProperty::set_decode(QString text)
{
    qCDebug(ktDispatch) << "KTDeviceProperty::set_decode" << m_label << text;

    bool ok = false;
    switch (m_value.userType()) {
    case QMetaType::QString:
        m_value = text;
        break;
    case QMetaType::UInt: {
        const unsigned u = text.toUInt(&ok, 10);
        m_value = QVariant(ok ? u : 0u);
        break;
    }
    case QMetaType::Int: {
        const int i = text.toInt(&ok, 10);
        m_value = QVariant(ok ? i : 0);
        break;
    }
    case QMetaType::Double: {
        const double d = text.toDouble(&ok);
        m_value = QVariant(ok ? d : 0.0);
        break;
    }
    default:
        break;
    }
}

void KTDeviceProperty::set_decode(QStringList values)
{
    if (values.isEmpty())
        return;
    if (values.size() == 1) {
        set_decode(values.first());
        return;
    }

    if (m_type == KTDeviceInterface::CMD) {
        bool ok = false;
        quint32 low = values.at(0).toUShort(&ok, 10);
        if (!ok)
            low = 0;
        quint32 high = values.at(1).toUShort(&ok, 10);
        if (!ok)
            high = 0;
        m_value = QVariant(int(low | (high << 16)));
        return;
    }
    if (m_type != KTDeviceInterface::CCMD)
        return;

    const QStringList keys = m_value.toStringList();
    if (keys.isEmpty()) {
        const int n = m_param.size();
        for (int i = 0; i < n; ++i) {
            if (i >= values.size() || values.at(i) != m_param.at(i))
                return;
        }
        if (values.size() > n)
            set_decode(values.at(n));
        return;
    }
    const int n = qMin(keys.size(), values.size());
    for (int i = 0; i < n; ++i) {
        if (KTDeviceProperty *child = property_ptr(keys.at(i).toLatin1().constData()))
            child->set_decode(QStringList{values.at(i)});
    }
}
