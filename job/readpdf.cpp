#include "job/ktjobreaders.h"
#include "job/ktjobtrace.h"
#include "job/ktpathrecorder.h"
#include "job/ktreadnotes.h"

#include <QGuiApplication>
#include <QPainter>
#include <QPicture>

#include <poppler-qt5.h>

#include <memory>

namespace KTJob {

namespace {

// Larger files are refused before the PDF library sees them.
constexpr int MaxPdfBytes = 256 << 20;

// A font neither embedded nor found on this computer: the library's
// painter output dereferences the font it could not load when the text
// is drawn, so such a page is not handed to it. The name, when any.
bool unloadableFont(Poppler::Document *doc, QString *name)
{
    const std::unique_ptr<Poppler::FontIterator> fonts(doc->newFontIterator(0));
    if (!fonts || !fonts->hasNext())
        return false;
    for (const Poppler::FontInfo &font : fonts->next()) {
        if (font.isEmbedded() || !font.file().isEmpty())
            continue;
        *name = oneLine(font.name(), 64);
        return true;
    }
    return false;
}

void popplerMessage(const QString &message, const QVariant &)
{
    qCDebug(ktJob, "pdf: %s", qUtf8Printable(message));
}

} // namespace

ReadResult readPdf(const QByteArray &bytes, Paths *paths)
{
    ReadResult result;
    if (bytes.size() > MaxPdfBytes) {
        result.error = QStringLiteral("the PDF file is larger than 256 MiB; export only the page to cut");
        return result;
    }
    if (!qobject_cast<QGuiApplication *>(QCoreApplication::instance())) {
        // Fonts, and so text, need the GUI application object.
        result.error = QStringLiteral("PDF files can only be read in a program that runs a QGuiApplication");
        return result;
    }
    // The library prints its complaints about damaged files to stderr;
    // they go to kt.job, and the user gets the one line below.
    Poppler::setDebugErrorFunction(popplerMessage, QVariant());
    LibraryMessages quiet;
    const std::unique_ptr<Poppler::Document> doc(Poppler::Document::loadFromData(bytes));
    if (!doc) {
        result.error = QStringLiteral("the file is not a PDF that can be read (it may be damaged); export the drawing as PDF again");
        return result;
    }
    if (doc->isLocked()) {
        result.error = QStringLiteral("the PDF is encrypted; save it without a password");
        return result;
    }
    const int pages = doc->numPages();
    const std::unique_ptr<Poppler::Page> page(pages > 0 ? doc->page(0) : nullptr);
    const QSizeF size = page ? page->pageSizeF() : QSizeF();
    if (!page || !(size.width() > 0) || !(size.height() > 0)) {
        result.error = QStringLiteral("the PDF has no page to cut; export the drawing as PDF again");
        return result;
    }
    QString font;
    if (unloadableFont(doc.get(), &font)) {
        result.error = QStringLiteral("the PDF uses %1, which is neither embedded in it nor installed here; export it again with its fonts embedded or its text as outlines")
                           .arg(font.isEmpty() ? QStringLiteral("a font") : QStringLiteral("the font \"%1\"").arg(font));
        return result;
    }
    doc->setRenderBackend(Poppler::Document::QPainterBackend);

    // The library sets the painter's transform itself, from the page's top
    // left corner, y down, at the resolution asked: machine units. The
    // recorder flips y so the page's lower-left corner is 0,0.
    const double unitsPerPoint = UnitsPerMm * 25.4 / 72;
    PathRecorder recorder(paths);
    recorder.setDeviceTransform(QTransform(1, 0, 0, -1, 0, size.height() * unitsPerPoint));
    recorder.setPage(QRectF(0, 0, size.width() * unitsPerPoint, size.height() * unitsPerPoint));
    // Transparency groups come as QPictures, played back scaled by the
    // device's resolution over theirs: the same, so they land unscaled.
    const QPicture picture;
    recorder.setDpi(picture.logicalDpiX(), picture.logicalDpiY());
    QPainter painter(&recorder);
    page->renderToPainter(&painter, 72 * unitsPerPoint, 72 * unitsPerPoint, -1, -1, -1, -1, Poppler::Page::Rotate0,
                          Poppler::Page::DontSaveAndRestore);
    painter.end();

    notePathsFailure(recorder, *paths, &result);
    if (pages > 1)
        result.notes.append(QStringLiteral("only the first page is cut: %1 more %2 not; cut each page as its own file")
                                .arg(pages - 1)
                                .arg(pages == 2 ? QStringLiteral("page is") : QStringLiteral("pages are")));
    if (recorder.backgrounds() > 0)
        result.notes.append(QStringLiteral("the page's background fill is not cut"));
    noteCount(&result.notes, recorder.images(), "image is not cut", "images are not cut");
    if (!page->text(QRectF()).trimmed().isEmpty())
        noteText(&result.notes);
    return result;
}

} // namespace KTJob
