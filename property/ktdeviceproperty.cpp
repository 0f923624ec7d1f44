#include "property/ktdeviceproperty.h"
#include "property/ktframe.h"
#include "property/ktdeviceproperty_p.h"
#include "property/kttrace.h"

#include <QCoreApplication>
#include <QDebug>
#include <QEvent>

#include <atomic>
#include <cmath>

namespace {
std::atomic<quint64> g_commandGeneration{0};
}

quint64 KTDeviceProperty::commandGeneration()
{
    return g_commandGeneration.load(std::memory_order_relaxed);
}

KTDeviceProperty::KTDeviceProperty(QObject *parent)
    : QObject(parent), m_label(QLatin1String("")), m_unit(QLatin1String("")), d(new KTDevicePropertyPrivate)
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
      m_type(other.m_type),
      d(new KTDevicePropertyPrivate)
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
    g_commandGeneration.fetch_add(1, std::memory_order_relaxed);
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

namespace {

// What one 16-bit command word can carry, read as signed or as unsigned.
constexpr double WordMin = -32768.0;
constexpr double WordMax = 65535.0;
// What the low and high words of a multi-word value carry together.
constexpr double LongMin = -2147483648.0;
constexpr double LongMax = 4294967295.0;

// The machine reads a number field as plain decimal digits: no exponent, no
// sign other than "-", no spaces, no separators.
bool isPlainNumber(const QString &text)
{
    int i = text.startsWith(QLatin1Char('-')) ? 1 : 0;
    int digits = 0;
    for (; i < text.size() && text.at(i).isDigit() && text.at(i).unicode() < 0x80; ++i)
        ++digits;
    if (digits == 0)
        return false;
    if (i == text.size())
        return true;
    if (text.at(i) != QLatin1Char('.'))
        return false;
    int fraction = 0;
    for (++i; i < text.size() && text.at(i).isDigit() && text.at(i).unicode() < 0x80; ++i)
        ++fraction;
    return fraction > 0 && i == text.size();
}

// A plain number within [lo, hi]; its value in *number.
bool numberWithin(const QString &text, double lo, double hi, double *number)
{
    if (!isPlainNumber(text))
        return false;
    bool ok = false;
    const double d = text.toDouble(&ok);
    if (!ok || !std::isfinite(d) || d < lo || d > hi)
        return false;
    *number = d;
    return true;
}

// Text that cannot change a frame's structure: no item (",") or field (";")
// separator and no control byte, STX and ETX included.
bool isFieldText(const QString &text)
{
    for (const QChar c : text) {
        const ushort u = c.unicode();
        if (u == ',' || u == ';' || u < 0x20 || u == 0x7f)
            return false;
    }
    return true;
}

bool isFieldValue(const QVariant &v)
{
    const int type = v.userType();
    if ((type == QMetaType::Double || type == QMetaType::Float) && !std::isfinite(v.toDouble()))
        return false;
    return isFieldText(v.toString());
}

// Cut data may hold any byte but the frame delimiters.
bool isBodyText(const QString &text)
{
    return !text.contains(QChar(KTFrame::STX)) && !text.contains(QChar(KTFrame::ETX));
}

} // namespace

// Values that cannot be written as they are (a separator inside a text, a
// number past what its command words carry) give no frame at all rather than
// one the machine would misread.
QByteArray KTDeviceProperty::set_cmd_bytes() const
{
    if (m_type == KTDeviceInterface::UnCMD || m_setCmd == 0)
        return QByteArray();

    switch (m_type) {
    case KTDeviceInterface::CCMD: {
        for (const QString &p : m_param) {
            if (!isFieldText(p))
                return QByteArray();
        }
        const QStringList keys = m_value.toStringList();
        QString body = QString::number(m_setCmd);
        if (keys.size() < 2) {
            if (!isFieldValue(m_value))
                return QByteArray();
            body += QLatin1Char(',');
            for (const QString &p : m_param)
                body += p + QLatin1Char(',');
            body += valueText() + QLatin1Char(';');
        } else {
            for (const QString &key : keys) {
                if (KTDeviceProperty *child = property_ptr(key.toLatin1().constData())) {
                    if (!isFieldValue(child->value()))
                        return QByteArray();
                    body += QLatin1Char(',') + child->valueText();
                }
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
        double number = 0;
        if (m_cmdLen == 1) {
            const QString text = valueText();
            if (!numberWithin(text, WordMin, WordMax, &number))
                return QByteArray();
            body += QString::number(m_getCmd) + QLatin1Char(':') + text + QLatin1Char(';');
        } else if (m_cmdLen > 1) {
            if (!numberWithin(valueText(), LongMin, LongMax, &number))
                return QByteArray();
            // Negative values go out in two's complement, as QVariant::toUInt gives them.
            const quint32 u = quint32(qRound64(number));
            const quint32 words[MaxCmdWords] = {u & 0xffffu, u >> 16, 0, 0, 0, 0};
            for (int i = 0; i < m_cmdLen; ++i)
                body += QString::number(m_setCmd + i) + QLatin1Char(':') + QString::number(words[i])
                        + QLatin1Char(';');
        }
        return pack(body, QStringLiteral("CMD"));
    }
    case KTDeviceInterface::NUM: {
        const QString text = valueText();
        double number = 0;
        if (!numberWithin(text, LongMin, LongMax, &number))
            return QByteArray();
        return pack(QStringLiteral("NUM:") + text + QLatin1Char(';'), QStringLiteral("CMD"));
    }
    case KTDeviceInterface::PLT:
    case KTDeviceInterface::PPLT:
    case KTDeviceInterface::QRPLT: {
        const QString text = valueText();
        if (!isBodyText(text))
            return QByteArray();
        const QString word = m_type == KTDeviceInterface::PLT    ? QStringLiteral("PLT")
                             : m_type == KTDeviceInterface::PPLT ? QStringLiteral("PPLT")
                                                                 : QStringLiteral("QR_PLT");
        return pack(text, word);
    }
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

    const QVector<KTDeviceProperty *> &children = groupChildren();
    if (children.isEmpty()) {
        const int n = m_param.size();
        for (int i = 0; i < n; ++i) {
            if (i >= values.size() || values.at(i) != m_param.at(i))
                return;
        }
        if (values.size() > n)
            set_decode(values.at(n));
        return;
    }
    const int n = qMin(children.size(), values.size());
    for (int i = 0; i < n; ++i) {
        if (KTDeviceProperty *child = children.at(i))
            child->set_decode(values.at(i));   // what a one-entry list does, without building one
    }
}

const QVector<KTDeviceProperty *> &KTDeviceProperty::groupChildren()
{
    // Without an application no change event is delivered: look them up.
    // The keys compare cheaply while they share the list the cache was built
    // from.
    if (d->childrenValid && QCoreApplication::instance() && m_value == d->childrenFor)
        return d->children;
    d->children.clear();
    const QStringList keys = m_value.toStringList();
    d->children.reserve(keys.size());
    for (const QString &key : keys)
        d->children.append(property_ptr(key.toLatin1().constData()));
    d->childrenFor = m_value;
    d->childrenValid = true;
    return d->children;
}

bool KTDeviceProperty::event(QEvent *e)
{
    if (e->type() == QEvent::DynamicPropertyChange)
        d->childrenValid = false;
    return QObject::event(e);
}
