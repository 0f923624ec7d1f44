#include "property/ktcodec.h"
#include "property/ktframe.h"

#include <cmath>

using T = KTDeviceInterface;

namespace {

// What one 16-bit command word can carry, read as signed or as unsigned.
constexpr double WordMin = -32768.0;
constexpr double WordMax = 65535.0;
// What the low and high words of a multi-word value carry together.
constexpr double LongMin = -2147483648.0;
constexpr double LongMax = 4294967295.0;

// The machine reads a number field as plain decimal digits: no exponent, no
// sign other than "-", no spaces, no separators.
bool isPlainNumber(const QString &text)
{
    int i = text.startsWith(QLatin1Char('-')) ? 1 : 0;
    int digits = 0;
    for (; i < text.size() && text.at(i).isDigit() && text.at(i).unicode() < 0x80; ++i)
        ++digits;
    if (digits == 0)
        return false;
    if (i == text.size())
        return true;
    if (text.at(i) != QLatin1Char('.'))
        return false;
    int fraction = 0;
    for (++i; i < text.size() && text.at(i).isDigit() && text.at(i).unicode() < 0x80; ++i)
        ++fraction;
    return fraction > 0 && i == text.size();
}

// A plain number within [lo, hi]; its value in *number.
bool numberWithin(const QString &text, double lo, double hi, double *number)
{
    if (!isPlainNumber(text))
        return false;
    bool ok = false;
    const double d = text.toDouble(&ok);
    if (!ok || !std::isfinite(d) || d < lo || d > hi)
        return false;
    *number = d;
    return true;
}

// Text that cannot change a frame's structure: no item (",") or field (";")
// separator and no control byte, STX and ETX included.
bool isFieldText(const QString &text)
{
    for (const QChar c : text) {
        const ushort u = c.unicode();
        if (u == ',' || u == ';' || u < 0x20 || u == 0x7f)
            return false;
    }
    return true;
}

bool isFieldValue(const QVariant &v)
{
    const int type = v.userType();
    if ((type == QMetaType::Double || type == QMetaType::Float) && !std::isfinite(v.toDouble()))
        return false;
    return isFieldText(v.toString());
}

// Cut data may hold any byte but the frame delimiters.
bool isBodyText(const QString &text)
{
    return !text.contains(QChar(KTFrame::STX)) && !text.contains(QChar(KTFrame::ETX));
}

} // namespace

namespace KTCodec {

QByteArray readFrame(const Command &c)
{
    if (c.type == T::UnCMD || c.cmdLen == 0 || c.getCmd == 0)
        return QByteArray();

    if (c.type == T::CMD) {
        QString body = QStringLiteral("GET");
        for (int i = 0; i < c.cmdLen; ++i)
            body += QString::number(qint64(c.getCmd) + i) + QLatin1Char(';');
        return KTFrame::pack(body, QStringLiteral("CMD"));
    }
    if (c.type == T::CCMD) {
        QString body = QString::number(c.getCmd);
        for (const QString &p : c.param) {
            if (!isFieldText(p))
                return QByteArray();
            body += QLatin1Char(',') + p;
        }
        body += QLatin1Char(';');
        return KTFrame::pack(body, QStringLiteral("CCMD"));
    }
    return QByteArray();
}

QByteArray writeFrame(const Command &c, const QVariant &value, const QVariantList &childValues)
{
    if (c.type == T::UnCMD || c.setCmd == 0)
        return QByteArray();

    switch (c.type) {
    case T::CCMD: {
        for (const QString &p : c.param) {
            if (!isFieldText(p))
                return QByteArray();
        }
        QString body = QString::number(c.setCmd);
        if (value.toStringList().size() < 2) {
            if (!isFieldValue(value))
                return QByteArray();
            body += QLatin1Char(',');
            for (const QString &p : c.param)
                body += p + QLatin1Char(',');
            body += value.toString() + QLatin1Char(';');
        } else {
            for (const QVariant &child : childValues) {
                if (!isFieldValue(child))
                    return QByteArray();
                body += QLatin1Char(',') + child.toString();
            }
            body += QLatin1Char(';');
        }
        return KTFrame::pack(body, QStringLiteral("CCMD"));
    }
    case T::CMD: {
        // Longer spans would need words the value does not have; writing
        // zeros into unknown registers is worse than not writing.
        if (c.cmdLen > MaxCmdWords)
            return QByteArray();
        QString body = QStringLiteral("SET");
        double number = 0;
        const QString text = value.toString();
        if (c.cmdLen == 1) {
            if (!numberWithin(text, WordMin, WordMax, &number))
                return QByteArray();
            body += QString::number(c.getCmd) + QLatin1Char(':') + text + QLatin1Char(';');
        } else if (c.cmdLen > 1) {
            if (!numberWithin(text, LongMin, LongMax, &number))
                return QByteArray();
            // Negative values go out in two's complement, as QVariant::toUInt gives them.
            const quint32 u = quint32(qRound64(number));
            const quint32 words[MaxCmdWords] = {u & 0xffffu, u >> 16, 0, 0, 0, 0};
            for (int i = 0; i < c.cmdLen; ++i)
                body += QString::number(qint64(c.setCmd) + i) + QLatin1Char(':') + QString::number(words[i])
                        + QLatin1Char(';');
        }
        return KTFrame::pack(body, QStringLiteral("CMD"));
    }
    case T::NUM: {
        const QString text = value.toString();
        double number = 0;
        if (!numberWithin(text, LongMin, LongMax, &number))
            return QByteArray();
        return KTFrame::pack(QStringLiteral("NUM:") + text + QLatin1Char(';'), QStringLiteral("CMD"));
    }
    case T::PLT:
    case T::PPLT:
    case T::QRPLT: {
        const QString text = value.toString();
        if (!isBodyText(text))
            return QByteArray();
        const QString word = c.type == T::PLT    ? QStringLiteral("PLT")
                             : c.type == T::PPLT ? QStringLiteral("PPLT")
                                                 : QStringLiteral("QR_PLT");
        return KTFrame::pack(text, word);
    }
    default:
        return QByteArray();
    }
}

QVariant decodeText(const QVariant &current, const QString &text)
{
    bool ok = false;
    switch (current.userType()) {
    case QMetaType::QString:
        return text;
    case QMetaType::UInt: {
        const unsigned u = text.toUInt(&ok, 10);
        return QVariant(ok ? u : 0u);
    }
    case QMetaType::Int: {
        const int i = text.toInt(&ok, 10);
        return QVariant(ok ? i : 0);
    }
    case QMetaType::Double: {
        const double d = text.toDouble(&ok);
        return QVariant(ok ? d : 0.0);
    }
    default:
        return current;
    }
}

QVariant decodeWords(const QString &low, const QString &high)
{
    bool ok = false;
    quint32 lo = low.toUShort(&ok, 10);
    if (!ok)
        lo = 0;
    quint32 hi = high.toUShort(&ok, 10);
    if (!ok)
        hi = 0;
    return QVariant(int(lo | (hi << 16)));
}

int paramValueIndex(const QStringList &param, const QStringList &values)
{
    const int n = param.size();
    for (int i = 0; i < n; ++i) {
        if (i >= values.size() || values.at(i) != param.at(i))
            return -1;
    }
    return values.size() > n ? n : -1;
}

} // namespace KTCodec
