#ifndef KTTRACE_H
#define KTTRACE_H

#include <QLoggingCategory>
#include <QByteArray>

// The plug-in's own trace categories, so a host can switch them on or off
// without touching its own output (QT_LOGGING_RULES="kt.*.debug=false").
Q_DECLARE_LOGGING_CATEGORY(ktLink)       // kt.device.link: connections, transports, receive buffer
Q_DECLARE_LOGGING_CATEGORY(ktDispatch)   // kt.device.dispatch: reply frames and their parameters
Q_DECLARE_LOGGING_CATEGORY(ktTask)       // kt.device.task: cut and QR jobs
Q_DECLARE_LOGGING_CATEGORY(ktCloud)      // kt.cloud: registration, relay, work records

// Long buffers are traced by their head only, so a large pending frame does
// not turn every read into a copy of the whole buffer.
inline QByteArray ktTraceBytes(const QByteArray &bytes, int limit = 256)
{
    if (bytes.size() <= limit)
        return bytes;
    return bytes.left(limit) + "... (" + QByteArray::number(bytes.size()) + " bytes)";
}

#endif // KTTRACE_H
