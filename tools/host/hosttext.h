#ifndef HOSTTEXT_H
#define HOSTTEXT_H

#include <QString>

// Text from outside (arguments, the machine's values and messages, files) as
// the host shows it, and the machine addresses people type.
namespace HostText {

// The text with every control and other non-printing character written as an
// escape (\x01, \u202e), so nothing echoed can move the cursor, recolour the
// terminal or break a line in two.
QString printable(const QString &text);

// Whether a host as given to --tcp can be an address: an IPv4 or IPv6
// literal that parses, or a valid host name. False with the reason.
bool checkHost(const QString &host, QString *why);

} // namespace HostText

#endif // HOSTTEXT_H
