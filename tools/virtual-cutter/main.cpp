// kt-virtual-cutter: a stand-in for the label cutter, for trying the plug-in
// without a machine. Listens on 127.0.0.1 and optionally on a pseudo-terminal.
#include "tools/virtual-cutter/ktvirtualcutter.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTextStream>

#include "tools/common/ktsignalnotifier.h"

namespace {

// One code a line; an empty line is a sheet whose code cannot be read.
bool readSheets(const QString &path, QStringList *sheets, QString *error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text) || file.size() > 4 * 1024 * 1024) {
        *error = QStringLiteral("cannot read the stack %1 (%2); give a text file of one code a line")
                     .arg(path, file.isOpen() ? QStringLiteral("larger than 4 MB") : file.errorString());
        return false;
    }
    QString text = QString::fromUtf8(file.readAll());
    if (text.endsWith('\n'))
        text.chop(1);
    *sheets = text.split('\n');
    return true;
}

} // namespace

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
        {"sheets", "A stack of sheets for QR-code tasks: the code printed on each, top first.", "code,code,..."},
        {"sheets-file", "The stack from a file, one code a line; an empty line is a sheet whose code cannot be "
                        "read.", "file"},
        {"sheet-wait", "Seconds a sheet waits for its cut data before the task ends in error (default 10).",
         "seconds", "10"},
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

    if (parser.isSet("sheets") && parser.isSet("sheets-file")) {
        QTextStream(stderr) << "--sheets and --sheets-file both give the stack: give one\n";
        return 2;
    }
    QString stackError;
    if (parser.isSet("sheets"))
        cutter.sheets = parser.value("sheets").split(',');
    else if (parser.isSet("sheets-file") && !readSheets(parser.value("sheets-file"), &cutter.sheets, &stackError)) {
        QTextStream(stderr) << stackError << "\n";
        return 2;
    }
    if (cutter.sheets.size() > KTVirtualCutter::MaxSheets) {
        QTextStream(stderr) << "a stack holds at most " << KTVirtualCutter::MaxSheets << " sheets\n";
        return 2;
    }
    for (const QString &code : qAsConst(cutter.sheets)) {
        if (!KTVirtualCutter::isSheetCode(code)) {
            QTextStream(stderr) << "sheet code \"" << code.left(40)
                                << "\" cannot be printed in a notice (no , ; or control characters, at most 256)\n";
            return 2;
        }
    }
    bool waitOk = false;
    const double wait = parser.value("sheet-wait").toDouble(&waitOk);
    if (!waitOk || !(wait > 0) || wait > 3600) {
        QTextStream(stderr) << "--sheet-wait takes seconds above 0, up to 3600\n";
        return 2;
    }
    cutter.sheetWaitMs = int(wait * 1000);

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
    const auto sheetLine = [&out](const char *what) {
        return [&out, what](int sheet, const QString &code) {
            out << "sheet " << sheet << " (" << (code.isEmpty() ? QStringLiteral("unreadable") : code) << "): "
                << what << "\n";
            out.flush();
        };
    };
    QObject::connect(&cutter, &KTVirtualCutter::sheetWaiting, sheetLine("code sent, waiting for its cut data"));
    QObject::connect(&cutter, &KTVirtualCutter::sheetCut, sheetLine("cut"));
    QObject::connect(&cutter, &KTVirtualCutter::sheetPassed, sheetLine("passed by uncut"));
    QObject::connect(&cutter, &KTVirtualCutter::sheetTimedOut, sheetLine("no cut data in time; task ended in error"));
    QObject::connect(&cutter, &KTVirtualCutter::sheetDataRefused, [&out](const QString &why) {
        out << "QR_PLT refused: " << why << "\n";
        out.flush();
    });
    return app.exec();
}
