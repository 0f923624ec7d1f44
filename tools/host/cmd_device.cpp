// jog and watch: the tool head moved, and the machine's messages followed as words.
#include "tools/host/hostcommand.h"
#include "tools/host/hosttext.h"
#include "tools/host/kthost.h"
#include "property/ktdeviceproperty.h"

#include <QDateTime>
#include <QJsonObject>
#include <QTimer>

#include <limits>

namespace {

bool jogSteps(const QStringList &args, int *dx, int *dy)
{
    bool okX = false, okY = false;
    *dx = args.value(0).toInt(&okX);
    *dy = args.value(1).toInt(&okY);
    return okX && okY;
}

} // namespace

int checkJog(HostContext &c)
{
    int dx = 0, dy = 0;
    if (!jogSteps(c.args, &dx, &dy))
        return hostFail(KTHost::Usage, QStringLiteral("jog takes two whole numbers, DX DY, not \"%1\"").arg(c.args.join(' ')));
    return KTHost::Ok;
}

int runJog(HostContext &c)
{
    int dx = 0, dy = 0;
    jogSteps(c.args, &dx, &dy);
    c.device()->move(dy, dx);
    QString error;
    if (!c.host.barrier(c.timeoutMs, &error)) {
        if (c.host.isInterrupted())
            return KTHost::Interrupted;
        return hostFail(KTHost::LinkFailure, "jog: " + error);
    }
    hostOut() << "jogged X " << (dx > 0 ? "+" : dx < 0 ? "-" : "0") << " Y " << (dy > 0 ? "+" : dy < 0 ? "-" : "0")
              << "\n";
    return KTHost::Ok;
}

namespace {

// A task report as words: status, file, copies finished of the total, percent.
QString taskLine(KTDeviceInterface *d)
{
    KTDeviceProperty *t = d->property_ptr("TASK");
    const QJsonObject task = t ? t->value().toJsonObject() : QJsonObject();
    static const char *words[] = {"no task", "idle", "working", "paused", "warning", "error"};
    const int status = task.value("Status").toInt();
    const QString word = status >= 0 && status <= 5 ? QString::fromLatin1(words[status])
                                                    : QStringLiteral("status %1").arg(status);
    return QStringLiteral("%1 %2  copies %3/%4  %5%")
        .arg(word, HostText::printable(task.value("FileName").toString()))
        .arg(task.value("Finished").toInt())
        .arg(task.value("TaskCopies").toInt())
        .arg(task.value("Percent").toInt());
}

void printLine(const char *kind, const QString &text)
{
    hostOut() << kind << ": " << text << "\n";
    hostOut().flush();
}

} // namespace

int runWatch(HostContext &c)
{
    KTHost &host = c.host;
    KTDeviceInterface *d = c.device();
    printLine("status", HostText::printable(host.lastStatus()));   // the link came up before the watch began
    QObject::connect(&host, &KTHost::deviceMessage, [d](KTDeviceInterface::KTDeviceMessage kind, const QString &text) {
        if (kind == KTDeviceInterface::DevTasK)
            printLine("task", taskLine(d));
        else
            printLine(kind == KTDeviceInterface::Qrcode ? "qrcode" : "status", HostText::printable(text));
    });
    // The plug-in gives a silent machine up only after 30 s. The user hears of
    // the silence once it lasts --timeout, but never before a heartbeat
    // answer was due: LAST_TIME holds when the machine last sent anything.
    KTDeviceProperty *heartbeat = d->property_ptr("HEARTBEAT");
    const qint64 limitMs = qMax<qint64>(c.timeoutMs, (qMax(1, heartbeat ? heartbeat->value().toInt() : 1) + 1) * 1000LL);
    bool quiet = false;
    QTimer check;
    QObject::connect(&check, &QTimer::timeout, [&] {
        KTDeviceProperty *last = d->property_ptr("LAST_TIME");
        if (!last || host.linkLost())
            return;
        const qint64 silentMs = last->value().toDateTime().msecsTo(QDateTime::currentDateTime());
        if (!quiet && silentMs >= limitMs)
            printLine("status", QStringLiteral("no answer from the machine for %1 s; the link counts as lost after 30 s")
                                    .arg(silentMs / 1000));
        else if (quiet && silentMs < limitMs)
            printLine("status", QStringLiteral("the machine answers again"));
        quiet = silentMs >= limitMs;
    });
    check.start(250);
    host.waitFor([&] { return host.linkLost(); }, std::numeric_limits<int>::max());
    if (host.isInterrupted())
        return KTHost::Interrupted;
    return hostFail(KTHost::LinkFailure, "link lost (" + host.lastStatus() + ")");
}
