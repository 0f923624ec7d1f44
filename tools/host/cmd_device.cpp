// jog and watch: the tool head moved, and the machine's messages followed.
#include "tools/host/hostcommand.h"
#include "tools/host/kthost.h"

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

int runWatch(HostContext &c)
{
    QObject::connect(&c.host, &KTHost::deviceMessage, [](KTDeviceInterface::KTDeviceMessage kind, const QString &text) {
        static const char *kinds[] = {"status", "task", "qrcode"};
        hostOut() << kinds[qBound(0, int(kind), 2)] << ": " << text << "\n";
        hostOut().flush();
    });
    c.host.waitFor([&] { return c.host.linkLost(); }, std::numeric_limits<int>::max());
    if (c.host.isInterrupted())
        return KTHost::Interrupted;
    return hostFail(KTHost::LinkFailure, "link lost (" + c.host.lastStatus() + ")");
}
