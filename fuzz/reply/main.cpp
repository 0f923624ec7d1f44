// Any frame text through the reply parser, checked against the plain
// field-by-field reading with QString::split it replaces.
#include "property/ktframe.h"

#include <QStringList>

namespace {

void check(bool ok)
{
    if (!ok)
        __builtin_trap();
}

void compare(const QString &text)
{
    const KTFrame::Reply r = KTFrame::parseReply(text);
    check(r.frame == text);
    const QStringList fields = text.split(QLatin1Char(';'));
    if (fields.size() < 3) {
        check(r.word == KTFrame::Reply::Invalid);
        return;
    }
    if (fields.at(1) == QLatin1String("CMD")) {
        check(r.word == KTFrame::Reply::Cmd);
        QStringList values;
        int number = 0;
        for (int i = 2; i < fields.size() - 1; ++i) {
            QString name, value;
            int n = 0;
            KTFrame::splitCmdItem(fields.at(i), name, n, value);
            values.append(value);
            if (i == 2)
                number = n;
        }
        check(r.values == values);
        check(r.number == number);
    } else if (fields.at(1) == QLatin1String("CCMD")) {
        check(r.word == KTFrame::Reply::Ccmd);
        const QStringList e = fields.at(2).split(QLatin1Char(','));
        check(r.elementCount == e.size());
        check(r.elements() == e);
        check(r.body() == fields.at(2));
        check(r.number == e.at(0).toInt(nullptr, 10));
        check(r.lastElement() == e.last());
        if (e.size() >= 2) {
            check(r.status == e.at(1).toInt(nullptr, 10));
            check(r.element1() == e.at(1));
        }
        check(r.values == e.mid(2));
    } else {
        check(r.word == KTFrame::Reply::Other);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), int(size));
    compare(KTFrame::frameText(bytes));
    // Text a host hands to decode_cmd need not stop at NUL nor be UTF-8.
    compare(QString::fromLatin1(bytes));
    return 0;
}
