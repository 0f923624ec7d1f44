// Cloud answers (status and body of each request, in order) to a registered
// device; the device may be deleted before any of them arrives.
#include "fuzz/cloudanswers.h"
#include "fuzz/fuzzapp.h"
#include "plugin/ktmrc600cam.h"

#include <QPointer>

#include <fuzzer/FuzzedDataProvider.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    ktFuzzApp();
    static KTMRC600Cam root;
    static const int statuses[] = {0, 200, 201, 204, 400, 404, 500};
    FuzzedDataProvider in(data, size);
    AnsweringCloud cloud;
    QPointer<KTCommonInterface> device(static_cast<KTCommonInterface *>(root.initInstance()));
    const std::string code = in.ConsumeRandomLengthString(16);
    const int deleteAt = in.ConsumeIntegralInRange<int>(0, 8);
    device->setNuvexaCloud(&cloud, QString::fromStdString(code));

    for (int answered = 0; !cloud.requests.isEmpty() && answered < 16; ++answered) {
        if (answered == deleteAt)
            delete device.data();
        const int status = in.ConsumeBool() ? statuses[in.ConsumeIntegralInRange<size_t>(0, 6)]
                                            : in.ConsumeIntegral<int>();
        const std::string body = in.ConsumeRandomLengthString(256);
        cloud.answer(status, QByteArray(body.data(), int(body.size())));
        // A finished job reports its record to the cloud as well.
        if (device && in.ConsumeBool()) {
            device->slot_usb_read("\x02" "0;CCMD;66,3,a.plt,2,2,100,0,0,0;\x03");
            device->stopTask();
        }
    }
    delete device.data();
    return 0;
}
