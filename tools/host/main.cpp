// kt-host: a reference host for the KT-MRC600Cam plug-in. It uses the plug-in
// exactly as a real host does: QPluginLoader, the device interface and the
// parameter objects, nothing else of the plug-in's code.
#include "tools/host/hostcommand.h"
#include "tools/host/hosttext.h"
#include "tools/host/hostjob.h"
#include "tools/host/kthost.h"
#include "tools/common/ktsignalnotifier.h"
#include "platform/nuvexacloud/nuvexacloud.h"
#include "platform/usbchannel/usbchannel.h"

#include <QApplication>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QGuiApplication>
#include <QLoggingCategory>
#include <QRegularExpression>

#include <cstdio>
#include <unistd.h>
#include <memory>

KTDeviceInterface *HostContext::device() const
{
    return host.device();
}

QTextStream &hostOut()
{
    static QTextStream s(stdout);
    return s;
}

namespace {
bool failureReported = false;
}

int hostFail(int status, const QString &text)
{
    failureReported = true;
    hostOut().flush();
    // Values and names from outside are echoed here: never a raw control byte.
    std::fprintf(stderr, "kt-host: %s\n", qPrintable(HostText::printable(text)));
    return status;
}

const QList<HostCommand> &hostCommands()
{
    static const QList<HostCommand> commands{
        {"info", "", "connect and print the machine information", true, 0, 0, nullptr, runInfo},
        {"get", "KEY...", "read parameters from the machine", true, 1, -1, checkGet, runGet},
        {"set", "KEY=VALUE...", "check every value, write them, read each back", true, 1, -1, checkSet, runSet},
        {"keys", "", "list every key: label, unit, values, access, page", false, 0, 0, nullptr, runKeys},
        {"backup", "[FILE]", "save the machine's settings as JSON (standard output without FILE)", true, 0, 1,
         checkBackup, runBackup},
        {"diff", "FILE", "show where the machine differs from a backup", true, 1, 1, checkBackupFile, runDiff},
        {"restore", "FILE", "write back what differs from a backup (--yes, or confirm)", true, 1, 1,
         checkBackupFile, runRestore},
        {"inspect", "FILE", "the job's size, cut path and problems (--json; with a machine, cut time)", false, 1, 1,
         checkInspect, runInspect},
        {"preview", "FILE", "draw what the job cuts to a PNG (-o FILE.png)", false, 1, 1, checkPreview,
         runPreview},
        {"convert", "FILE", "write the job that cut would send (-o FILE.plt)", false, 1, 1, checkConvert,
         runConvert},
        {"cut", "FILE", "run a cut job (--copies N)", true, 1, 1, checkCut, runCut},
        {"qr", "", "run a QR-code job (--copies N), or cut a stack of sheets (--jobs DIR)", true, 0, 0, checkQr,
         runQr},
        {"qrcode", "TEXT", "write the QR code a sheet needs (-o FILE.svg|FILE.png, --size MM)", false, 1, 1,
         checkQrcode, runQrcode},
        {"jog", "DX DY", "move the tool head (signs give the direction)", true, 2, 2, checkJog, runJog},
        {"watch", "", "print every message until Ctrl-C", true, 0, 0, nullptr, runWatch},
        {"settings", "", "open the settings window (needs a display, or --screenshot)", true, 0, 0, nullptr, runSettings},
        {"ports", "[PATH...]", "list the USB ports (or the given paths) and whether each can be opened", false, 0, -1,
         nullptr, runPorts},
        {"outbox", "", "list the work records waiting for the cloud (--cloud; --flush, --retry KEY, --all-refused, "
         "--json)", false, 0, 0, nullptr, runOutbox},
    };
    return commands;
}

