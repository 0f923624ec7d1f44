// kt-virtual-cutter: a stand-in for the label cutter, for trying the plug-in
// without a machine. Listens on 127.0.0.1 and optionally on a pseudo-terminal.
#include "tools/virtual-cutter/ktvirtualcutter.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QTextStream>

#include "tools/common/ktsignalnotifier.h"

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName("kt-virtual-cutter");
    QCommandLineParser parser;
    parser.setApplicationDescription("Stand-in for the KT-MRC600Cam label cutter.");
    parser.addHelpOption();
    parser.addOptions({
        {"port", "TCP port on 127.0.0.1 (0: any free port).", "port", "9100"},
        {"pty", "Also serve on a pseudo-terminal and print its path."},
        {"speed", "Bytes of cut data cut per second.", "bytes", "200000"},
        {"silent", "Take frames but answer nothing."},
        {"garbage", "Send stray bytes before every reply."},
        {"split", "Send replies one byte at a time."},
        {"drop-at", "Drop the link when a job reaches this percent.", "percent", "-1"},
        {"stall-at", "Freeze when a job reaches this percent: the link stays open, nothing answers.", "percent", "-1"},
        {"dump", "Save the exact bytes of every job received in this directory.", "dir"},
    });
    parser.process(app);

    KTVirtualCutter cutter;
    cutter.cutBytesPerSecond = qMax(1LL, parser.value("speed").toLongLong());
    cutter.faults.silent = parser.isSet("silent");
    cutter.faults.garbage = parser.isSet("garbage");
    cutter.faults.splitBytes = parser.isSet("split");
    cutter.faults.dropAtPercent = parser.value("drop-at").toInt();
    cutter.faults.stallAtPercent = parser.value("stall-at").toInt();
    if (parser.isSet("dump")) {
        cutter.dumpDir = parser.value("dump");
        if (!QDir().mkpath(cutter.dumpDir)) {
            QTextStream(stderr) << "cannot create " << cutter.dumpDir << "; give a writable directory to --dump\n";
            return 2;
        }
    }

    QTextStream out(stdout);
    if (!cutter.listenTcp(quint16(parser.value("port").toUInt()))) {
        QTextStream(stderr) << "cannot listen on 127.0.0.1:" << parser.value("port") << "\n";
        return 1;
    }
    out << "TCP 127.0.0.1:" << cutter.tcpPort() << "\n";
    if (parser.isSet("pty")) {
        const QString path = cutter.openPty();
        if (path.isEmpty()) {
            QTextStream(stderr) << "cannot open a pseudo-terminal\n";
            return 1;
        }
        out << "PTY " << path << "\n";
    }
    out.flush();

    ktOnTerminationSignal([] { QCoreApplication::quit(); });
    QObject::connect(&cutter, &KTVirtualCutter::jobDumped, [&out](const QString &path) {
        out << "job saved: " << path << "\n";
        out.flush();
    });
    QObject::connect(&cutter, &KTVirtualCutter::malformedFrame, [&out](const QString &why) {
        out << "malformed frame refused: " << why << "\n";
        out.flush();
    });
    QObject::connect(&cutter, &KTVirtualCutter::jobFinished, [&out](int copies) {
        out << "job finished: " << copies << " copies\n";
        out.flush();
    });
    QObject::connect(&cutter, &KTVirtualCutter::jobStalled, [&out](int percent) {
        out << "job stalled at " << percent << "%: the link stays open, nothing answers\n";
        out.flush();
    });
    return app.exec();
}
