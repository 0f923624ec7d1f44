// DXF drawings as any program (or none) writes them, through the DXF reader
// and the DXF library behind it.
#include "fuzz/fuzzjob.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes = QByteArray::fromRawData(reinterpret_cast<const char *>(data), int(size));
    KTJob::Paths paths;
    ktFuzzLimit(&paths);
    ktCheckRead(KTJob::readDxf(bytes, &paths), paths);
    KTJob::writeHpgl(paths);
    return 0;
}