namespace {

const HostCommand *findCommand(const QString &name)
{
    for (const HostCommand &c : hostCommands()) {
        if (c.name == name)
            return &c;
    }
    return nullptr;
}

QString description()
{
    QString text = QStringLiteral("Reference host for the KT-MRC600Cam plug-in.\n\nCommands:\n");
    for (const HostCommand &c : hostCommands())
        text += QStringLiteral("  %1  %2\n").arg(QString(c.name + ' ' + c.arguments), -22).arg(c.summary);
    text += QStringLiteral(
        "\nValues are what the settings window shows: the control's scale and decimals, with its unit\n"
        "(get prints SP2_SPEED = 975 mm/s for the machine's 650; set SP2_SPEED=975 sends 650). With --raw,\n"
        "get prints and set takes the machine's own numbers. set and restore check every value against\n"
        "the control's range and the command's words first and send nothing if one is refused; each\n"
        "write is read back: ok, set to VALUE (nearest the machine takes), machine kept VALUE, no answer,\n"
        "or sent (not verifiable), unless the machine refused it. set sends a key that makes the machine\n"
        "act only with --yes, and a value that makes no sense for it only with --force.\n"
        "\nJob files (inspect, preview, convert, cut, qr --jobs) are HPGL or HP-GL/2, SVG, PDF (first page)\n"
        "or DXF. A file of plain HPGL (IN, PU, PD, PA, PR, SP, VS, FS) is sent as it is; any other, or\n"
        "one placed with --scale, --rotate, --mirror, --origin or --fit, is sent as the job made from its\n"
        "cut paths (IN; then absolute PU/PD in 1/40 mm), which is what preview draws and convert writes.\n"
        "\nExit status: 0 done, 2 usage error (unknown option, key or command, bad value or address,\n"
        "a job the machine would misread), 3 the machine could not be reached, is not a cutter, stopped\n"
        "answering, went away, reported an error during a job, ran another job in place of this one or\n"
        "did not take a value (ports: no port can be opened; outbox --flush: records still wait; qr --jobs: a\n"
        "sheet's code names no job that can be cut, or the stack ran out before --sheets N), 4 a work\n"
        "record was lost (the outbox could not keep it and the service did not take it) or the outbox file\n"
        "cannot be read, 130 interrupted (Ctrl-C, SIGTERM or SIGHUP; a running job is stopped first).");
    return text;
}

// A negative number is an argument (jog 1 -1), never an option: it is hidden
// from the parser and given back afterwards.
const QString NegativeMark = QStringLiteral("\x1fneg:");

QStringList shieldNegativeNumbers(const QStringList &args, const QCommandLineParser &parser,
                                  const QList<QCommandLineOption> &options)
{
    static const QRegularExpression number(QStringLiteral("^-[0-9][0-9.]*$"));
    QSet<QString> takesValue;
    for (const QCommandLineOption &o : options) {
        if (!o.valueName().isEmpty()) {
            for (const QString &name : o.names())
                takesValue << (name.size() == 1 ? "-" : "--") + name;
        }
    }
    Q_UNUSED(parser);
    QStringList shielded;
    for (int i = 0; i < args.size(); ++i) {
        const bool isValue = i > 0 && takesValue.contains(args.at(i - 1));
        shielded << (!isValue && number.match(args.at(i)).hasMatch() ? NegativeMark + args.at(i) : args.at(i));
    }
    return shielded;
}

bool hasDisplay()
{
    return !qEnvironmentVariableIsEmpty("DISPLAY") || !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")
           || !qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM");
}

// Seconds, positive and finite, to milliseconds; 0 when not valid.
int timeoutOption(const QString &text)
{
    bool ok = false;
    const double seconds = text.toDouble(&ok);
    if (!ok || !(seconds >= 0.001) || seconds > 86400)
        return 0;
    return int(seconds * 1000);
}

const QList<QCommandLineOption> &hostOptions()
{
    static const QList<QCommandLineOption> options{
        {{"h", "help"}, "Show this help."},
        {"version", "Show the version."},
        {"tcp", "Machine address, host[:port] or [IPv6]:port (port 9100 unless given).", "address"},
        {"usb", "Machine USB device path, e.g. /dev/ttyACM0 (kt-host ports lists them).", "path"},
        {"baud", "Line speed of a USB serial port in bit/s (default 115200; /dev/usb/lp* has none).", "bits/s"},
        {"plugin", "Path of KT-MRC600Cam.so (default: beside kt-host).", "path"},
        {"copies", "Copies for cut and qr (default 1).", "n", "1"},
        {"timeout", "Seconds to wait for each answer of the machine, and for a job's next report (default 10).",
         "seconds", "10"},
        {"cloud", "Cloud service addresses REST_BASE,WS_BASE (needs --code).", "bases"},
        {"code", "The device's cloud code (needs --cloud): 1 to 64 visible ASCII characters.", "code"},
        {"cloud-wait", "Seconds to wait for the cloud service after the command, before its work records are "
                       "left in the outbox for a later run (default 1.5; 0: no wait).", "seconds", "1.5"},
        {"drop-labels", "Job commands: leave out a HPGL job's text labels (LB)."},
        {"plot-area", "Job commands: the plotter area WxH in mm that a HPGL file scales against without IP "
                      "(default 259.125x199.05, landscape A4).", "WxH"},
        {"scale", "Job commands: size the drawing by this factor (0.5 halves it).", "factor"},
        {"rotate", "Job commands: turn the drawing counter-clockwise by 90, 180 or 270 degrees.", "degrees"},
        {"mirror", "Job commands: mirror the drawing left to right."},
        {"origin", "Job commands: put the drawing's lower-left corner at X,Y mm.", "X,Y"},
        {"fit", "Job commands: size the drawing, proportions kept, to fit WxH mm.", "WxH"},
        {"as-is", "Job commands: send a HPGL file byte for byte, or refuse it, instead of the job made from its "
                  "paths."},
        {"json", "inspect: print the facts and TASK_FILE_INFO as JSON; outbox: the records as JSON."},
        {{"o", "output"}, "preview: the PNG to write; convert: the job file to write; qrcode: the SVG or PNG to "
                          "write.", "file"},
        {"jobs", "qr: the directory of the jobs that the sheets' codes name (file name with or without its "
                 "extension).", "dir"},
        {"sheets", "qr --jobs: the number of sheets to cut (default: until the machine's stack is empty).", "n"},
        {"on-unknown", "qr --jobs: a code with no job, a job that cannot be cut or an unreadable code stops the "
                       "machine (stop, the default) or passes the sheet by (skip).", "stop|skip", "stop"},
        {"size", "qrcode: the printed width in mm, quiet zone included (default 30).", "mm", "30"},
        {"screenshot", "settings: read, save the window to this PNG, list the controls and quit.", "file"},
        {"raw", "get, set, diff, restore: the machine's own numbers instead of the values the controls show."},
        {"yes", "restore: write without asking; set: send a key that makes the machine act (FACTORY_SET, task "
                "stop/pause/resume, cut data, QR copies, origin, jog)."},
        {"force", "restore: accept a backup of another machine model; backup: replace FILE; set: write a value "
                  "that makes no sense for the machine (heartbeat outside 1-29 s, no copies, a scale or work area of 0)."},
        {"verbose", "Show the plug-in's debug traces (categories kt.*)."},
        {"flush", "outbox: register the devices records wait for, and send the waiting records now."},
        {"retry", "outbox: put the refused record KEY back to waiting.", "key"},
        {"all-refused", "outbox: put every refused record back to waiting."},
    };
    return options;
}

// What the options say once checked against each other and the command.
struct Checked
{
    int timeoutMs = 0;
    int baud = 0;
    int cloudWaitMs = 0;
    QStringList bases;   // REST_BASE, WS_BASE; empty without --cloud
};

// Every option checked before anything is loaded or connected: KTHost::Ok,
// or the usage failure already reported.
int checkOptions(const QCommandLineParser &parser, const HostCommand &command, Checked *o)
{
    o->timeoutMs = timeoutOption(parser.value("timeout"));
    if (o->timeoutMs <= 0)
        return hostFail(KTHost::Usage, QStringLiteral("--timeout takes seconds above 0, not \"%1\"").arg(parser.value("timeout")));
    bool copiesOk = false;
    const int copies = parser.value("copies").toInt(&copiesOk);
    if (!copiesOk || copies < 1 || copies > 9999)
        return hostFail(KTHost::Usage, QStringLiteral("--copies takes a whole number from 1 to 9999, not \"%1\"").arg(parser.value("copies")));
    if (parser.isSet("tcp") && parser.isSet("usb"))
        return hostFail(KTHost::Usage, "--tcp and --usb name two machines: give one");
    if (command.needsMachine && !parser.isSet("tcp") && !parser.isSet("usb"))
        return hostFail(KTHost::Usage, "say where the machine is: --tcp ADDRESS or --usb PATH");
    if (parser.isSet("baud")) {
        if (!parser.isSet("usb"))
            return hostFail(KTHost::Usage, "--baud belongs to --usb: a line speed is only for a USB serial port");
        QStringList rates;
        for (int rate : UsbChannel::supportedBaudRates())
            rates << QString::number(rate);
        if (!rates.contains(parser.value("baud")))
            return hostFail(KTHost::Usage, QStringLiteral("--baud takes one of %1, not \"%2\"")
                                               .arg(rates.join(' '), parser.value("baud")));
        o->baud = parser.value("baud").toInt();
    }
    if (command.needsMachine && parser.isSet("cloud") != parser.isSet("code"))
        return hostFail(KTHost::Usage, "--cloud and --code go together: give both or neither");
    if (!command.needsMachine && command.name == QLatin1String("outbox") && !parser.isSet("cloud"))
        return hostFail(KTHost::Usage, "outbox needs the service: --cloud REST_BASE,WS_BASE");
    if (parser.isSet("code") && !NuvexaCloud::isValidDeviceCode(parser.value("code")))
        return hostFail(KTHost::Usage, QStringLiteral("--code takes 1 to %1 visible ASCII characters (letters, digits, "
                                                      "punctuation; no spaces or control characters)")
                                           .arg(NuvexaCloud::MaxDeviceCodeLength));
    bool cloudWaitOk = false;
    const double cloudWait = parser.value("cloud-wait").toDouble(&cloudWaitOk);
    if (!cloudWaitOk || !(cloudWait >= 0) || cloudWait > 3600)
        return hostFail(KTHost::Usage, QStringLiteral("--cloud-wait takes seconds from 0 to 3600, not \"%1\"")
                                           .arg(parser.value("cloud-wait")));
    o->cloudWaitMs = int(cloudWait * 1000);
    if (parser.isSet("cloud")) {
        o->bases = parser.value("cloud").split(',');
        if (o->bases.size() != 2 || o->bases.at(0).isEmpty() || o->bases.at(1).isEmpty())
            return hostFail(KTHost::Usage, "--cloud takes REST_BASE,WS_BASE");
    }
    if (parser.isSet("screenshot") && command.name != QLatin1String("settings"))
        return hostFail(KTHost::Usage, "--screenshot belongs to the settings command");
    if (parser.isSet("output") && !QStringList{"preview", "convert", "qrcode"}.contains(command.name))
        return hostFail(KTHost::Usage, "-o belongs to the preview, convert and qrcode commands");
    if (command.name == QLatin1String("qrcode") && !parser.isSet("output"))
        return hostFail(KTHost::Usage, "qrcode needs -o FILE.svg or -o FILE.png");
    if ((parser.isSet("jobs") || parser.isSet("sheets") || parser.isSet("on-unknown"))
        && command.name != QLatin1String("qr"))
        return hostFail(KTHost::Usage, "--jobs, --sheets and --on-unknown belong to the qr command");
    if (parser.isSet("size") && command.name != QLatin1String("qrcode"))
        return hostFail(KTHost::Usage, "--size belongs to the qrcode command");
    if (parser.isSet("json") && command.name != QLatin1String("inspect") && command.name != QLatin1String("outbox"))
        return hostFail(KTHost::Usage, "--json belongs to the inspect and outbox commands");
    if (parser.isSet("flush") && command.name != QLatin1String("outbox"))
        return hostFail(KTHost::Usage, "--flush belongs to the outbox command");
    if ((parser.isSet("retry") || parser.isSet("all-refused")) && command.name != QLatin1String("outbox"))
        return hostFail(KTHost::Usage, "--retry and --all-refused belong to the outbox command");
    if (parser.isSet("retry") && parser.isSet("all-refused"))
        return hostFail(KTHost::Usage, "--retry KEY and --all-refused: give one");
    const QString jobError = HostJob::configure(parser, command.name);
    if (!jobError.isEmpty())
        return hostFail(KTHost::Usage, jobError);
    if (parser.isSet("tcp")) {
        QString host, error;
        int port = 0;
        if (!KTHost::parseTcpAddress(parser.value("tcp"), &host, &port, &error))
            return hostFail(KTHost::Usage, error);
    }

    return KTHost::Ok;
}

// The folder Qt's GUI side would otherwise make with a warning on standard
// error, where kt-host keeps to one line a failure.
void ensureRuntimeDir()
{
    if (!qEnvironmentVariableIsEmpty("XDG_RUNTIME_DIR"))
        return;
    const QByteArray dir = QDir::tempPath().toLocal8Bit() + "/runtime-" + QByteArray::number(uint(getuid()));
    QDir().mkpath(QString::fromLocal8Bit(dir));
    QFile::setPermissions(QString::fromLocal8Bit(dir), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    qputenv("XDG_RUNTIME_DIR", dir);
}

// Only the window needs a display; every other command runs anywhere.
std::unique_ptr<QCoreApplication> makeApplication(const HostCommand &command, const QCommandLineParser &parser,
                                                  int &argc, char **argv, int *status)
{
    if (command.name == QLatin1String("settings")) {
        if (!hasDisplay() && !parser.isSet("screenshot")) {
            *status = hostFail(KTHost::Usage, "settings opens a window and there is no display (DISPLAY is not set); "
                                              "use --screenshot FILE to render it without one");
            return nullptr;
        }
        if (!hasDisplay())
            qputenv("QT_QPA_PLATFORM", "offscreen");
        return std::make_unique<QApplication>(argc, argv);
    }
    if (HostJob::readsJobs(command.name, parser)) {
        // Pictures in files and text as outlines, never a window.
        qputenv("QT_QPA_PLATFORM", "offscreen");
        ensureRuntimeDir();
        return std::make_unique<QGuiApplication>(argc, argv);
    }
    return std::make_unique<QCoreApplication>(argc, argv);
}

// The link to the machine named by --usb or --tcp.
int connectMachine(KTHost &host, const QCommandLineParser &parser, const Checked &o)
{
    QString error;
    const QString where = parser.isSet("usb") ? parser.value("usb") : parser.value("tcp");
    const bool linked = parser.isSet("usb") ? host.connectUsb(where, o.baud, o.timeoutMs, &error)
                                            : host.connectTcp(where, o.timeoutMs, &error);
    if (host.isInterrupted())
        return hostFail(KTHost::Interrupted, "interrupted");
    if (!linked)
        return hostFail(KTHost::LinkFailure, QStringLiteral("cannot connect to %1: %2").arg(where, error));
    return KTHost::Ok;
}

// The command is done; the cloud gets a short wait of its own, and what it
// leaves stays in the outbox for a later run. A record the outbox could not
// keep has no later run: it is reported lost.
int finishCloud(KTHost &host, const Checked &o)
{
    hostOut().flush();   // the command's output is seen before the wait
    host.waitForCloud(o.cloudWaitMs, o.timeoutMs);
    const QString lost = host.lostRecords();
    const QString left = host.cloudLeftover(o.cloudWaitMs);
    if (host.isInterrupted())
        return hostFail(KTHost::Interrupted, "interrupted while waiting for the cloud service"
                                                 + (lost.isEmpty() ? QString() : "; " + lost)
                                                 + (left.isEmpty() ? QString() : "; " + left));
    if (!lost.isEmpty())
        return hostFail(KTHost::RecordLost, lost);
    if (!left.isEmpty())
        std::fprintf(stderr, "kt-host: %s\n", qPrintable(left));
    return KTHost::Ok;
}

} // namespace

int main(int argc, char *argv[])
{
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);

