#ifndef HOSTCOMMAND_H
#define HOSTCOMMAND_H

#include <QCommandLineParser>
#include <QString>
#include <QStringList>
#include <QTextStream>

class KTHost;
class KTDeviceInterface;

// What a command of kt-host is given: the loaded plug-in's device (linked to
// the machine when the command needs it), its arguments and the options.
struct HostContext
{
    KTHost &host;
    const QCommandLineParser &options;
    QStringList args;   // after the command's name
    int timeoutMs = 10000;

    KTDeviceInterface *device() const;
};

struct HostCommand
{
    QString name;
    QString arguments;         // as --help shows them: "KEY..."
    QString summary;           // what it does, for --help
    bool needsMachine = true;  // connect before run()
    int minArgs = 0;
    int maxArgs = 0;           // -1: any number
    // Checks run before any connection (files, values); 0 to go on.
    int (*check)(HostContext &) = nullptr;
    int (*run)(HostContext &) = nullptr;
};

// Every command, in the order --help lists them.
const QList<HostCommand> &hostCommands();

QTextStream &hostOut();
// Prints one line "kt-host: TEXT" on standard error; returns status.
int hostFail(int status, const QString &text);

int checkInspect(HostContext &c);
int runInspect(HostContext &c);
int checkPreview(HostContext &c);
int runPreview(HostContext &c);
int checkConvert(HostContext &c);
int runConvert(HostContext &c);
int checkCut(HostContext &c);
int runCut(HostContext &c);
int checkQr(HostContext &c);
int runQr(HostContext &c);
// The production run of qr --jobs DIR (cmd_qr.cpp), once the peer is known to be a cutter.
int runQrJobs(HostContext &c);
// Ok when the peer answers as a cutter; otherwise the failure, reported.
int requireCutter(HostContext &c);
int checkQrcode(HostContext &c);
int runQrcode(HostContext &c);
int runInfo(HostContext &c);
int checkGet(HostContext &c);
int runGet(HostContext &c);
int checkSet(HostContext &c);
int runSet(HostContext &c);
int checkJog(HostContext &c);
int runJog(HostContext &c);
int runWatch(HostContext &c);
int runSettings(HostContext &c);
int runKeys(HostContext &c);
int checkBackup(HostContext &c);
int runBackup(HostContext &c);
int checkBackupFile(HostContext &c);
int runRestore(HostContext &c);
int runDiff(HostContext &c);
int runPorts(HostContext &c);
int runOutbox(HostContext &c);

#endif // HOSTCOMMAND_H
