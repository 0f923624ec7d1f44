#ifndef KTPATHRECORDER_H
#define KTPATHRECORDER_H

#include "job/ktjobpaths.h"

#include <QPaintDevice>
#include <QScopedPointer>

class KTPathRecorderEngine;

namespace KTJob {

// A paint device that keeps what is painted on it as cut paths: every
// stroked or filled outline once, mapped through the painter's transform
// into the model's machine units. Text arrives as its glyph outlines (the
// painter turns it into paths under a scaled transform, and Qt's fallback
// fills the outlines otherwise); images are counted, points dropped, not cut; clipping is ignored, since the
// cutter cuts whole outlines. Paint with a painter whose transform takes
// the document's coordinates to machine units.
class PathRecorder : public QPaintDevice
{
public:
    explicit PathRecorder(Paths *paths);
    ~PathRecorder() override;

    QPaintEngine *paintEngine() const override;
    // Device coordinates to machine units, after the painter's transform:
    // for a renderer that sets the painter's transform itself. Set before
    // painting.
    void setDeviceTransform(const QTransform &toUnits);
    // Logical dots an inch (72 unless set): a font's point size in device
    // units is its size times dpi / 72, and a QPicture played on the device
    // is scaled by dpi over the picture's own.
    void setDpi(int dpiX, int dpiY);

    // The page in machine units: a fill alone over all of it is the page's
    // background (as PDF writers paint white pages), not a line to cut.
    void setPage(const QRectF &units);
    int backgrounds() const;

    // False once a point fell beyond machine coordinates or the model was
    // full; nothing more is added after that.
    bool ok() const;
    int images() const;

protected:
    int metric(PaintDeviceMetric metric) const override;

private:
    QScopedPointer<KTPathRecorderEngine> m_engine;
    int m_dpiX = 72;
    int m_dpiY = 72;
};

} // namespace KTJob

#endif // KTPATHRECORDER_H
