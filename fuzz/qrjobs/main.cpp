// The code a sheet's QR code gives, as the machine reports it, turned into a
// job file: whatever the code, the job found is a file inside the jobs
// directory, and a code refused is refused with a reason.
#include "fuzz/fuzzapp.h"
#include "tools/host/qrjobs.h"

#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

namespace {

// Jobs with and without extensions, a code naming two jobs, a link leading
// out of the directory, a subdirectory and a hidden file.
const QTemporaryDir &jobsDir()
{
    static QTemporaryDir top;
    static const bool made = [] {
        QDir(top.path()).mkpath("jobs/sub");
        for (const char *name : {"jobs/A-1.plt", "jobs/b2.hpgl", "jobs/C3", "jobs/dup.plt", "jobs/dup.hpgl",
                                 "jobs/sub/x.plt", "jobs/.hidden.plt", "outside.plt"}) {
            QFile f(top.filePath(name));
            f.open(QIODevice::WriteOnly);
        }
        QFile::link(top.filePath("outside.plt"), top.filePath("jobs/out.plt"));
        return true;
    }();
    (void)made;
    return top;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    ktFuzzApp();
    const QDir dir(jobsDir().filePath("jobs"));
    static const QString base = QFileInfo(dir.path()).canonicalFilePath();
    const QByteArray bytes(reinterpret_cast<const char *>(data), int(qMin<size_t>(size, 256)));
    for (const QString &code : {QString::fromUtf8(bytes), QString::fromLatin1(bytes)}) {
        QString why;
        const QString path = QrJobs::find(dir, code, &why);
        if (path.isNull() == why.isEmpty())
            __builtin_trap();   // a job and a reason, or neither
        if (!path.isNull()) {
            const QFileInfo job(QFileInfo(path).canonicalFilePath());
            if (!job.isFile() || job.path() != base || !QrJobs::nameProblem(code).isEmpty())
                __builtin_trap();   // outside the directory, or from a code no job name could match
        }
    }
    return 0;
}
