// settings: the parameters' own controls in a window.
#include "tools/host/hostcommand.h"
#include "tools/host/hosttext.h"
#include "tools/host/kthost.h"
#include "tools/host/ktparams.h"
#include "tools/host/settingswindow.h"
#include "property/ktdeviceproperty.h"

#include <QApplication>

#include <limits>

int runSettings(HostContext &c)
{
    KTDeviceInterface *d = c.device();
    SettingsWindow window(&c.host, c.timeoutMs);
    window.show();
    if (c.options.isSet(QStringLiteral("screenshot"))) {
        bool finished = false, ok = false;
        QObject::connect(&window, &SettingsWindow::readFinished, [&](bool good) {
            finished = true;
            ok = good;
        });
        c.host.waitFor([&] { return finished; }, std::numeric_limits<int>::max());
        if (c.host.isInterrupted())
            return KTHost::Interrupted;
        // One line per key of the two pages: the widget showing it and what it shows.
        for (const QString &key : d->userProperty() + d->sysProperty()) {
            KTDeviceProperty *p = d->property_ptr(key.toLatin1().constData());
            QWidget *control = window.controlFor(key);
            if (!control && p)
                control = p->uiControl();
            QStringList shown;
            for (const KTParams::Leaf &leaf : KTParams::leavesOf(d, key)) {
                if (!window.controlFor(leaf.key))
                    continue;
                const KTValue::Form s = KTValue::formOf(d, leaf.key);
                const bool fromMachine = KTParams::readerOf(d, leaf.p) != nullptr;
                if (fromMachine && !ok)
                    shown << QStringLiteral("(not read)");
                else if (!fromMachine && s.writable)
                    shown << QStringLiteral("(cannot be read)");
                else
                    shown << KTValue::displayWithUnit(s, leaf.p->value());
            }
            hostOut() << key << " " << (control ? control->metaObject()->className() : "none") << " "
                      << HostText::printable(shown.join(QStringLiteral(", "))) << "\n";
        }
        const QString file = c.options.value(QStringLiteral("screenshot"));
        if (!window.grab().save(file))
            return hostFail(KTHost::Usage, QStringLiteral("cannot save the picture to %1").arg(file));
        if (!ok)
            return hostFail(KTHost::LinkFailure, window.statusText());
        return KTHost::Ok;
    }
    bool closed = false;
    QObject::connect(qApp, &QApplication::lastWindowClosed, [&closed] { closed = true; });
    c.host.waitFor([&] { return closed; }, std::numeric_limits<int>::max());
    if (c.host.isInterrupted())
        return KTHost::Interrupted;
    if (!window.hasRead())
        return hostFail(KTHost::LinkFailure, window.statusText());
    return KTHost::Ok;
}
