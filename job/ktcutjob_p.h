#ifndef KTCUTJOB_P_H
#define KTCUTJOB_P_H

// Not part of the installed API.
#include "job/ktcutjob.h"
#include "job/kthpgl.h"
#include "job/ktjobpaths.h"

#include <QTransform>

class KTCutJobPrivate
{
public:
    // Settings
    QSizeF plotArea;
    double scale = 1.0;
    int rotation = 0;
    bool mirrored = false;
    bool hasOrigin = false;
    QPointF origin;
    QSizeF fit;
    bool asIs = false;
    bool dropLabels = false;

    // The file
    QString name;
    QString error;
    QByteArray bytes;       // until the job made from the paths is written
    qint64 fileSize = 0;
    KTCutJob::Format format = KTCutJob::Unknown;

    // What was made of it
    mutable KTJob::Paths paths;
    mutable bool pathsRead = true;   // false: read from the file when asked for
    KTJob::Figures figures;
    KTHpgl::Facts facts;     // HPGL only
    int droppedLabels = 0;
    bool normalized = false;
    // The bytes that would break a frame lie between commands, so the job
    // made from the paths leaves them behind: they are no longer errors.
    bool errorsLeftBehind = false;
    QString refusal;
    QStringList warnings;
    // The file as it is, or the job made from the paths once it is asked
    // for: a host that only writes the job into a file never holds it.
    mutable QByteArray cutData;
    bool jobReady = false;   // the paths make a job (normalized, not refused)

    bool placed() const;
    void read();
    void readHpgl();
    KTHpgl::Options hpglOptions(KTJob::Paths *into) const;
    void ensurePaths() const;
    void readDesign();
    bool place();
    void decide();
    QString hpglRefusal() const;
    const QByteArray &job() const;
};

namespace KTJob {

// Offset of the first byte the plug-in's text conversions (the local 8-bit
// text for TCP, UTF-8 for USB) would not give back as it is; -1 when none.
qint64 firstUnsafeByte(const QByteArray &bytes, qint64 from);
// Which reader a file's first bytes call for.
KTCutJob::Format detectFormat(const QByteArray &bytes);

} // namespace KTJob

#endif // KTCUTJOB_P_H
