#include "models/ktmodelrow.h"
#include "property/ktdeviceproperty.h"

KTDeviceProperty *ktAttachRow(KTDeviceInterface *device, const KTModelRow &row)
{
    auto *p = new KTDeviceProperty;
    p->init(row.value, row.label, row.unit, row.get, row.set, row.len, row.type, QStringList());

    auto attachChildren = [&]() {
        for (const QString &key : row.children) {
            const QByteArray name = key.toLatin1();
            p->setProperty(name.constData(), device->property(name.constData()));
        }
    };
    if (row.order == KTModelRow::ChildrenFirst)
        attachChildren();
    if (!row.widget.isEmpty())
        p->setProperty("WIDGET", row.widget);
    if (row.order == KTModelRow::WidgetFirst)
        attachChildren();

    KTDeviceInterface::attachParameter(device, row.key, p);
    return p;
}
