#ifndef HOSTPARAMS_H
#define HOSTPARAMS_H

#include "tools/host/ktparams.h"
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

using KTParams::Leaf;

// Reads each leaf once (a list reply counts for all its members); false at
// the first that gets no answer, with "KEY: reason" in *error.
bool readLeaves(HostContext &c, const QList<Leaf> &leaves, QString *error);

struct Write
{
    QString key;
    KTDeviceProperty *p = nullptr;
    QVariant raw;
    QString typed;   // as the user typed it, shown value; empty for machine numbers
};

// Sends each value and reads it back; prints one line per key ("ok",
// "set to X (nearest the machine takes)", "machine kept X", "no answer",
// "sent (not verifiable)", "machine refused it (status N)"). Returns the exit
// status: 0 when every write was taken, 3 otherwise, 130 on Ctrl-C.
int writeVerified(HostContext &c, const QList<Write> &writes, bool raw, QStringList *notWritten = nullptr);

// A value as get and set print it; any control byte from the machine escaped.
QString shown(const KTValue::Form &s, const QVariant &raw, bool rawMode);

} // namespace HostParams

#endif // HOSTPARAMS_H
