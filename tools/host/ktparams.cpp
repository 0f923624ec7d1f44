#include "tools/host/ktparams.h"

#include "tools/host/ktvalue.h"
#include "device/ktdeviceinterface.h"
#include "property/ktdeviceproperty.h"

namespace KTParams {

namespace {

KTDeviceProperty *lookup(KTDeviceInterface *d, const QString &key)
{
    return d->property_ptr(key.toLatin1().constData());
}

bool isContainer(KTDeviceProperty *p)
{
    return p->value().userType() == QMetaType::QStringList || (!p->value().isValid() && !p->childProperties().isEmpty());
}

} // namespace

QList<Leaf> leavesOf(KTDeviceInterface *d, const QString &key)
{
    KTDeviceProperty *p = lookup(d, key);
    if (!p)
        return {};
    if (!isContainer(p))
        return {{key, p}};
    QList<Leaf> out;
    if (p->value().userType() == QMetaType::QStringList) {
        for (const QString &child : p->value().toStringList()) {
            if (KTDeviceProperty *c = p->property_ptr(child.toLatin1().constData()))
                out.append({child, c});
        }
        return out;
    }
    for (const auto &child : p->childProperties())
        out += leavesOf(d, QString::fromLatin1(child.first));
    return out;
}

QList<Leaf> settings(KTDeviceInterface *d)
{
    QList<Leaf> out;
    for (const QByteArray &name : d->dynamicPropertyNames()) {
        KTDeviceProperty *p = d->property_ptr(name.constData());
        if (p && p->property("WIDGET").isValid() && !isContainer(p))
            out.append({QString::fromLatin1(name), p});
    }
    return out;
}

KTDeviceProperty *readerOf(KTDeviceInterface *d, KTDeviceProperty *p)
{
    if (KTValue::canRead(p))
        return p;
    for (const QByteArray &name : d->dynamicPropertyNames()) {
        KTDeviceProperty *list = d->property_ptr(name.constData());
        if (!list || list->value().userType() != QMetaType::QStringList || !KTValue::canRead(list))
            continue;
        for (const QString &child : list->value().toStringList()) {
            if (list->property_ptr(child.toLatin1().constData()) == p)
                return list;
        }
    }
    return nullptr;
}

bool isIdentity(KTDeviceInterface *d, KTDeviceProperty *p)
{
    KTDeviceProperty *info = d->property_ptr("DEVICE_INFO");
    if (!info)
        return false;
    for (const QString &child : info->value().toStringList()) {
        if (info->property_ptr(child.toLatin1().constData()) == p)
            return true;
    }
    return false;
}

QString pageOf(KTDeviceInterface *d, const QString &key)
{
    const QList<QPair<QString, QStringList>> pages{{QStringLiteral("user"), d->userProperty()},
                                                   {QStringLiteral("system"), d->sysProperty()}};
    for (const auto &page : pages) {
        for (const QString &listed : page.second) {
            if (listed == key)
                return page.first;
            for (const Leaf &leaf : leavesOf(d, listed)) {
                if (leaf.key == key)
                    return page.first;
            }
        }
    }
    return QStringLiteral("-");
}

} // namespace KTParams
