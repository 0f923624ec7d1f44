#ifndef KTPARAMETERINDEX_H
#define KTPARAMETERINDEX_H

#include "device/ktdeviceinterface.h"
#include "property/ktdeviceproperty.h"

#include <QCoreApplication>
#include <QHash>

// Which parameter a reply goes to, without walking the device's parameters
// by name on every frame: (command type, command number) to the first
// parameter in attachment order that reads or writes that number, and the
// parameters the receive path touches on every read. The device marks it
// stale on every change of its dynamic properties; a parameter given new
// command numbers marks it stale as well. It is rebuilt on the next use.
class KTParameterIndex
{
public:
    struct Match
    {
        KTDeviceProperty *parameter = nullptr;
        // No match before an entry that holds no parameter: a walk by name
        // would have ended there.
        bool stopped = false;
    };

    void invalidate()
    {
        m_valid = false;
        m_lastTimeValid = false;
    }
    Match find(KTDeviceInterface *device, KTDeviceInterface::KTDeviceCMDType kind, int number);
    // Asked on every read, down to single bytes: it depends only on what is
    // attached, not on command numbers.
    KTDeviceProperty *lastTime(KTDeviceInterface *device)
    {
        if (!m_lastTimeValid || !QCoreApplication::instance()) {
            m_lastTime = device->property_ptr("LAST_TIME");
            m_lastTimeValid = true;
        }
        return m_lastTime;
    }

private:
    void ensure(KTDeviceInterface *device)
    {
        if (!m_valid || m_commands != KTDeviceProperty::commandGeneration())
            rebuild(device);
    }
    void rebuild(KTDeviceInterface *device);
    static quint64 key(int kind, int number) { return (quint64(quint32(kind)) << 32) | quint32(number); }

    QHash<quint64, KTDeviceProperty *> m_first;
    KTDeviceProperty *m_lastTime = nullptr;
    bool m_stopped = false;
    bool m_valid = false;
    bool m_lastTimeValid = false;
    quint64 m_commands = 0;   // KTDeviceProperty::commandGeneration() when built
};

#endif // KTPARAMETERINDEX_H
