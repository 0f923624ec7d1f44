#ifndef HOSTTASK_H
#define HOSTTASK_H

#include <QJsonObject>
#include <QString>

struct HostContext;
class KTDeviceInterface;

// The machine's task as its reports show it, for the cut and QR commands.
namespace HostTask {

// Task states of the machine's reports.
constexpr int NoTask = 0, Idle = 1, Working = 2, Paused = 3, Failed = 5;

inline bool isRunning(int status)
{
    return status == Working || status == Paused;
}

// The last TASK record the plug-in holds; empty when it has none.
QJsonObject record(KTDeviceInterface *d);

// Sends the stop command and waits up to waitMs for a report that the
// machine no longer works; says which of the two happened, or that no stop
// could be sent (the link is gone).
QString stop(HostContext &c, int waitMs);

} // namespace HostTask

#endif // HOSTTASK_H
