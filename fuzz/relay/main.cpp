// Texts arriving on the cloud relay of a registered device, with task
// reports from the machine in between.
#include "fuzz/cloudanswers.h"
#include "fuzz/fuzzapp.h"
#include "plugin/ktmrc600cam.h"

#include <fuzzer/FuzzedDataProvider.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    ktFuzzApp();
    static KTMRC600Cam root;
    FuzzedDataProvider in(data, size);
    AnsweringCloud cloud;
    std::unique_ptr<KTCommonInterface> device(static_cast<KTCommonInterface *>(root.initInstance()));
    device->setNuvexaCloud(&cloud, QStringLiteral("KT7F3A9C21"));
    while (in.remaining_bytes() > 0) {
        if (in.ConsumeBool())
            device->slot_usb_read("\x02" "0;CCMD;66,2,a.plt,3,1," + QByteArray::number(in.ConsumeIntegral<uint8_t>())
                                  + ",0,0,0;\x03");
        const std::string text = in.ConsumeRandomLengthString(512);
        device->slot_websocket_text_received(QString::fromUtf8(text.data(), int(text.size())));
    }
    return 0;
}
