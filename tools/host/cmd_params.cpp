// info, get and set: the machine's parameters read and written through their
// own frames, in the values their controls show (or, with --raw, the
// machine's own numbers).
#include "tools/host/hostcommand.h"
#include "tools/host/hostparams.h"
#include "tools/host/hosttext.h"
#include "tools/host/kthost.h"
#include "property/ktdeviceproperty.h"

using KTParams::Leaf;

namespace {

bool rawMode(const HostContext &c)
{
    return c.options.isSet(QStringLiteral("raw"));
}

// A key the user named, with the leaves it stands for, each readable; empty
// with the status already reported.
QList<Leaf> readableLeaves(HostContext &c, const QString &key, int *status)
{
    QString error;
    if (!c.host.parameter(key, &error)) {
        *status = hostFail(KTHost::Usage, error);
        return {};
    }
    const QList<Leaf> leaves = KTParams::leavesOf(c.device(), key);
    for (const Leaf &leaf : leaves) {
        if (!KTParams::readerOf(c.device(), leaf.p)) {
            *status = hostFail(KTHost::Usage, leaf.key + ": it cannot be read from the machine");
            return {};
        }
    }
    if (leaves.isEmpty())
        *status = hostFail(KTHost::Usage, key + ": it cannot be read from the machine");
    return leaves;
}

int readFailure(HostContext &c, const QString &error)
{
    if (c.host.isInterrupted())
        return KTHost::Interrupted;
    return hostFail(KTHost::LinkFailure, error);
}

} // namespace

int runInfo(HostContext &c)
{
    KTDeviceInterface *d = c.device();
    QList<Leaf> all;
    for (const QString &key : d->sysProperty())
        all += KTParams::leavesOf(d, key);
    QString error;
    if (!HostParams::readLeaves(c, all, &error))
        return readFailure(c, error);
    for (const QString &key : d->sysProperty()) {
        KTDeviceProperty *p = d->property_ptr(key.toLatin1().constData());
        if (!p || key == QLatin1String("DEVICE_INFO"))
            continue;
        QString text;
        const QList<Leaf> leaves = KTParams::leavesOf(d, key);
        if (leaves.size() == 1 && leaves.first().p == p) {
            text = HostParams::shown(KTValue::formOf(d, key), p->value(), rawMode(c));
        } else {
            // A group as its control shows it: the members side by side, then the unit.
            QStringList parts;
            for (const Leaf &leaf : leaves) {
                const KTValue::Form s = KTValue::formOf(d, leaf.key);
                parts << (rawMode(c) ? KTValue::rawText(leaf.p->value()) : KTValue::display(s, leaf.p->value()));
            }
            const QString unit = rawMode(c) || leaves.isEmpty() ? QString() : KTValue::formOf(d, leaves.first().key).unit;
            text = parts.join(QStringLiteral(" x ")) + (unit.isEmpty() ? QString() : QLatin1Char(' ') + unit);
        }
        hostOut() << QStringLiteral("%1: %2").arg(p->label(), -24).arg(HostText::printable(text)) << "\n";
    }
    return KTHost::Ok;
}

int checkGet(HostContext &c)
{
    int status = KTHost::Ok;
    for (const QString &key : c.args) {
        if (readableLeaves(c, key, &status).isEmpty())
            return status;
    }
    return KTHost::Ok;
}

int runGet(HostContext &c)
{
    for (const QString &key : c.args) {
        int status = KTHost::Ok;
        const QList<Leaf> leaves = readableLeaves(c, key, &status);
        if (leaves.isEmpty())
            return status;
        QString error;
        if (!HostParams::readLeaves(c, leaves, &error))
            return readFailure(c, error);
        for (const Leaf &leaf : leaves) {
            const KTValue::Form s = KTValue::formOf(c.device(), leaf.key);
            hostOut() << leaf.key << " = " << HostText::printable(HostParams::shown(s, leaf.p->value(), rawMode(c))) << "\n";
        }
    }
    return KTHost::Ok;
}

namespace {

// Every argument checked before anything is sent; empty with the status
// already reported when one is refused.
QList<HostParams::Write> parseWrites(HostContext &c, int *status)
{
    QList<HostParams::Write> writes;
    for (const QString &a : c.args) {
        QString key, text, error;
        if (!KTValue::parseAssignment(a, &key, &text, &error)) {
            *status = hostFail(KTHost::Usage, error);
            return {};
        }
        KTDeviceProperty *p = c.host.parameter(key, &error);
        if (!p) {
            *status = hostFail(KTHost::Usage, error);
            return {};
        }
        const KTValue::Form s = KTValue::formOf(c.device(), key);
        if (s.control == KTValue::Control::Group || p->value().userType() == QMetaType::QStringList) {
            QStringList members;
            for (const Leaf &leaf : KTParams::leavesOf(c.device(), key))
                members << leaf.key;
            *status = hostFail(KTHost::Usage,
                               QStringLiteral("%1 is a group; write its members: %2").arg(key, members.join(' ')));
            return {};
        }
        // A key that makes the machine act is never sent by a slip of the keyboard.
        const QString action = KTValue::actionOf(key);
        if (!action.isEmpty() && !c.options.isSet(QStringLiteral("yes"))) {
            *status = hostFail(KTHost::Usage, QStringLiteral("%1 %2; add --yes to send it").arg(key, action));
            return {};
        }
        const KTValue::Parsed parsed = rawMode(c) ? KTValue::fromRaw(s, text) : KTValue::fromDisplay(s, text);
        if (!parsed.ok()) {
            *status = hostFail(KTHost::Usage, parsed.error);
            return {};
        }
        const QString rule = KTValue::senseRule(s, parsed.raw);
        if (!rule.isEmpty() && !c.options.isSet(QStringLiteral("force"))) {
            *status = hostFail(KTHost::Usage, QStringLiteral("%1 = %2 makes no sense for the machine: %3; add --force "
                                                             "to write it anyway")
                                                  .arg(key, HostText::printable(text.trimmed()), rule));
            return {};
        }
        writes.append({key, p, parsed.raw, rawMode(c) ? QString() : text.trimmed()});
    }
    return writes;
}

} // namespace

int checkSet(HostContext &c)
{
    int status = KTHost::Ok;
    parseWrites(c, &status);
    return status;
}

int runSet(HostContext &c)
{
    int status = KTHost::Ok;
    const QList<HostParams::Write> writes = parseWrites(c, &status);
    if (writes.isEmpty())
        return status;
    status = HostParams::writeVerified(c, writes, rawMode(c));
    if (status == KTHost::LinkFailure)
        return hostFail(status, "not every value was taken by the machine (see above)");
    return status;
}
