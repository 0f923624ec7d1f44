// What a person types to the host: "KEY=VALUE" arguments, and values typed
// as a control shows them or as the machine's number, for every parameter of
// a full device.
#include "fuzz/fuzzapp.h"
#include "plugin/ktmrc600cam.h"
#include "property/ktdeviceproperty.h"
#include "tools/host/hosttext.h"
#include "tools/host/ktvalue.h"

#include <fuzzer/FuzzedDataProvider.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    ktFuzzApp();
    static KTMRC600Cam root;
    static std::unique_ptr<KTDeviceInterface> device(root.initInstance());
    static const QList<QByteArray> keys = device->dynamicPropertyNames();
    FuzzedDataProvider in(data, size);

    const std::string argument = in.ConsumeRandomLengthString(128);
    QString key, value, error;
    if (KTValue::parseAssignment(QString::fromUtf8(argument.data(), int(argument.size())), &key, &value, &error)
        && !error.isEmpty())
        __builtin_trap();   // accepted with a reason to refuse

    const QByteArray name = keys.at(in.ConsumeIntegralInRange<int>(0, keys.size() - 1));
    const KTValue::Form form = KTValue::formOf(device.get(), QString::fromLatin1(name));
    const bool raw = in.ConsumeBool();
    const std::string typed = in.ConsumeRandomLengthString(64);
    const QString text = QString::fromUtf8(typed.data(), int(typed.size()));
    const KTValue::Parsed parsed = raw ? KTValue::fromRaw(form, text) : KTValue::fromDisplay(form, text);
    KTValue::allowed(form, raw);
    // Whatever is echoed comes out as one printable line.
    const QString shown = HostText::printable(text);
    // By code point: half of a printable pair is no printable character.
    for (const uint c : shown.toUcs4()) {
        if (!QChar::isPrint(c))
            __builtin_trap();
    }
    if (HostText::printable(shown) != shown)
        __builtin_trap();
    QString why;
    const bool valid = HostText::checkHost(text, &why);
    if (valid != why.isEmpty())
        __builtin_trap();   // a reason exactly when refused
    if (parsed.ok()) {
        // What the host accepts it may send, and shows again.
        if (!KTValue::check(form, parsed.raw).isEmpty())
            __builtin_trap();
        KTValue::displayWithUnit(form, parsed.raw);
        KTValue::rawText(parsed.raw);
        KTValue::sameValue(form, parsed.raw, parsed.raw);
        KTValue::senseRule(form, parsed.raw);
        KTValue::roundedTo(form, text, parsed.raw);
        if (KTDeviceProperty *p = device->property_ptr(name.constData())) {
            const QVariant before = p->value();
            p->setValue(parsed.raw);
            p->set_cmd_bytes();
            p->setValue(before);
        }
    }
    return 0;
}
