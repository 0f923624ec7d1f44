#include "property/ktdeviceproperty.h"
#include "property/ktcodec.h"
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

namespace {

KTCodec::Command commandOf(const KTDeviceProperty &p)
{
    return KTCodec::Command{p.cmd_type(), p.get_cmd_int(), p.set_cmd_int(), p.cmd_len(), p.param()};
}

} // namespace

QByteArray KTDeviceProperty::get_cmd_bytes() const
{
    return KTCodec::readFrame(commandOf(*this));
}

QByteArray KTDeviceProperty::set_cmd_bytes() const
{
    QVariantList children;
    if (m_type == KTDeviceInterface::CCMD) {
        const QStringList keys = m_value.toStringList();
        if (keys.size() >= 2) {
            for (const QString &key : keys) {
                if (KTDeviceProperty *child = property_ptr(key.toLatin1().constData()))
                    children.append(child->value());
            }
        }
    }
    return KTCodec::writeFrame(commandOf(*this), m_value, children);
}

void KTDeviceProperty::set_decode(QString text)
{
    qCDebug(ktDispatch) << "KTDeviceProperty::set_decode" << m_label << text;
    m_value = KTCodec::decodeText(m_value, text);
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
        m_value = KTCodec::decodeWords(values.at(0), values.at(1));
        return;
    }
    if (m_type != KTDeviceInterface::CCMD)
        return;

    const QVector<KTDeviceProperty *> &children = groupChildren();
    if (children.isEmpty()) {
        const int i = KTCodec::paramValueIndex(m_param, values);
        if (i >= 0)
            set_decode(values.at(i));
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
