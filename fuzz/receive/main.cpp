// Feeds arbitrary bytes to the receive path of a fully built device.
#include "plugin/ktmrc600cam.h"

#include <QCoreApplication>
#include <QLoggingCategory>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static int argc = 1;
    static char name[] = "fuzz";
    static char *argv[] = {name, nullptr};
    static QCoreApplication app(argc, argv);
    static KTMRC600Cam root;
    static std::unique_ptr<KTDeviceInterface> device(root.initInstance());
    QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false"));
    static_cast<KTCommonInterface *>(device.get())->slot_usb_read(QByteArray(reinterpret_cast<const char *>(data), int(size)));
    return 0;
}
