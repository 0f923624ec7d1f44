#ifndef QRJOBS_H
#define QRJOBS_H

#include <QDir>
#include <QString>

// How the code read from a sheet names its job in the jobs directory.
// A code names a job when it is 1 to 100 letters, digits, ".", "_" or "-"
// and does not start with "." (so no code reaches outside the directory or a
// hidden file). The job is the file DIR/CODE, or else the one file
// DIR/CODE.EXT; letter case counts.
namespace QrJobs {

constexpr int MaxCodeLength = 100;

// Empty when the code can name a job; otherwise why not, following "it".
QString nameProblem(const QString &code);
// The job file the code names in dir; a null text and why when there is none.
QString find(const QDir &dir, const QString &code, QString *why);

} // namespace QrJobs

#endif // QRJOBS_H
