// Files given to kt-host's diff and restore as backups, and each value read
// from them against every kind of parameter a machine has.
#include "fuzz/fuzzapp.h"
#include "tools/host/hostbackup.h"
#include "tools/host/ktvalue.h"

#include <QMetaType>

#include <cstdint>

// Qt 5.15's JSON parser leaks the first value of a key repeated in an object
// when that value is an object or an array ({"a":{"b":1},"a":{"b":1}}), before
// any of our code sees the document; the reader allocates nothing itself.
extern "C" const char *__asan_default_options()
{
    return "detect_leaks=0";
}

namespace {

// One form per kind of machine value: text, 16- and 32-bit words, unsigned,
// a double without words.
QList<KTValue::Form> forms()
{
    QList<KTValue::Form> out;
    KTValue::Form text;
    text.rawType = QMetaType::QString;
    text.writable = true;
    out << text;
    const struct { int type; int words; double min, max, factor; } numeric[] = {
        {QMetaType::Int, 1, 0, 1000, 1.5},
        {QMetaType::Int, 2, -100000, 100000, 0.1},
        {QMetaType::UInt, 2, 0, 4294967295.0, 1},
        {QMetaType::Double, 0, -1e6, 1e6, 1},
        {QMetaType::LongLong, 0, 0, 0, 1},
    };
    for (const auto &n : numeric) {
        KTValue::Form f;
        f.rawType = n.type;
        f.words = n.words;
        f.min = n.min;
        f.max = n.max;
        f.factor = n.factor;
        f.numeric = true;
        f.control = n.type == QMetaType::Double ? KTValue::Control::DoubleSpin : KTValue::Control::Spin;
        f.writable = true;
        out << f;
    }
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    ktFuzzApp();
    static const QList<KTValue::Form> kinds = forms();
    HostBackup::Backup backup;
    QString why;
    if (!HostBackup::read(QByteArray(reinterpret_cast<const char *>(data), int(size)), &backup, &why))
        return 0;
    if (!why.isEmpty())
        __builtin_trap();   // read with a reason to refuse
    for (const auto &entry : qAsConst(backup.values)) {
        if (entry.first.isEmpty())
            __builtin_trap();
        for (const KTValue::Form &form : kinds) {
            const QVariant value = HostBackup::fileValue(form, entry.second);
            if (!value.isValid())
                continue;
            KTValue::check(form, value);
            KTValue::sameValue(form, value, value);
            KTValue::display(form, value);
        }
    }
    return 0;
}
