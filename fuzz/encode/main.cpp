// Any parameter fields and value through each command type's encoding: a
// frame comes out whole (STX first, ETX last and nowhere else, its declared
// length its size) or not at all, and a reply's text decodes to the value's
// own type.
#include "property/ktcodec.h"
#include "property/ktframe.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cmath>
#include <limits>

namespace {

void check(bool ok)
{
    if (!ok)
        __builtin_trap();
}

QString text(FuzzedDataProvider &in, size_t max)
{
    const std::string s = in.ConsumeRandomLengthString(max);
    return QString::fromUtf8(s.data(), int(s.size()));
}

QVariant value(FuzzedDataProvider &in)
{
    switch (in.ConsumeIntegralInRange<int>(0, 6)) {
    case 0: return text(in, 64);
    case 1: return in.ConsumeIntegral<uint>();
    case 2: return in.ConsumeIntegral<int>();
    case 3: return in.ConsumeFloatingPoint<double>();
    case 4: return std::numeric_limits<double>::quiet_NaN();
    case 5: return QStringList{text(in, 8), text(in, 8), text(in, 8)};
    default: return QVariant();
    }
}

void whole(const QByteArray &frame)
{
    if (frame.isEmpty())
        return;
    check(frame.startsWith(KTFrame::STX) && frame.endsWith(KTFrame::ETX));
    check(frame.count(KTFrame::STX) == 1 && frame.count(KTFrame::ETX) == 1);
    const int semicolon = frame.indexOf(';');
    check(semicolon > 1);
    bool ok = false;
    check(frame.mid(1, semicolon - 1).toInt(&ok) == frame.size() && ok);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzedDataProvider in(data, size);
    KTCodec::Command c;
    c.type = KTDeviceInterface::KTDeviceCMDType(in.ConsumeIntegralInRange<int>(0, 7));
    c.getCmd = in.ConsumeIntegral<int>();
    c.setCmd = in.ConsumeIntegral<int>();
    c.cmdLen = in.ConsumeIntegralInRange<int>(-1, 8);
    for (int n = in.ConsumeIntegralInRange<int>(0, 2); n > 0; --n)
        c.param << text(in, 8);
    const QVariant v = value(in);
    QVariantList children;
    for (int n = in.ConsumeIntegralInRange<int>(0, 3); n > 0; --n)
        children << value(in);
    whole(KTCodec::readFrame(c));
    whole(KTCodec::writeFrame(c, v, children));

    const QString reply = text(in, 64);
    const QVariant decoded = KTCodec::decodeText(v, reply);
    check(decoded.userType() == v.userType());
    if (v.userType() == QMetaType::QString)
        check(decoded.toString() == reply);
    KTCodec::decodeWords(text(in, 8), text(in, 8));
    const QStringList values = reply.split(QLatin1Char(','));
    const int i = KTCodec::paramValueIndex(c.param, values);
    check(i == -1 || (i == c.param.size() && i < values.size()));
    return 0;
}
