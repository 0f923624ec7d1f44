#ifndef KTTRACE_H
#define KTTRACE_H

#include <QLoggingCategory>
#include <QByteArray>

// Traces on the receive path run per frame; building them is skipped when
// debug output is switched off (QT_LOGGING_RULES="default.debug=false").
inline bool ktTraceEnabled()
{
    return QLoggingCategory::defaultCategory()->isDebugEnabled();
}

// Long buffers are traced by their head only, so a large pending frame does
// not turn every read into a copy of the whole buffer.
inline QByteArray ktTraceBytes(const QByteArray &bytes, int limit = 256)
{
    if (bytes.size() <= limit)
        return bytes;
    return bytes.left(limit) + "... (" + QByteArray::number(bytes.size()) + " bytes)";
}

#endif // KTTRACE_H
