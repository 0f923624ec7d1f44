#include "job/ktjobtrace.h"

// Debug lines off unless asked for (QT_LOGGING_RULES="kt.job.debug=true").
Q_LOGGING_CATEGORY(ktJob, "kt.job", QtInfoMsg)

namespace KTJob {

namespace {

QtMessageHandler previousHandler = nullptr;

void routeLibraryMessage(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    const char *category = context.category ? context.category : "default";
    const bool library = qstrcmp(category, "default") == 0 || qstrncmp(category, "qt.svg", 6) == 0;
    if (library && type != QtFatalMsg) {
        qCDebug(ktJob, "%s: %s", category, qUtf8Printable(message));
        return;
    }
    if (previousHandler)  // Qt hands back its default handler, never null
        previousHandler(type, context, message);
}

} // namespace

LibraryMessages::LibraryMessages()
    : m_previous(qInstallMessageHandler(routeLibraryMessage))
{
    previousHandler = m_previous;
}

LibraryMessages::~LibraryMessages()
{
    qInstallMessageHandler(m_previous);
    previousHandler = m_previous;
}

} // namespace KTJob
