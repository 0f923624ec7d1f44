#include "tools/host/hostparams.h"

#include "tools/host/hostcommand.h"
#include "tools/host/hosttext.h"
#include "tools/host/kthost.h"
#include "property/ktdeviceproperty.h"

#include <QSet>

using namespace KTParams;

namespace HostParams {

bool readLeaves(HostContext &c, const QList<Leaf> &leaves, QString *error)
{
    QSet<KTDeviceProperty *> done;
    for (const Leaf &leaf : leaves) {
        KTDeviceProperty *reader = readerOf(c.device(), leaf.p);
        if (!reader || done.contains(reader))
            continue;
        QString why;
        if (!c.host.read(reader, c.timeoutMs, &why)) {
            *error = leaf.key + ": " + why;
            return false;
        }
        done.insert(reader);
    }
    return true;
}

QString shown(const KTValue::Form &s, const QVariant &raw, bool rawMode)
{
    return HostText::printable(rawMode ? KTValue::rawText(raw) : KTValue::displayWithUnit(s, raw));
}

int writeVerified(HostContext &c, const QList<Write> &writes, bool raw, QStringList *notWritten)
{
    KTDeviceInterface *d = c.device();
    int status = KTHost::Ok;
    for (int i = 0; i < writes.size(); ++i) {
        const Write &w = writes.at(i);
        const KTValue::Form form = KTValue::formOf(d, w.key);
        // The factor may round what was typed: known before sending, shown as typed.
        const QString nearest = w.typed.isEmpty() ? QString() : KTValue::roundedTo(form, w.typed, w.raw);
        const QString asked = nearest.isEmpty() ? shown(form, w.raw, raw)
                                                : (form.unit.isEmpty() ? w.typed : w.typed + ' ' + form.unit);
        const QString text = QStringLiteral("%1 = %2: ").arg(w.key, HostText::printable(asked));
        w.p->setValue(w.raw);
        const QByteArray frame = w.p->set_cmd_bytes();
        if (frame.isEmpty()) {   // checked before, so only a plug-in that encodes differently
            hostOut() << text << "not sent (the plug-in cannot encode it)\n";
            if (notWritten)
                *notWritten << w.key;
            status = KTHost::LinkFailure;
            continue;
        }
        int acknowledged = -1;
        auto ack = QObject::connect(w.p, &KTDeviceProperty::retStatus, [&acknowledged](int s) { acknowledged = s; });
        d->sendCMD(frame);
        QString error;
        bool answered = false;
        KTDeviceProperty *reader = readerOf(d, w.p);
        if (reader) {
            answered = c.host.read(reader, c.timeoutMs, &error);
        } else if (w.p->cmd_type() == KTDeviceInterface::CCMD) {
            // Only a short acknowledgement answers it.
            answered = c.host.waitFor([&] { return acknowledged >= 0 || c.host.linkLost(); }, c.timeoutMs)
                       && !c.host.linkLost();
        } else {
            // Any read answered after it proves the write arrived.
            answered = c.host.barrier(c.timeoutMs, &error);
        }
        QObject::disconnect(ack);
        if (c.host.isInterrupted())
            return KTHost::Interrupted;
        if (!answered) {
            hostOut() << text << "no answer" << (c.host.linkLost() ? " (link lost)" : "") << "\n";
            status = KTHost::LinkFailure;
            // A machine that stopped answering is sent nothing more.
            for (int j = i; j < writes.size() && notWritten; ++j)
                *notWritten << writes.at(j).key;
            for (int j = i + 1; j < writes.size(); ++j)
                hostOut() << writes.at(j).key << ": not sent\n";
            break;
        }
        if (!reader && acknowledged > 0) {
            hostOut() << text << "machine refused it (status " << acknowledged << ")\n";
            if (notWritten)
                *notWritten << w.key;
            status = KTHost::LinkFailure;
        } else if (!reader) {
            if (nearest.isEmpty())
                hostOut() << text << "sent (not verifiable)\n";
            else
                hostOut() << text << "sent as " << nearest << " (nearest the machine takes; not verifiable)\n";
        } else if (KTValue::sameValue(form, w.raw, w.p->value())) {
            const QString held = w.typed.isEmpty() ? QString() : KTValue::roundedTo(form, w.typed, w.p->value());
            if (held.isEmpty())
                hostOut() << text << "ok\n";
            else
                hostOut() << text << "set to " << HostText::printable(held) << " (nearest the machine takes)\n";
        } else {
            hostOut() << text << "machine kept " << HostText::printable(shown(form, w.p->value(), raw)) << "\n";
            if (notWritten)
                *notWritten << w.key;
            status = KTHost::LinkFailure;
        }
    }
    hostOut().flush();
    return status;
}

} // namespace HostParams
