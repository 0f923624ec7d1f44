#include "tools/host/hostprintable.h"

QString hostPrintable(const QString &text)
{
    QString shown;
    shown.reserve(text.size());
    for (const QChar ch : text) {
        const ushort u = ch.unicode();
        // C0, DEL and C1: the ranges a terminal acts on.
        if (u < 0x20 || (u >= 0x7f && u < 0xa0))
            shown += QStringLiteral("\\x%1").arg(u, 2, 16, QLatin1Char('0'));
        else
            shown += ch;
    }
    return shown;
}
