// keys, backup, restore and diff: a machine's settings listed, kept in a file
// and given back to it.
#include "tools/host/hostbackup.h"
#include "tools/host/hostcommand.h"
#include "tools/host/hostfile.h"
#include "tools/host/hostparams.h"
#include "tools/host/hosttext.h"
#include "tools/host/kthost.h"
#include "property/ktdeviceproperty.h"

#include <QDateTime>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSocketNotifier>

#include <limits>
#include <unistd.h>

using KTParams::Leaf;

namespace {

QString accessOf(const KTValue::Form &s, bool readable)
{
    return QStringLiteral("%1%2").arg(readable ? "r" : "-", s.writable ? "w" : "-");
}

QJsonValue jsonValue(const QVariant &raw)
{
    switch (raw.userType()) {
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
    case QMetaType::Double:
        return raw.toDouble();
    default:
        return raw.toString();
    }
}

QString modelOf(KTDeviceInterface *d)
{
    KTDeviceProperty *model = d->property_ptr("DEVICE_MODEL");
    return model ? model->value().toString() : QString();
}

// The settings a backup holds: every one the machine can be asked for.
QList<Leaf> backedUp(KTDeviceInterface *d)
{
    QList<Leaf> out;
    for (const Leaf &leaf : KTParams::settings(d)) {
        if (KTParams::readerOf(d, leaf.p))
            out << leaf;
    }
    return out;
}

using HostBackup::Backup;
using HostBackup::fileValue;

bool loadBackup(const QString &path, Backup *b, QString *error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot read %1: %2").arg(path, file.errorString());
        return false;
    }
    // Larger than a backup: refused without reading it all.
    const QByteArray bytes = file.read(HostBackup::MaxBytes + 1);
    QString why;
    if (!HostBackup::read(bytes, b, &why)) {
        *error = QStringLiteral("%1 is not a kt-host backup%2").arg(path, why);
        return false;
    }
    return true;
}

struct Difference
{
    QString key;
    KTDeviceProperty *p;
    QVariant machine, file;
    QString note;   // why it is not written, empty when it is
};

// Reads the machine and compares it with the file; prints the table.
int compare(HostContext &c, const Backup &b, QList<Difference> *diffs)
{
    KTDeviceInterface *d = c.device();
    QString error;
    if (!HostParams::readLeaves(c, backedUp(d), &error)) {
        if (c.host.isInterrupted())
            return KTHost::Interrupted;
        return hostFail(KTHost::LinkFailure, error);
    }
    const QString model = modelOf(d);
    if (b.model != model && !c.options.isSet("force"))
        return hostFail(KTHost::Usage, QStringLiteral("the backup is of a %1, this machine is a %2; "
                                                      "--force restores it anyway")
                                           .arg(b.model.isEmpty() ? "machine of unknown model" : b.model, model));
    for (const auto &entry : b.values) {
        KTDeviceProperty *p = d->property_ptr(entry.first.toLatin1().constData());
        Difference diff{entry.first, p, QVariant(), QVariant(), QString()};
        if (!p) {
            diff.note = QStringLiteral("unknown on this machine");
            diffs->append(diff);
            continue;
        }
        bool setting = false;
        for (const Leaf &leaf : backedUp(d))
            setting |= leaf.p == p;
        if (!setting) {
            diff.note = QStringLiteral("not a setting, never written");
            diffs->append(diff);
            continue;
        }
        const KTValue::Form s = KTValue::formOf(d, entry.first);
        diff.machine = p->value();
        diff.file = fileValue(s, entry.second);
        if (!diff.file.isValid()) {
            diff.note = QStringLiteral("not a value: %1").arg(QString::fromUtf8(QJsonDocument(QJsonArray{entry.second}).toJson(QJsonDocument::Compact)));
            diffs->append(diff);
            continue;
        }
        if (KTValue::sameValue(s, diff.machine, diff.file))
            continue;
        if (KTParams::isIdentity(d, p))
            diff.note = QStringLiteral("identity, never written");
        else if (!s.writable)
            diff.note = QStringLiteral("read-only");
        diffs->append(diff);
    }
    const bool raw = c.options.isSet("raw");
    if (diffs->isEmpty()) {
        hostOut() << "the machine holds every value of the backup\n";
        return KTHost::Ok;
    }
    hostOut() << QStringLiteral("%1 %2 %3").arg("KEY", -18).arg("MACHINE", -22).arg("BACKUP") << "\n";
    for (const Difference &diff : qAsConst(*diffs)) {
        const KTValue::Form s = diff.p ? KTValue::formOf(d, diff.key) : KTValue::Form();
        const QString m = diff.machine.isValid() ? HostParams::shown(s, diff.machine, raw) : QStringLiteral("-");
        const QString f = diff.file.isValid() ? HostParams::shown(s, diff.file, raw) : QStringLiteral("-");
        hostOut() << HostText::printable(
            QStringLiteral("%1 %2 %3 %4").arg(diff.key, -18).arg(m, -22).arg(f, -22).arg(diff.note).trimmed())
                  << "\n";
    }
    hostOut().flush();
    return KTHost::Ok;
}

