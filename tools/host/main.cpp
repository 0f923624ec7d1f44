// kt-host: a reference host for the KT-MRC600Cam plug-in. It uses the plug-in
// exactly as a real host does: QPluginLoader, the device interface and the
// parameter objects, nothing else of the plug-in's code.
#include "tools/host/kthost.h"
#include "property/ktdeviceproperty.h"
#include "tools/host/pltinfo.h"
#include "tools/host/settingswindow.h"
#include "tools/common/ktsignalnotifier.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonObject>
#include <QLoggingCategory>
#include <QTimer>

#include <cstdio>
#include <limits>

namespace {

bool interrupted = false;

QTextStream &out()
{
    static QTextStream s(stdout);
    return s;
}

int fail(int status, const QString &text)
{
    out().flush();
    std::fprintf(stderr, "kt-host: %s\n", qPrintable(text));
    return status;
}

QString bar(int percent)
{
    const int filled = qBound(0, percent, 100) * 30 / 100;
    return "[" + QString(filled, '#') + QString(30 - filled, '-') + "]";
}

int runGet(KTHost &host, const QStringList &keys, int timeoutMs)
{
    for (const QString &key : keys) {
        QString error;
        KTDeviceProperty *p = host.parameter(key, &error);
        if (!p)
            return fail(KTHost::Usage, error);
        if (!host.read(p, timeoutMs, &error))
            return fail(error.startsWith("no reply") || error.startsWith("link") ? KTHost::LinkFailure : KTHost::Usage,
                        key + ": " + error);
        out() << key << " = " << KTHost::valueText(p) << "\n";
    }
    return KTHost::Ok;
}

int runSet(KTHost &host, const QStringList &assignments, int timeoutMs)
{
    for (const QString &a : assignments) {
        const int eq = a.indexOf('=');
        if (eq <= 0)
            return fail(KTHost::Usage, QStringLiteral("expected KEY=VALUE, not \"%1\"").arg(a));
        const QString key = a.left(eq);
        QString error;
        KTDeviceProperty *p = host.parameter(key, &error);
        if (!p)
            return fail(KTHost::Usage, error);
        int acknowledged = -1;
        auto c = QObject::connect(p, &KTDeviceProperty::retStatus, [&acknowledged](int s) { acknowledged = s; });
        if (!host.write(key, p, a.mid(eq + 1), &error))
            return fail(KTHost::Usage, error);
        // The machine's own value is read back when it can be read.
        if (!p->get_cmd_bytes().isEmpty() && host.read(p, timeoutMs, &error)) {
            out() << key << " = " << KTHost::valueText(p) << "\n";
        } else if (host.waitFor([&] { return acknowledged >= 0 || host.linkLost(); }, timeoutMs) && acknowledged >= 0) {
            out() << key << " = " << KTHost::valueText(p) << " (machine status " << acknowledged << ")\n";
        } else {
            QObject::disconnect(c);
            return fail(KTHost::LinkFailure, key + ": " + (host.linkLost() ? "link lost" : "no reply from the machine"));
        }
        QObject::disconnect(c);
    }
    return KTHost::Ok;
}

// Follows the task reports until the machine reports the job complete.
int followTask(KTHost &host, int copies, int idleTimeoutMs, bool qr)
{
    KTDeviceInterface *d = host.device();
    QElapsedTimer idle;
    idle.start();
    QJsonObject task;
    bool complete = false;
    auto c = QObject::connect(&host, &KTHost::deviceMessage, [&](KTDeviceInterface::KTDeviceMessage kind, QString text) {
        idle.restart();
        if (kind == KTDeviceInterface::Qrcode) {
            out() << "\nQR code: " << text << "\n";
            return;
        }
        if (kind != KTDeviceInterface::DevTasK)
            return;
        KTDeviceProperty *t = d->property_ptr("TASK");
        task = t ? t->value().toJsonObject() : QJsonObject();
        const int percent = task.value("Percent").toInt();
        const int finished = task.value("Finished").toInt();
        out() << "\r" << bar(percent) << QStringLiteral(" %1% ").arg(percent, 3) << " copies " << finished << "/"
              << task.value("TaskCopies").toInt(copies) << "  " << task.value("FileName").toString() << "   ";
        out().flush();
        complete = percent == 100 && finished >= copies;
    });
    host.waitFor([&] { return complete || host.linkLost() || interrupted || idle.elapsed() > idleTimeoutMs; },
                 std::numeric_limits<int>::max());
    QObject::disconnect(c);
    out() << "\n";
    if (interrupted) {
        if (KTDeviceProperty *stop = d->property_ptr("TASK_STOP")) {
            stop->setValue(2);
            d->sendCMD(stop->set_cmd_bytes());
        }
        d->stopTask();
        host.waitFor([] { return false; }, 300);
        return fail(KTHost::Interrupted, "interrupted: stop sent to the machine");
    }
    if (host.linkLost())
        return fail(KTHost::LinkFailure, "link lost during the job (" + host.lastStatus() + ")");
    if (!complete)
        return fail(KTHost::LinkFailure, QStringLiteral("no task report for %1 s").arg(idleTimeoutMs / 1000));
    d->stopTask();
    host.waitFor([] { return false; }, 300);   // let the work record leave
    out() << (qr ? "QR job" : "cut job") << " complete: " << copies << " copies\n";
    return KTHost::Ok;
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName("kt-host");
    QCommandLineParser parser;
    parser.setApplicationDescription(
        "Reference host for the KT-MRC600Cam plug-in.\n\n"
        "Commands:\n"
        "  info                 connect and print the machine information\n"
        "  get KEY...           read parameters from the machine\n"
        "  set KEY=VALUE...     write parameters and print what the machine answers\n"
        "  cut FILE.plt         run a cut job (--copies N)\n"
        "  qr                   run a QR-code job (--copies N)\n"
        "  jog DX DY            move the tool head (signs give the direction)\n"
        "  watch                print every message until Ctrl-C\n"
        "  settings             open the settings window");
    parser.addHelpOption();
    parser.addOptions({
        {"tcp", "Machine address, host[:port].", "address"},
        {"usb", "Machine USB device path.", "path"},
        {"plugin", "Path of KT-MRC600Cam.so.", "path",
         QCoreApplication::applicationDirPath() + "/KT-MRC600Cam.so"},
        {"copies", "Copies for cut and qr.", "n", "1"},
        {"timeout", "Seconds to wait for the machine.", "seconds", "5"},
        {"cloud", "Cloud service addresses REST_BASE,WS_BASE.", "bases"},
        {"code", "The device's cloud code.", "code"},
        {"screenshot", "settings: read, save the window to this PNG, list the controls and quit.", "file"},
        {"verbose", "Show the plug-in's debug traces."},
    });
    parser.addPositionalArgument("command", "What to do.");
    parser.process(app);
    if (!parser.isSet("verbose"))
        QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false"));

    const QStringList args = parser.positionalArguments();
    if (args.isEmpty())
        return fail(KTHost::Usage, "no command; see --help");
    const QString command = args.first();
    const QStringList rest = args.mid(1);
    const int timeoutMs = qMax(1, parser.value("timeout").toInt()) * 1000;
    bool copiesOk = false;
    const int copies = parser.value("copies").toInt(&copiesOk);
    if (!copiesOk || copies < 1)
        return fail(KTHost::Usage, "--copies takes a whole number from 1 up");

    static const QStringList commands{"info", "get", "set", "cut", "qr", "jog", "watch", "settings"};
    if (!commands.contains(command))
        return fail(KTHost::Usage, QStringLiteral("unknown command %1; commands: %2").arg(command, commands.join(' ')));
    if ((command == "get" || command == "set" || command == "cut") && rest.isEmpty())
        return fail(KTHost::Usage, command + " needs arguments; see --help");
    if (command == "jog" && rest.size() != 2)
        return fail(KTHost::Usage, "jog needs DX DY");
    if (!parser.isSet("tcp") && !parser.isSet("usb"))
        return fail(KTHost::Usage, "say where the machine is: --tcp ADDRESS or --usb PATH");

    QByteArray plt;
    if (command == "cut") {
        QFile file(rest.first());
        if (!file.open(QIODevice::ReadOnly))
            return fail(KTHost::Usage, QStringLiteral("cannot read %1: %2").arg(rest.first(), file.errorString()));
        plt = file.readAll();
    }

    ktOnTerminationSignal([] { interrupted = true; });

    KTHost host;
    QString error;
    if (!host.load(parser.value("plugin"), &error))
        return fail(KTHost::Usage, error);
    const QString where = parser.isSet("usb") ? parser.value("usb") : parser.value("tcp");
    const bool linked = parser.isSet("usb") ? host.connectUsb(where, timeoutMs, &error)
                                            : host.connectTcp(where, timeoutMs, &error);
    if (!linked)
        return fail(KTHost::LinkFailure, QStringLiteral("cannot connect to %1: %2").arg(where, error));
    KTDeviceInterface *d = host.device();

    if (parser.isSet("cloud")) {
        const QStringList bases = parser.value("cloud").split(',');
        if (bases.size() != 2 || !parser.isSet("code"))
            return fail(KTHost::Usage, "--cloud takes REST_BASE,WS_BASE and needs --code");
        if (!host.registerCloud(bases.at(0), bases.at(1), parser.value("code"), timeoutMs))
            std::fprintf(stderr, "kt-host: the cloud service did not register the device; going on without it\n");
    }

    if (command == "info") {
        for (const QString &key : d->sysProperty()) {
            KTDeviceProperty *p = d->property_ptr(key.toLatin1().constData());
            QList<KTDeviceProperty *> parts{p};
            if (p && p->get_cmd_bytes().isEmpty()) {
                parts.clear();
                for (const auto &c : p->childProperties())
                    parts << c.second;
            }
            for (KTDeviceProperty *part : parts) {
                if (part && KTHost::canRead(part) && !host.read(part, timeoutMs, &error))
                    return fail(KTHost::LinkFailure, QStringLiteral("%1: %2").arg(key, error));
            }
        }
        for (const QString &key : d->sysProperty()) {
            KTDeviceProperty *p = d->property_ptr(key.toLatin1().constData());
            if (!p || key == "DEVICE_INFO")
                continue;
            const QString text = KTHost::valueText(p);
            out() << QStringLiteral("%1: %2").arg(p->label(), -24).arg(text) << "\n";
        }
        return KTHost::Ok;
    }
    if (command == "get")
        return runGet(host, rest, timeoutMs);
    if (command == "set")
        return runSet(host, rest, timeoutMs);
    if (command == "cut") {
        if (KTDeviceProperty *info = d->property_ptr("TASK_FILE_INFO"))
            info->setValue(pltFileInfo(plt));
        d->property_ptr("TASK_MODE")->setValue(0);
        d->property_ptr("TASK_COPIES")->setValue(copies);
        d->setPlt(QString::fromLatin1(plt));
        out() << "cutting " << rest.first() << " (" << plt.size() << " bytes), " << copies << " copies\n";
        d->startTask();
        return followTask(host, copies, qMax(timeoutMs, 10000), false);
    }
    if (command == "qr") {
        d->property_ptr("TASK_MODE")->setValue(1);
        d->property_ptr("QRCODE_COPIES")->setValue(copies);
        d->startTask();
        return followTask(host, copies, qMax(timeoutMs, 10000), true);
    }
    if (command == "jog") {
        bool okX = false, okY = false;
        const int dx = rest.at(0).toInt(&okX);
        const int dy = rest.at(1).toInt(&okY);
        if (!okX || !okY)
            return fail(KTHost::Usage, "jog takes two whole numbers, DX DY");
        d->move(dy, dx);
        host.waitFor([] { return false; }, 300);
        out() << "jogged X " << (dx > 0 ? "+" : dx < 0 ? "-" : "0") << " Y " << (dy > 0 ? "+" : dy < 0 ? "-" : "0")
              << "\n";
        return host.linkLost() ? fail(KTHost::LinkFailure, "link lost") : KTHost::Ok;
    }
    if (command == "watch") {
        QObject::connect(&host, &KTHost::deviceMessage, [](KTDeviceInterface::KTDeviceMessage kind, QString text) {
            static const char *kinds[] = {"status", "task", "qrcode"};
            out() << kinds[qBound(0, int(kind), 2)] << ": " << text << "\n";
            out().flush();
        });
        host.waitFor([&] { return interrupted || host.linkLost(); }, std::numeric_limits<int>::max());
        return host.linkLost() ? fail(KTHost::LinkFailure, "link lost (" + host.lastStatus() + ")") : KTHost::Ok;
    }

    SettingsWindow window(&host);
    window.show();
    if (parser.isSet("screenshot")) {
        window.readAll();
        for (const QString &key : d->userProperty() + d->sysProperty()) {
            KTDeviceProperty *p = d->property_ptr(key.toLatin1().constData());
            QWidget *control = p ? p->uiControl() : nullptr;
            out() << key << " " << (control ? control->metaObject()->className() : "none") << " "
                  << (p ? KTHost::valueText(p) : QString()) << "\n";
        }
        return window.grab().save(parser.value("screenshot")) ? KTHost::Ok : fail(KTHost::Usage, "cannot save");
    }
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (interrupted)
            app.quit();
    });
    poll.start(100);
    return app.exec();
}
