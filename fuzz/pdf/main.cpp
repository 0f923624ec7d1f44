// Drawings as any program (or none) writes them, through the PDF reader.
#include "fuzz/fuzzjob.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    ktFuzzGuiApp();
    const QByteArray bytes = QByteArray::fromRawData(reinterpret_cast<const char *>(data), int(size));
    KTJob::Paths paths;
    ktFuzzLimit(&paths);
    ktCheckRead(KTJob::readPdf(bytes, &paths), paths);
    return 0;
}
