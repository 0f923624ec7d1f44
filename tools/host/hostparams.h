#ifndef HOSTPARAMS_H
#define HOSTPARAMS_H

#include "tools/host/ktvalue.h"

#include <QList>
#include <QString>
#include <QVariant>

struct HostContext;
class KTDeviceInterface;
class KTDeviceProperty;

// Parameters as the commands see them: leaves that hold a value, read back
// through their own command or the list reply that carries them, written one
// by one and checked by reading back.
namespace HostParams {

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

// Reads each leaf once (a list reply counts for all its members); false at
// the first that gets no answer, with "KEY: reason" in *error.
bool readLeaves(HostContext &c, const QList<Leaf> &leaves, QString *error);

struct Write
{
    QString key;
    KTDeviceProperty *p = nullptr;
    QVariant raw;
};

// Sends each value and reads it back; prints one line per key ("ok",
// "machine kept X", "no answer", "sent (not verifiable)"). Returns the exit
// status: 0 when every write was taken, 3 otherwise, 130 on Ctrl-C.
int writeVerified(HostContext &c, const QList<Write> &writes, bool raw, QStringList *notWritten = nullptr);

QString shown(const KTValue::Spec &s, const QVariant &raw, bool rawMode);

} // namespace HostParams

#endif // HOSTPARAMS_H
