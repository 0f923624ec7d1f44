// Bytes from a host to the virtual cutter, in pieces: frames by their
// declared length, CMD writes into 16-bit registers, CCMD writes, jobs.
#include "fuzz/fuzzapp.h"
#include "tools/virtual-cutter/ktvirtualcutter.h"

#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    ktFuzzApp();
    if (size < 1)
        return 0;
    // The first byte: how many bytes arrive at a time (0: all at once).
    const int step = data[0] ? data[0] : int(size);
    const QByteArray in(reinterpret_cast<const char *>(data + 1), int(size - 1));
    KTVirtualCutter cutter;
    for (int at = 0; at < in.size(); at += step)
        cutter.feed(in.mid(at, step));
    const QMap<int, int> registers = cutter.cmdRegisters();
    for (auto it = registers.cbegin(); it != registers.cend(); ++it) {
        if (it.value() < 0 || it.value() > 0xffff)
            __builtin_trap();
    }
    if (cutter.connectionCount() != 0)
        __builtin_trap();   // the fed link went with its bytes
    return 0;
}
