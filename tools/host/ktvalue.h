#ifndef KTVALUE_H
#define KTVALUE_H

#include <QString>
#include <QStringList>
#include <QVariant>

class KTDeviceInterface;
class KTDeviceProperty;

// A parameter's value as people read and type it: what its control shows
// ("WIDGET" factor and decimals applied, with its unit), and the machine's own
// number behind it. Everything here is a pure function of a Form and text, so
// the window and every command agree, and the parsing can be fuzzed alone.
namespace KTValue {

enum class Control { None, Spin, DoubleSpin, Combo, Text, Label, Group };

// Longest text value sent to the machine.
constexpr int MaxText = 64;

// What a parameter takes and how its control shows it.
struct Form
{
    QString key;
    QString label;
    QString unit;                 // without brackets; may be empty
    Control control = Control::None;
    double factor = 1.0;          // shown = machine value x factor
    double min = 0.0, max = 0.0;  // a spin box's range, as shown
    QStringList items;            // a combo box's items, trimmed
    int rawType = QMetaType::UnknownType;   // type of the machine value
    int words = 0;                // CMD words (1: 16 bits, 2-6: 32 bits); 0 other commands
    bool numeric = false;         // the machine value is a number
    bool readable = false;
    bool writable = false;
};

// The form of a parameter from its command and "WIDGET"; a member of a group
// box takes the group's unit.
Form formOf(const QString &key, const KTDeviceProperty *p, const KTDeviceProperty *group = nullptr);
// The same, found on a device by key (an invalid form, empty key, when absent).
Form formOf(KTDeviceInterface *device, const QString &key);
// Whether the machine's answer to the parameter's read reaches it.
bool canRead(const KTDeviceProperty *p);
// Whether the plug-in drops the machine's answers to the parameter's command.
bool replyIgnored(const KTDeviceProperty *p);

// What the control shows for a machine value, without and with the unit.
QString display(const Form &s, const QVariant &raw);
QString displayWithUnit(const Form &s, const QVariant &raw);
// The machine's own number (or text).
QString rawText(const QVariant &raw);

struct Parsed
{
    QVariant raw;   // the machine value to send
    QString error;  // one line naming key, value and what is allowed
    bool ok() const { return error.isEmpty(); }
};

// A value typed as the control shows it, or as the machine's number.
Parsed fromDisplay(const Form &s, const QString &text);
Parsed fromRaw(const Form &s, const QString &text);
// Empty when the machine value may be written; otherwise why not.
QString check(const Form &s, const QVariant &raw);
// What may be typed, e.g. "a whole number from 10 to 1050 mm/s".
QString allowed(const Form &s, bool raw);
// Whether two machine values are the same for the machine.
bool sameValue(const Form &s, const QVariant &a, const QVariant &b);

// A key whose write makes the machine act (reset, stop, move, cut) rather
// than keep a value: what it does, for the line that asks for --yes; empty
// for a setting.
QString actionOf(const QString &key);
// A value the frame carries but the machine has no use for (a heartbeat of
// 0 s, no copies, a scale of 0): the rule it breaks; empty when it makes sense.
QString senseRule(const Form &s, const QVariant &raw);
// What the control shows once the machine holds raw, with its unit, when the
// factor makes that differ from what was typed; empty when it shows as typed.
QString roundedTo(const Form &s, const QString &typed, const QVariant &raw);

// "KEY=VALUE"; false with the reason.
bool parseAssignment(const QString &argument, QString *key, QString *value, QString *error);

} // namespace KTValue

#endif // KTVALUE_H
