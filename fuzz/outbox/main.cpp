// An outbox file of any bytes: opened, recognised as damaged or not, set
// aside and read back as far as it can be, then listed.
#include "fuzz/fuzzapp.h"
#include "platform/nuvexacloud/nuvexacloud.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    ktFuzzApp();
    static QTemporaryDir dir;
    // Set-aside copies of earlier inputs go with the folder's contents.
    for (const QString &name : QDir(dir.path()).entryList(QDir::Files | QDir::Hidden))
        QFile::remove(dir.filePath(name));
    const QString file = dir.filePath(QStringLiteral("outbox.sqlite"));
    {
        QFile out(file);
        if (!out.open(QIODevice::WriteOnly))
            return 0;
        out.write(reinterpret_cast<const char *>(data), qint64(size));
    }
    NuvexaCloud cloud(QStringLiteral("http://127.0.0.1:1/"), QString(), file);
    for (const NuvexaCloud::Record &r : cloud.pendingRecords())
        (void)r.body.size();
    (void)cloud.rejectedRecords();
    (void)cloud.outboxProblem();
    return 0;
}
