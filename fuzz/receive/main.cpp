// Bytes from the machine, in reads of any size, into a fully built device. The
// first byte chooses what the host does on each message: nothing, read the
// next chunk itself (as a nested event loop would), or delete the device.
#include "fuzz/fuzzapp.h"
#include "plugin/ktmrc600cam.h"

#include <QPointer>

#include <fuzzer/FuzzedDataProvider.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    ktFuzzApp();
    static KTMRC600Cam root;
    FuzzedDataProvider in(data, size);
    const uint8_t host = in.ConsumeIntegral<uint8_t>();
    QVector<QByteArray> chunks;
    while (in.remaining_bytes() > 0) {
        const std::string bytes = in.ConsumeBytesAsString(in.ConsumeIntegralInRange<size_t>(1, 80));
        chunks.append(QByteArray(bytes.data(), int(bytes.size())));
    }

    QPointer<KTCommonInterface> device(static_cast<KTCommonInterface *>(root.initInstance()));
    int next = 0;
    int messages = 0;
    QObject::connect(device.data(), &KTDeviceInterface::message, [&]() {
        ++messages;
        if ((host & 3) == 1 && next < chunks.size())
            device->slot_usb_read(chunks.at(next++));
        else if ((host & 3) == 2 && messages > (host >> 2))
            delete device.data();
    });
    while (device && next < chunks.size())
        device->slot_usb_read(chunks.at(next++));
    if (device && device->receiveBuffer().size() > KTFrame::MaxPendingBytes + 80)
        __builtin_trap();   // the receive buffer outgrew its bound
    delete device.data();
    return 0;
}