    QCommandLineParser parser;
    parser.setApplicationDescription(description());
    const QList<QCommandLineOption> options = hostOptions();
    parser.addOptions(options);
    parser.addPositionalArgument("command", "What to do (see above).");
    const QString program = QStringLiteral("kt-host");
    if (!parser.parse(shieldNegativeNumbers(arguments, parser, options)))
        return hostFail(KTHost::Usage, parser.errorText().remove(QRegularExpression("\\.$")) + "; see --help");
    if (parser.isSet("help")) {
        QCoreApplication app(argc, argv);
        hostOut() << parser.helpText().replace(QFileInfo(arguments.value(0)).fileName(), program);
        return KTHost::Ok;
    }
    if (parser.isSet("version")) {
        hostOut() << program << " " << KT_VERSION << "\n";
        return KTHost::Ok;
    }
    QStringList args;
    for (QString a : parser.positionalArguments())
        args << (a.startsWith(NegativeMark) ? a.mid(NegativeMark.size()) : a);

    if (args.isEmpty())
        return hostFail(KTHost::Usage, "no command; see --help");
    const HostCommand *command = findCommand(args.first());
    if (!command) {
        QStringList names;
        for (const HostCommand &c : hostCommands())
            names << c.name;
        return hostFail(KTHost::Usage,
                        QStringLiteral("unknown command %1; commands: %2").arg(args.first(), names.join(' ')));
    }
    args.removeFirst();
    if (args.size() < command->minArgs || (command->maxArgs >= 0 && args.size() > command->maxArgs))
        return hostFail(KTHost::Usage, QStringLiteral("%1 %2: wrong number of arguments; see --help")
                                           .arg(command->name, command->arguments));
    Checked checked;
    if (const int status = checkOptions(parser, *command, &checked))
        return status;
    const int timeoutMs = checked.timeoutMs;

