#ifndef KTVIRTUALCUTTER_H
#define KTVIRTUALCUTTER_H

#include "property/ktframe.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QList>
#include <QMap>
#include <QObject>
#include <QPointer>
#include <QSet>
#include <QStringList>
#include <QTimer>

#include <memory>
#include <vector>

class QTcpServer;
class QTcpSocket;
class QSocketNotifier;

// A stand-in for the label cutter's controller. It speaks the machine's text
// frames over TCP and over a pseudo-terminal, keeps a register for every
// command number and code of the model, answers reads, acknowledges writes,
// answers the heartbeat and "cuts" jobs, reporting their progress. Like the
// machine it trusts a frame's declared length: a frame whose ETX is not where
// the length says is reported as an error task status and never cut.
class KTVirtualCutter : public QObject
{
    Q_OBJECT
public:
    struct Faults
    {
        bool silent = false;        // take frames, answer nothing
        bool garbage = false;       // stray bytes before every reply
        bool splitBytes = false;    // every reply byte in its own write
        int dropAtPercent = -1;     // close the link once a job gets there
        int stallAtPercent = -1;    // freeze once a job gets there: the link stays, nothing answers
    };

    explicit KTVirtualCutter(QObject *parent = nullptr);
    ~KTVirtualCutter() override;

    bool listenTcp(quint16 port = 0);   // on 127.0.0.1; 0 picks a free port
    quint16 tcpPort() const;
    QString openPty();                  // the slave path, empty on failure
    void closePty();
    void dropConnections();             // as if the cable were pulled
    // Takes bytes as from a link of their own whose replies go nowhere; a
    // frame left incomplete at the end is dropped.
    void feed(const QByteArray &bytes);

    Faults faults;
    // Bytes of cut data cut per second (per copy); sets the job's duration.
    qint64 cutBytesPerSecond = 200000;
    int reportIntervalMs = 100;
    // Where the exact bytes of every job received go (jobN.plt); empty: nowhere.
    QString dumpDir;
    // The stack of sheets a QR-code task takes, top first: the code printed
    // on each, empty for one the camera cannot read. Empty: a QR-code task
    // cuts the data QR_PLT last stored, as many times as asked.
    QStringList sheets;
    // How long a sheet waits for its cut data before the task ends in error.
    int sheetWaitMs = 10000;
    static constexpr int MaxSheets = 10000;
    // Whether a sheet code can be printed in a notice: no separators, no control bytes.
    static bool isSheetCode(const QString &code);

    int cmdRegister(int number) const { return m_cmd.value(number); }
    void setCmdRegister(int number, int word) { m_cmd[number] = word & 0xffff; }
    QString ccmdRegister(int code) const { return m_ccmd.value(code); }
    void setCcmdRegister(int code, const QString &value) { m_ccmd[code] = value; }
    // The whole register map, to see that nothing was written.
    QMap<int, int> cmdRegisters() const { return m_cmd; }
    QMap<int, QString> ccmdRegisters() const { return m_ccmd; }
    // Like a machine that clamps: a CMD write above the ceiling stores the ceiling.
    QMap<int, int> cmdCeiling;
    // Like a machine that refuses: a CCMD write with one of these codes is
    // answered with status 1 and changes nothing.
    QSet<int> ccmdRefused;

    QList<QByteArray> framesReceived() const { return m_frames; }
    qint64 bytesReceived() const { return m_bytesReceived; }
    QByteArray lastCutData() const { return m_cutData; }
    bool jobRunning() const { return m_job.isActive(); }
    // Time one copy of the current or last job takes.
    qint64 copyMs() const { return m_copyMs; }
    int malformedFrames() const { return m_malformed; }
    int connectionCount() const;

signals:
    void frameReceived(const QByteArray &frame);
    void malformedFrame(const QString &why);
    void jobDumped(const QString &path);
    void jobFinished(int copies);
    void jobStalled(int percent);
    void clientConnected();
    void sheetWaiting(int sheet, const QString &code);
    void sheetCut(int sheet, const QString &code);
    void sheetPassed(int sheet, const QString &code);
    void sheetTimedOut(int sheet, const QString &code);
    void sheetDataRefused(const QString &why);

private:
    struct Link;
    void addLink(std::unique_ptr<Link> link);
    void received(Link *link, const QByteArray &bytes);
    bool nextFrame(Link *link);
    void malformed(const QString &why);
    void handle(Link *link, const QByteArray &frame);
    void handleCmd(Link *link, const QStringList &items);
    void handleCcmd(Link *link, const QStringList &elements);
    void reply(const QString &text);
    void writeTo(Link *link, const QByteArray &bytes);
    void flush(Link *link);
    void dump(const QByteArray &data);
    void startJob(const QByteArray &data, int copies, bool qr);
    void jobTick();
    void report();
    void removeLink(Link *link);
    void resetRegisters();
    // The stack of sheets (ktvirtualcutter_sheets.cpp).
    void startQrTask(int copies);
    void qrPlt(const QByteArray &data);
    void nextSheet();
    void sheetTick();
    void sheetReport(double percent);
    void sheetWaitExpired();
    void stopSheets();
    void notifyAll(const QString &text);

    QTcpServer *m_server = nullptr;
    std::vector<std::unique_ptr<Link>> m_links;
    Link *m_replyTo = nullptr;
    int m_ptyMaster = -1;
    int m_ptySlave = -1;   // held open so the master sees no hang-up before the host opens its end

    QMap<int, int> m_cmd;
    QMap<int, QString> m_ccmd;
    QList<QByteArray> m_frames;
    qint64 m_bytesReceived = 0;
    int m_malformed = 0;
    int m_pendingCopies = 1;
    QByteArray m_cutData;

    QTimer m_job;
    QElapsedTimer m_jobClock;
    qint64 m_copyMs = 0;
    int m_jobCopies = 0;
    int m_finished = 0;
    int m_status = 1;
    bool m_qrJob = false;
    int m_qrSent = 0;
    qint64 m_pausedMs = 0;
    QElapsedTimer m_pauseClock;
    QString m_fileName;
    int m_jobNumber = 0;

    QTimer m_sheetWait;
    bool m_sheetTask = false;
    bool m_stackLoaded = false;
    bool m_sheetWaiting = false;
    int m_sheetsWanted = 0;
    int m_sheetsTaken = 0;
    int m_sheetsDone = 0;
    QString m_sheetCode;
};

#endif // KTVIRTUALCUTTER_H
