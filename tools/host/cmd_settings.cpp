// settings: the parameters' own controls in a window.
#include "tools/host/hostcommand.h"
#include "tools/host/kthost.h"
#include "tools/host/settingswindow.h"
#include "property/ktdeviceproperty.h"

#include <QApplication>

#include <limits>

int runSettings(HostContext &c)
{
    KTDeviceInterface *d = c.device();
    SettingsWindow window(&c.host);
    window.show();
    if (c.options.isSet(QStringLiteral("screenshot"))) {
        window.readAll();
        if (c.host.isInterrupted())
            return KTHost::Interrupted;
        for (const QString &key : d->userProperty() + d->sysProperty()) {
            KTDeviceProperty *p = d->property_ptr(key.toLatin1().constData());
            QWidget *control = p ? p->uiControl() : nullptr;
            hostOut() << key << " " << (control ? control->metaObject()->className() : "none") << " "
                      << (p ? KTHost::valueText(p) : QString()) << "\n";
        }
        const QString file = c.options.value(QStringLiteral("screenshot"));
        if (!window.grab().save(file))
            return hostFail(KTHost::Usage, QStringLiteral("cannot save the picture to %1").arg(file));
        return KTHost::Ok;
    }
    bool closed = false;
    QObject::connect(qApp, &QApplication::lastWindowClosed, [&closed] { closed = true; });
    c.host.waitFor([&] { return closed; }, std::numeric_limits<int>::max());
    return c.host.isInterrupted() ? int(KTHost::Interrupted) : int(KTHost::Ok);
}