    int appStatus = KTHost::Ok;
    const std::unique_ptr<QCoreApplication> app = makeApplication(*command, parser, argc, argv, &appStatus);
    if (!app)
        return appStatus;
    QCoreApplication::setApplicationName(program);
    QCoreApplication::setApplicationVersion(KT_VERSION);
    QLoggingCategory::setFilterRules(parser.isSet("verbose") ? QStringLiteral("kt.*.debug=true")
                                                             : QStringLiteral("kt.*.debug=false\ndefault.debug=false"));

    KTHost host;
    host.setCloudLockWait(timeoutMs);
    ktOnTerminationSignal([&host] { host.interrupt(); });
    QString error;
    const QString plugin = parser.isSet("plugin") ? parser.value("plugin")
                                                  : QCoreApplication::applicationDirPath() + "/KT-MRC600Cam.so";
    if (!host.load(plugin, &error))
        return hostFail(KTHost::Usage, error);

    HostContext context{host, parser, args, timeoutMs};
    if (command->check) {
        if (const int status = command->check(context))
            return status;
        // Reading a large job file holds the event loop: a Ctrl-C meanwhile
        // is heard here, before anything is written or sent.
        QCoreApplication::processEvents();
        if (host.isInterrupted())
            return hostFail(KTHost::Interrupted, "interrupted; nothing written or sent");
    }
    if (command->needsMachine) {
        if (const int status = connectMachine(host, parser, checked))
            return status;
    }
    QObject::connect(&host, &KTHost::cloudNotice, [](const QString &text) {
        hostOut() << HostText::printable(text) << "\n";
        hostOut().flush();
    });
    QObject::connect(&host, &KTHost::outboxNotice, [](const QString &text) {
        hostOut().flush();
        std::fprintf(stderr, "kt-host: %s\n", qPrintable(text));
    });
    const QStringList &bases = checked.bases;
    if (!bases.isEmpty() && command->needsMachine) {
        // The registered record carries the machine's serial, PCB and firmware.
        if (!host.readIdentity(timeoutMs, &error)) {
            if (host.isInterrupted())
                return hostFail(KTHost::Interrupted, "interrupted");
            return hostFail(KTHost::LinkFailure, "cannot read the machine information: " + error);
        }
        // Registration goes on beside the command: the cloud never holds the machine.
        host.startCloud(bases.at(0), bases.at(1), parser.value("code"));
    }
    const int status = command->run(context);
    // A job that failed may still have posted a record (the copies it cut):
    // it gets the same wait, and a record lost on the way is said too, though
    // the command's own failure keeps its status.
    if (status != KTHost::Interrupted && command->needsMachine && host.cloudClient()) {
        const int cloudStatus = finishCloud(host, checked);
        if (status == KTHost::Ok || cloudStatus == KTHost::Interrupted)
            return cloudStatus ? cloudStatus : status;
    }
    const QString lost = host.lostRecords();
    if (status == KTHost::Ok && !lost.isEmpty())
        return hostFail(KTHost::RecordLost, lost);
    if (status == KTHost::Interrupted && !failureReported)
        return hostFail(KTHost::Interrupted, "interrupted");
    return status;
}
