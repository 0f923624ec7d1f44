#ifndef KTDEVICEPROPERTY_P_H
#define KTDEVICEPROPERTY_P_H

// Not part of the installed API: what a KTDeviceProperty keeps beyond its
// fields.

#include <QVariant>
#include <QVector>

class KTDeviceProperty;

class KTDevicePropertyPrivate
{
public:
    // A group's children in the order of its keys, found by name once: a
    // group reply arrives with every status poll. Rebuilt when the keys (the
    // value) or the attached children change.
    QVector<KTDeviceProperty *> children;
    QVariant childrenFor;   // the keys the list was built for
    bool childrenValid = false;
};

#endif // KTDEVICEPROPERTY_P_H
