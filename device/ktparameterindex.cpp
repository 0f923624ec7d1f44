#include "device/ktparameterindex.h"
#include "property/ktdeviceproperty.h"

void KTParameterIndex::rebuild(KTDeviceInterface *device)
{
    const quint64 commands = KTDeviceProperty::commandGeneration();
    m_first.clear();
    m_stopped = false;
    const QList<QByteArray> names = device->dynamicPropertyNames();
    for (const QByteArray &name : names) {
        KTDeviceProperty *p = device->property_ptr(name.constData());
        if (!p) {
            m_stopped = true;
            break;
        }
        const int type = p->cmd_type();
        if (type != KTDeviceInterface::CMD && type != KTDeviceInterface::CCMD)
            continue;
        // The first in attachment order keeps the number.
        for (const int number : {p->get_cmd_int(), p->set_cmd_int()}) {
            if (!m_first.contains(key(type, number)))
                m_first.insert(key(type, number), p);
        }
    }
    m_commands = commands;
    m_valid = true;
}

KTParameterIndex::Match KTParameterIndex::find(KTDeviceInterface *device, KTDeviceInterface::KTDeviceCMDType kind,
                                               int number)
{
    ensure(device);
    Match m;
    m.parameter = m_first.value(key(kind, number), nullptr);
    m.stopped = !m.parameter && m_stopped;
    return m;
}
