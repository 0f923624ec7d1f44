#ifndef KTPARAMS_H
#define KTPARAMS_H

#include <QList>
#include <QString>

class KTDeviceInterface;
class KTDeviceProperty;

// How a device's parameters hang together for a host: leaves that hold a
// value, the read that brings each one back, the page that shows it.
namespace KTParams {

struct Leaf
{
    QString key;
    KTDeviceProperty *p = nullptr;
};

// The key itself, or a group's or list's members.
QList<Leaf> leavesOf(KTDeviceInterface *d, const QString &key);
// Every parameter with a control of its own: the machine's settings and identity.
QList<Leaf> settings(KTDeviceInterface *d);
// The parameter whose read brings this one's value (itself or a list holding it); null when none.
KTDeviceProperty *readerOf(KTDeviceInterface *d, KTDeviceProperty *p);
// Members of DEVICE_INFO: who the machine is, never written by restore.
bool isIdentity(KTDeviceInterface *d, KTDeviceProperty *p);
// "user", "system" or "-": the page of the settings window that shows it.
QString pageOf(KTDeviceInterface *d, const QString &key);

} // namespace KTParams

#endif // KTPARAMS_H
