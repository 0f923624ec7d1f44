#ifndef KTCUTJOB_H
#define KTCUTJOB_H

#include "ktjob_export.h"

#include <QByteArray>
#include <QImage>
#include <QJsonObject>
#include <QPointF>
#include <QPolygon>
#include <QRectF>
#include <QScopedPointer>
#include <QSizeF>
#include <QString>
#include <QStringList>

class KTCutJobPrivate;
class QIODevice;

// A job file as the machine will cut it. HPGL (and HP-GL/2), SVG, PDF and DXF
// are read into one set of cut paths in machine units (40 a millimetre, y
// up), placed as asked, and measured; from those paths come the preview,
// TASK_FILE_INFO and the cut data. A file of plain HPGL (IN, PU, PD, PA, PR,
// SP, VS, FS) is sent as it is; anything else as the job its paths make, so
// what the preview shows is what the machine gets. SVG and PDF are painted
// to be read, and so need a QGuiApplication (QT_QPA_PLATFORM=offscreen will
// do where there is no display); without one they are refused.
//
//     KTCutJob job;
//     job.load("label.svg");
//     if (!job.refusal().isEmpty()) { report(job.refusal()); return; }
//     fileInfo->setValue(job.taskFileInfo());
//     cutData->setValue(job.cutText(&error));
class KTJOB_EXPORT KTCutJob
{
public:
    enum Format { Unknown, Hpgl, Svg, Pdf, Dxf };

    KTCutJob();
    ~KTCutJob();

    // How the file is read and placed; set before load() or setData().
    // The area a HPGL file scales against when it sets no P1/P2 (mm).
    void setPlotArea(const QSizeF &mm);
    void setScale(double factor);
    // Counter-clockwise, 0, 90, 180 or 270 degrees; any other is refused.
    void setRotation(int degrees);
    // Mirrored left to right, as cutting from the back of the sheet needs.
    void setMirrored(bool mirrored);
    // Where the drawing's lower-left corner goes (mm); without it the
    // corner stays where the file put it.
    void setOrigin(const QPointF &mm);
    // Scaled, proportions kept, to fill WxH mm at most; instead of setScale().
    void setFit(const QSizeF &mm);
    // The file's bytes sent as they are, or the job refused.
    void setAsIs(bool asIs);
    // HPGL text labels left out of the job.
    void setDropLabels(bool drop);

    // False when the file cannot be read at all (errorString()).
    bool load(const QString &path);
    void setData(const QByteArray &bytes, const QString &name = QString());
    QString errorString() const;

    QString fileName() const;
    Format format() const;
    static QString formatName(Format format);
    qint64 fileSize() const;

    // Why the job cannot be cut and what to do, in one line; empty when it can.
    QString refusal() const;
    // What the user should know that does not stop the cut, a line each.
    QStringList warnings() const;
    // True when cutData() is the job made from the paths, not the file.
    bool isNormalized() const;

    double widthMm() const;
    double heightMm() const;
    double pathLengthMm() const;
    qint64 strokes() const;
    // Cut extent in mm, y up.
    QRectF boundsMm() const;
    int pathCount() const;
    // One cut polyline in machine units, y up.
    QPolygon path(int index) const;

    // TASK_FILE_INFO for the plug-in: whole millimetres.
    QJsonObject taskFileInfo() const;
    // The bytes the machine gets; empty when the job is refused.
    QByteArray cutData() const;
    // Its size, without writing the job made from the paths.
    qint64 cutDataSize() const;
    // The cut data written into device as it is made: the job made from the
    // paths can be several times its file, and is never held whole here.
    // The bytes written, or -1 when the job is refused or the device fails.
    qint64 writeCutData(QIODevice *device) const;
    // The cut data as the text the plug-in takes; a null text and the reason
    // when its conversion would not give the machine these very bytes.
    QString cutText(QString *error) const;
    // The cut paths on white at up to pixelsPerMm, the extent dashed, the
    // size and path length written below.
    QImage preview(double pixelsPerMm = 10.0) const;
    // Every figure and problem, for tools that print them.
    QJsonObject facts() const;

private:
    Q_DISABLE_COPY(KTCutJob)
    Q_DECLARE_PRIVATE(KTCutJob)
    QScopedPointer<KTCutJobPrivate> d_ptr;
};

#endif // KTCUTJOB_H