// Asks on the terminal; the event loop runs meanwhile so the link stays up.
bool confirmed(HostContext &c, int count)
{
    if (c.options.isSet("yes"))
        return true;
    if (!::isatty(0))
        return false;
    hostOut() << "write " << count << " parameter" << (count == 1 ? "" : "s") << " to the machine? [y/N] ";
    hostOut().flush();
    QByteArray answer;
    bool ended = false;
    QSocketNotifier input(0, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, [&] {
        char ch = 0;
        const ssize_t n = ::read(0, &ch, 1);
        if (n <= 0 || ch == '\n' || answer.size() > 80)
            ended = true;
        else
            answer += ch;
    });
    c.host.waitFor([&] { return ended; }, std::numeric_limits<int>::max());
    const QByteArray a = answer.trimmed().toLower();
    return a == "y" || a == "yes";
}

} // namespace

int runKeys(HostContext &c)
{
    KTDeviceInterface *d = c.device();
    hostOut() << QStringLiteral("%1 %2 %3 %4 %5 %6\n").arg("KEY", -18).arg("ACCESS", -6).arg("PAGE", -6)
                     .arg("LABEL", -18).arg("UNIT", -6).arg("VALUES");
    for (const QByteArray &name : d->dynamicPropertyNames()) {
        const QString key = QString::fromLatin1(name);
        KTDeviceProperty *p = d->property_ptr(name.constData());
        if (!p)
            continue;
        const KTValue::Form s = KTValue::formOf(d, key);
        QString values;
        if (s.control == KTValue::Control::Group || p->value().userType() == QMetaType::QStringList) {
            QStringList members;
            for (const Leaf &leaf : KTParams::leavesOf(d, key))
                members << leaf.key;
            values = QStringLiteral("group of %1").arg(members.join(' '));
        } else if (s.writable) {
            values = KTValue::allowed(s, false);
            if (s.numeric && s.control != KTValue::Control::None)
                values += QStringLiteral("; --raw: ") + KTValue::allowed(s, true);
        }
        hostOut() << QStringLiteral("%1 %2 %3 %4 %5 %6")
                         .arg(key, -18)
                         .arg(accessOf(s, KTParams::readerOf(d, p) != nullptr), -6)
                         .arg(KTParams::pageOf(d, key), -6)
                         .arg(s.label.isEmpty() ? QStringLiteral("-") : s.label, -18)
                         .arg(s.unit.isEmpty() ? QStringLiteral("-") : s.unit, -6)
                         .arg(values)
                         .trimmed()
                  << "\n";
    }
    return KTHost::Ok;
}

int checkBackup(HostContext &c)
{
    if (c.args.isEmpty())
        return KTHost::Ok;
    QFile probe(c.args.first());
    if (probe.exists() && !c.options.isSet("force"))
        return hostFail(KTHost::Usage, QStringLiteral("%1 exists; give another name or --force to replace it").arg(c.args.first()));
    return KTHost::Ok;
}

