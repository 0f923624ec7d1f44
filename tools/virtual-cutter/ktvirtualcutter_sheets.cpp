// The stack of sheets of a QR-code task: the camera reads each sheet's code,
// the machine tells the host, and cuts whatever cut data the host answers with.
#include "tools/virtual-cutter/ktvirtualcutter.h"

#include <QRegularExpression>

namespace {

// A sheet's dump and report name: its place in the stack and its code, with
// nothing that could leave the dump directory or split a report.
QString sheetFileName(int sheet, const QString &code)
{
    QString name = code.left(64);
    name.replace(QRegularExpression(QStringLiteral("[^A-Za-z0-9_.-]")), QStringLiteral("_"));
    return QStringLiteral("sheet%1-%2.plt").arg(sheet).arg(name.isEmpty() ? QStringLiteral("unread") : name);
}

} // namespace

bool KTVirtualCutter::isSheetCode(const QString &code)
{
    for (const QChar c : code) {
        if (c.unicode() < 0x20 || c == QLatin1Char(',') || c == QLatin1Char(';') || c.unicode() == 0x7f)
            return false;
    }
    return code.size() <= 256;
}

void KTVirtualCutter::startQrTask(int copies)
{
    if (sheets.isEmpty() && !m_stackLoaded) {
        startJob(m_cutData, copies, true);
        return;
    }
    // The copies are the sheets to take; the stack may run out first.
    m_job.stop();
    m_sheetTask = true;
    m_qrJob = false;
    m_sheetsWanted = copies;
    m_sheetsTaken = 0;
    m_sheetsDone = 0;
    m_jobCopies = copies;
    m_finished = 0;
    m_status = 2;
    ++m_jobNumber;
    nextSheet();
}

void KTVirtualCutter::nextSheet()
{
    if (m_sheetsTaken >= m_sheetsWanted || sheets.isEmpty()) {
        m_sheetTask = false;
        m_status = 1;
        sheetReport(100);
        emit jobFinished(m_sheetsDone);
        return;
    }
    m_stackLoaded = true;   // an empty stack now stays a stack
    m_sheetCode = sheets.takeFirst();
    ++m_sheetsTaken;
    m_fileName = sheetFileName(m_sheetsTaken, m_sheetCode);
    m_sheetWaiting = true;
    m_sheetWait.start(sheetWaitMs);
    emit sheetWaiting(m_sheetsTaken, m_sheetCode);
    notifyAll(QStringLiteral("CCMD;55,0,%1;").arg(m_sheetCode));
}

// Cut data for the waiting sheet; empty data passes the sheet by uncut.
void KTVirtualCutter::qrPlt(const QByteArray &data)
{
    if (sheets.isEmpty() && !m_stackLoaded) {
        m_cutData = data;   // kept for a QR-code task without a stack
        return;
    }
    if (!m_sheetWaiting) {
        emit sheetDataRefused(QStringLiteral("cut data (%1 bytes) with no sheet waiting for it").arg(data.size()));
        const int status = m_status;
        m_status = 5;
        sheetReport(0);
        m_status = status;
        return;
    }
    m_sheetWait.stop();
    m_sheetWaiting = false;
    if (data.isEmpty()) {
        emit sheetPassed(m_sheetsTaken, m_sheetCode);
        nextSheet();
        return;
    }
    dump(data);
    m_copyMs = qMax<qint64>(200, qint64(data.size()) * 1000 / qMax<qint64>(1, cutBytesPerSecond));
    m_pausedMs = 0;
    m_jobClock.start();
    m_job.start(reportIntervalMs);
    sheetReport(0);
}

void KTVirtualCutter::sheetTick()
{
    if (m_status == 3)
        return;
    const qint64 elapsed = m_jobClock.elapsed() - m_pausedMs;
    const double percent = qMin(100.0, 100.0 * double(elapsed) / double(m_copyMs));
    if (faults.dropAtPercent >= 0 && percent >= faults.dropAtPercent) {
        dropConnections();
        return;
    }
    const bool stall = faults.stallAtPercent >= 0 && percent >= faults.stallAtPercent;
    if (stall && percent < 100) {
        m_job.stop();
        faults.silent = true;
        emit jobStalled(int(percent));
        return;
    }
    if (elapsed < m_copyMs) {
        sheetReport(percent);
        return;
    }
    m_job.stop();
    m_finished = ++m_sheetsDone;
    sheetReport(100);
    emit sheetCut(m_sheetsTaken, m_sheetCode);
    if (stall) {   // silent between this sheet and the next
        faults.silent = true;
        emit jobStalled(100);
        return;
    }
    nextSheet();
}

void KTVirtualCutter::sheetWaitExpired()
{
    m_sheetWaiting = false;
    m_sheetTask = false;
    m_status = 5;
    sheetReport(0);
    m_status = 1;
    emit sheetTimedOut(m_sheetsTaken, m_sheetCode);
}

void KTVirtualCutter::stopSheets()
{
    m_sheetWait.stop();
    m_sheetWaiting = false;
    m_sheetTask = false;
}

// Progress of a sheet task: the task's sheets as its copies, those cut as
// finished, the sheet under the knife as its file.
void KTVirtualCutter::sheetReport(double percent)
{
    notifyAll(QStringLiteral("CCMD;66,%1,%2,%3,%4,%5,0,0,0;")
                  .arg(m_status)
                  .arg(m_fileName)
                  .arg(m_sheetsWanted)
                  .arg(m_sheetsDone)
                  .arg(QString::number(percent, 'f', 1)));
}

void KTVirtualCutter::notifyAll(const QString &text)
{
    const QByteArray frame = KTFrame::pack(text.section(';', 1), text.section(';', 0, 0));
    for (const auto &link : m_links)
        writeTo(link.get(), frame);
}
