#ifndef KTJOBTRACE_H
#define KTJOBTRACE_H

#include <QLoggingCategory>

// kt.job: reading job files, and what the libraries that read them say.
Q_DECLARE_LOGGING_CATEGORY(ktJob)

namespace KTJob {

// While it lives, what a reading library prints (the SVG renderer's
// warnings, a PDF library's qDebug) goes to kt.job as debug lines instead
// of the user's terminal: the reader's own notes and error say what
// matters, one line each. Messages of other categories pass unchanged.
class LibraryMessages
{
public:
    LibraryMessages();
    ~LibraryMessages();
    LibraryMessages(const LibraryMessages &) = delete;
    LibraryMessages &operator=(const LibraryMessages &) = delete;

private:
    QtMessageHandler m_previous;
};

} // namespace KTJob

#endif // KTJOBTRACE_H