int runBackup(HostContext &c)
{
    KTDeviceInterface *d = c.device();
    const QList<Leaf> leaves = backedUp(d);
    QString error;
    if (!HostParams::readLeaves(c, leaves, &error)) {
        if (c.host.isInterrupted())
            return KTHost::Interrupted;
        return hostFail(KTHost::LinkFailure, error);
    }
    QJsonObject machine;
    for (const Leaf &leaf : KTParams::leavesOf(d, "DEVICE_INFO"))
        machine.insert(leaf.key, leaf.p->value().toString());
    QJsonArray parameters;
    for (const Leaf &leaf : leaves) {
        const KTValue::Form s = KTValue::formOf(d, leaf.key);
        parameters.append(QJsonObject{{"key", leaf.key},
                                      {"raw", jsonValue(leaf.p->value())},
                                      {"display", KTValue::display(s, leaf.p->value())},
                                      {"unit", s.unit}});
    }
    KTDeviceProperty *firmware = d->property_ptr("FIRMWARE");
    const QJsonObject doc{{"format", HostBackup::Format},
                          {"machine", machine},
                          {"firmware", firmware ? firmware->value().toString() : QString()},
                          {"time", QDateTime::currentDateTimeUtc().toString(Qt::ISODate)},
                          {"parameters", parameters}};
    const QByteArray bytes = QJsonDocument(doc).toJson();
    if (c.args.isEmpty()) {
        hostOut() << QString::fromUtf8(bytes);
        return KTHost::Ok;
    }
    QString writeError;
    if (!HostFile::write(c.args.first(), [&](QIODevice *f) { return HostFile::writeAll(f, bytes); }, &writeError))
        return hostFail(KTHost::Usage, QStringLiteral("cannot write %1: %2").arg(c.args.first(), writeError));
    QStringList unreadable;
    for (const Leaf &leaf : KTParams::settings(d)) {
        if (!KTParams::readerOf(d, leaf.p) && KTValue::formOf(d, leaf.key).writable)
            unreadable << leaf.key;
    }
    hostOut() << "backup of " << HostText::printable(modelOf(d) + ' ' + machine.value("DEVICE_ID").toString()) << ": "
              << parameters.size() << " parameters written to " << c.args.first() << "\n";
    if (!unreadable.isEmpty())
        hostOut() << "not in it (the machine cannot be asked for them): " << unreadable.join(' ') << "\n";
    return KTHost::Ok;
}

int checkBackupFile(HostContext &c)
{
    Backup b;
    QString error;
    if (!loadBackup(c.args.first(), &b, &error))
        return hostFail(KTHost::Usage, error);
    return KTHost::Ok;
}

int runDiff(HostContext &c)
{
    Backup b;
    QString error;
    if (!loadBackup(c.args.first(), &b, &error))
        return hostFail(KTHost::Usage, error);
    QList<Difference> diffs;
    return compare(c, b, &diffs);
}

int runRestore(HostContext &c)
{
    Backup b;
    QString error;
    if (!loadBackup(c.args.first(), &b, &error))
        return hostFail(KTHost::Usage, error);
    QList<Difference> diffs;
    if (const int status = compare(c, b, &diffs))
        return status;

    // Every value is checked before the first is sent.
    QList<HostParams::Write> writes;
    QStringList skipped;
    for (const Difference &diff : qAsConst(diffs)) {
        if (!diff.note.isEmpty()) {
            skipped << QStringLiteral("%1 (%2)").arg(diff.key, diff.note);
            continue;
        }
        const QString why = KTValue::check(KTValue::formOf(c.device(), diff.key), diff.file);
        if (!why.isEmpty())
            return hostFail(KTHost::Usage, QStringLiteral("the backup holds a value this machine does not take, "
                                                          "nothing written: %1").arg(why));
        writes.append({diff.key, diff.p, diff.file, QString()});
    }
    if (writes.isEmpty()) {
        if (!skipped.isEmpty())
            hostOut() << "nothing to write; not restored: " << skipped.join(", ") << "\n";
        return KTHost::Ok;
    }
    if (!confirmed(c, writes.size())) {
        if (c.host.isInterrupted())
            return KTHost::Interrupted;
        return hostFail(KTHost::Usage, ::isatty(0) ? QStringLiteral("not confirmed; nothing written")
                                                   : QStringLiteral("restore writes to the machine only after --yes "
                                                                    "or a confirmation on a terminal; nothing written"));
    }
    QStringList failed;
    const int status = HostParams::writeVerified(c, writes, c.options.isSet("raw"), &failed);
    if (status == KTHost::Interrupted)
        return status;
    hostOut() << "restored " << writes.size() - failed.size() << " of " << writes.size() << " parameters\n";
    for (const QString &key : failed)
        skipped << key;
    if (!skipped.isEmpty())
        hostOut() << "not restored: " << skipped.join(", ") << "\n";
    if (status != KTHost::Ok)
        return hostFail(status, QStringLiteral("not every value was restored: %1").arg(failed.join(' ')));
    return KTHost::Ok;
}
