#include "tools/host/hosttext.h"

#include <QHostAddress>
#include <QRegularExpression>
#include <QUrl>

namespace HostText {

QString printable(const QString &text)
{
    QString out;
    out.reserve(text.size());
    for (int i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        // A pair of surrogates is one printable character beyond the BMP.
        if (c.isHighSurrogate() && i + 1 < text.size() && text.at(i + 1).isLowSurrogate()) {
            const uint code = QChar::surrogateToUcs4(c, text.at(i + 1));
            if (QChar::isPrint(code)) {
                out += c;
                out += text.at(++i);
                continue;
            }
        }
        const ushort u = c.unicode();
        if (!c.isPrint()) {
            out += u < 0x100 ? QStringLiteral("\\x%1").arg(u, 2, 16, QLatin1Char('0'))
                             : QStringLiteral("\\u%1").arg(u, 4, 16, QLatin1Char('0'));
            continue;
        }
        out += c;
    }
    return out;
}

bool checkHost(const QString &host, QString *why)
{
    if (host.isEmpty()) {
        *why = QStringLiteral("no host");
        return false;
    }
    static const QRegularExpression dotted(QStringLiteral("^[0-9.]+$"));
    QHostAddress literal;
    if (host.contains(QLatin1Char(':'))) {
        if (!literal.setAddress(host) || literal.protocol() != QAbstractSocket::IPv6Protocol) {
            *why = QStringLiteral("not a valid IPv6 address");
            return false;
        }
        return true;
    }
    if (dotted.match(host).hasMatch()) {
        // Only the four-part dotted form: "10.1" would be read as 10.0.0.1.
        if (host.count(QLatin1Char('.')) != 3 || !literal.setAddress(host)
            || literal.protocol() != QAbstractSocket::IPv4Protocol) {
            *why = QStringLiteral("not a valid IPv4 address");
            return false;
        }
        return true;
    }
    // A name: labels of letters, digits and hyphens, as the resolver takes
    // them; a name in other scripts counts in its ASCII form.
    QString ace = QString::fromLatin1(QUrl::toAce(host));
    if (ace.endsWith(QLatin1Char('.')))
        ace.chop(1);
    static const QRegularExpression label(QStringLiteral("^[A-Za-z0-9]([A-Za-z0-9-]{0,61}[A-Za-z0-9])?$"));
    bool valid = !ace.isEmpty() && ace.size() <= 253;
    const QStringList labels = ace.split(QLatin1Char('.'));
    for (const QString &part : labels)
        valid = valid && label.match(part).hasMatch();
    // An all-digit last label would be an address, not a name.
    static const QRegularExpression digits(QStringLiteral("^[0-9]+$"));
    valid = valid && !digits.match(labels.last()).hasMatch();
    if (!valid) {
        *why = QStringLiteral("not a valid host name");
        return false;
    }
    return true;
}

} // namespace HostText
