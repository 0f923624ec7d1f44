#include "tools/host/ktvalue.h"
#include "tools/host/hosttext.h"

#include "device/ktdeviceinterface.h"
#include "property/ktdisplayvalue.h"
#include "property/ktdeviceproperty.h"

#include <QJsonObject>
#include <QLocale>

#include <cmath>
#include <limits>

namespace KTValue {

namespace {

// What the command words carry (see the codec): one word read signed or
// unsigned, or a 32-bit number in a low and a high word.
constexpr double WordMin = -32768.0, WordMax = 65535.0;
constexpr double LongMin = -2147483648.0, LongMax = 4294967295.0;

// Truncates toward zero as the controls do, defined for every double.
qint64 truncated(double x)
{
    if (std::isnan(x))
        return 0;
    return qint64(qBound(-9.0e15, x, 9.0e15));
}

QString number(double d)
{
    return QString::number(d, 'g', 12);
}

QString withUnit(const QString &text, const QString &unit)
{
    return unit.isEmpty() ? text : text + QLatin1Char(' ') + unit;
}

QString bareUnit(QString unit)
{
    unit = unit.trimmed();
    if (unit.startsWith(QLatin1Char('(')) && unit.endsWith(QLatin1Char(')')))
        unit = unit.mid(1, unit.size() - 2).trimmed();
    return unit;
}

bool isWholeType(int type)
{
    return type == QMetaType::UInt || type == QMetaType::Int || type == QMetaType::LongLong
           || type == QMetaType::ULongLong;
}

// The range of machine values the command words carry for this parameter;
// an unsigned value without a control range stays at 0 and above.
void wordRange(const Form &s, double *lo, double *hi)
{
    const bool unsignedOnly = s.rawType == QMetaType::UInt && s.control != Control::Spin
                              && s.control != Control::DoubleSpin;
    if (s.words == 1) {
        *lo = unsignedOnly ? 0.0 : WordMin;
        *hi = WordMax;
    } else if (s.words > 1) {
        *lo = unsignedOnly ? 0.0 : LongMin;
        *hi = LongMax;
    } else {
        *lo = LongMin;
        *hi = LongMax;
    }
}

// A machine number of the parameter's own type.
QVariant typed(const Form &s, double value)
{
    if (s.rawType == QMetaType::Double)
        return value;
    // Past every range the machine has, so bounded before the conversion:
    // the check that follows refuses it all the same.
    const qint64 whole = qint64(std::llround(qBound(-9.0e15, value, 9.0e15)));
    if (s.rawType == QMetaType::UInt && whole >= 0 && whole <= qint64(std::numeric_limits<uint>::max()))
        return QVariant(uint(whole));
    if (whole >= std::numeric_limits<int>::min() && whole <= std::numeric_limits<int>::max())
        return QVariant(int(whole));
    return QVariant(whole);
}

// A number as a person types it: decimal, optional sign, no exponent.
bool parseNumber(const QString &text, double *out)
{
    const QString t = text.trimmed();
    if (t.isEmpty() || t.contains(QLatin1Char('e'), Qt::CaseInsensitive))
        return false;
    bool ok = false;
    const double d = QLocale::c().toDouble(t, &ok);
    if (!ok || !std::isfinite(d))
        return false;
    *out = d;
    return true;
}

bool parseWhole(const QString &text, double *out)
{
    bool ok = false;
    const qlonglong n = text.trimmed().toLongLong(&ok, 10);
    if (!ok || n < -(Q_INT64_C(1) << 53) || n > (Q_INT64_C(1) << 53))
        return false;
    *out = double(n);
    return true;
}

bool isPlainText(const QString &text)
{
    if (text.isEmpty() || text.size() > MaxText)
        return false;
    for (const QChar c : text) {
        const ushort u = c.unicode();
        if (u < 0x20 || u > 0x7e || u == ',' || u == ';')
            return false;
    }
    return true;
}

QString textAllowed()
{
    return QStringLiteral("a text of 1 to %1 printable ASCII characters without \",\" or \";\"").arg(MaxText);
}

QString refusal(const Form &s, const QString &text, bool raw)
{
    return QStringLiteral("%1 = %2 is not allowed: %3").arg(s.key, HostText::printable(text), allowed(s, raw));
}

struct Action
{
    const char *key;
    const char *does;
};

// The keys that make the machine do something when written.
const Action Actions[] = {
    {"FACTORY_SET", "resets every setting of the machine, its serial number included, to factory values"},
    {"TASK_STOP", "stops the running job"},
    {"TASK_PAUSE", "pauses the running job"},
    {"TASK_RESUME", "resumes a paused job"},
    {"TASK_PLT", "starts cutting the data given"},
    {"QRCODE_COPIES", "starts a QR-code job of that many copies"},
    {"FLAG_POINT", "makes the tool head's position the origin"},
    {"BACK_FLAG_POINT", "moves the tool head back to the origin"},
    {"MOVE_X", "moves the tool head"},
    {"MOVE_Y", "moves the tool head"},
};

struct Sense
{
    const char *key;
    double lowest, highest;   // machine values
    const char *rule;
};

constexpr double Unbounded = std::numeric_limits<double>::infinity();

// Values the command words carry but the machine has no use for.
const Sense SenseRules[] = {
    // The device polls every HEARTBEAT s and drops a link silent for 30 s.
    {"HEARTBEAT", 1, 29, "the heartbeat is 1 to 29 s (0 polls without pause, 30 or more lets the silence watch "
                         "drop the link)"},
    {"TASK_COPIES", 1, Unbounded, "a job has at least 1 copy"},
    {"QRCODE_COPIES", 1, Unbounded, "a job has at least 1 copy"},
    {"SCALE_X", 1, Unbounded, "a scale of 0 shrinks every cut to a point"},
    {"SCALE_Y", 1, Unbounded, "a scale of 0 shrinks every cut to a point"},
    {"WORKAREA_X", 1, Unbounded, "a work area of 0 mm leaves nothing to cut"},
    {"WORKAREA_Y", 1, Unbounded, "a work area of 0 mm leaves nothing to cut"},
    // Task control and origin commands mean one value each.
    {"TASK_STOP", 2, 2, "the machine stops a job on 2 only"},
    {"TASK_PAUSE", 0, 0, "the machine pauses a job on 0 only"},
    {"TASK_RESUME", 1, 1, "the machine resumes a job on 1 only"},
    {"FLAG_POINT", 1, 1, "the machine sets the origin on 1 only"},
    {"BACK_FLAG_POINT", 1, 1, "the machine returns to the origin on 1 only"},
};

// The combo item a machine value selects, -1 for none.
int comboIndex(const Form &s, const QVariant &raw)
{
    const int index = KTDisplayValue::comboIndex(raw.toInt(), s.factor);
    return index >= 0 && index < s.items.size() ? index : -1;
}

double comboValue(const Form &s, int index)
{
    return double(KTDisplayValue::comboStored(index, s.factor));
}

// Shown value of a spin box, unclamped, as the control computes it.
double spinShown(const Form &s, double raw)
{
    return s.control == Control::Spin ? double(KTDisplayValue::spinShown(KTDisplayValue::truncated(raw), s.factor))
                                      : KTDisplayValue::doubleShown(raw, s.factor);
}

// The machine values a spin box can produce or show within its range.
void spinRawRange(const Form &s, double *lo, double *hi)
{
    const double a = KTDisplayValue::doubleStored(s.min, s.factor), b = KTDisplayValue::doubleStored(s.max, s.factor);
    if (s.control == Control::DoubleSpin) {
        const double slack = 1e-9 * qMax(1.0, qMax(std::fabs(a), std::fabs(b)));
        *lo = qMin(a, b) - slack;
        *hi = qMax(a, b) + slack;
        return;
    }
    // What the control stores is truncated toward zero; what it shows of a
    // neighbouring value may still lie in its range.
    double from = double(qMin(truncated(a), truncated(b)));
    double to = double(qMax(truncated(a), truncated(b)));
    auto shownInside = [&](double r) {
        const double shown = spinShown(s, r);
        return shown >= s.min && shown <= s.max;
    };
    for (int i = 0; i < 4 && shownInside(from - 1); ++i)
        from -= 1;
    for (int i = 0; i < 4 && shownInside(to + 1); ++i)
        to += 1;
    *lo = from;
    *hi = to;
}

} // namespace

bool replyIgnored(const KTDeviceProperty *p)
{
    // The plug-in never applies replies numbered 27 (work mode) or 125 (task control).
    return p->cmd_type() == KTDeviceInterface::CMD && (p->get_cmd_int() == 27 || p->get_cmd_int() == 125);
}

bool canRead(const KTDeviceProperty *p)
{
    return !replyIgnored(p) && p->cmd_type() != KTDeviceInterface::UnCMD && p->cmd_len() != 0 && p->get_cmd_int() != 0
           && (p->cmd_type() == KTDeviceInterface::CMD || p->cmd_type() == KTDeviceInterface::CCMD);
}

Form formOf(const QString &key, const KTDeviceProperty *p, const KTDeviceProperty *group)
{
    Form s;
    if (!p)
        return s;
    s.key = key;
    s.label = p->label();
    s.unit = bareUnit(p->uint());
    if (s.unit.isEmpty() && group)
        s.unit = bareUnit(group->uint()).section(QStringLiteral(" x "), 0, 0);
    s.rawType = p->value().userType();
    s.numeric = isWholeType(s.rawType) || s.rawType == QMetaType::Double;
    const KTDeviceInterface::KTDeviceCMDType type = p->cmd_type();
    if (type == KTDeviceInterface::CMD) {
        s.words = p->cmd_len();
        s.numeric = true;   // command words are numbers whatever the value holds now
        if (s.rawType == QMetaType::QString)
            s.rawType = QMetaType::UInt;
    }
    s.readable = canRead(p);
    s.writable = type != KTDeviceInterface::UnCMD && p->set_cmd_int() != 0
                 && (type != KTDeviceInterface::CMD || (p->cmd_len() >= 1 && p->cmd_len() <= 6))
                 && p->value().userType() != QMetaType::QStringList;

    const QVariant widget = p->property("WIDGET");
    if (!widget.isValid())
        return s;
    const QJsonObject w = widget.toJsonObject();
    const QString kind = w.value(QStringLiteral("widget")).toString();
    s.factor = KTDisplayValue::factorOf(w);
    if (kind == QLatin1String("QSpinBox")) {
        s.control = Control::Spin;
        s.min = w.value(QStringLiteral("min")).toInt(0);
        s.max = w.value(QStringLiteral("max")).toInt(1000);
    } else if (kind == QLatin1String("QDoubleSpinBox")) {
        s.control = Control::DoubleSpin;
        s.min = w.value(QStringLiteral("min")).toDouble(0.0);
        s.max = w.value(QStringLiteral("max")).toDouble(0.0);
    } else if (kind == QLatin1String("QComboBox")) {
        s.control = Control::Combo;
        if (w.contains(QStringLiteral("option"))) {
            for (const QString &item : w.value(QStringLiteral("option")).toString().split(QLatin1Char(';')))
                s.items << item.trimmed();
        }
    } else if (kind == QLatin1String("QLineEdit")) {
        s.control = Control::Text;
    } else if (kind == QLatin1String("QLabel")) {
        s.control = Control::Label;
        s.writable = false;   // shown, never edited
    } else if (kind == QLatin1String("QGroupBox") || kind == QLatin1String("QTabWidget")) {
        s.control = Control::Group;
    }
    return s;
}

Form formOf(KTDeviceInterface *device, const QString &key)
{
    KTDeviceProperty *p = device->property_ptr(key.toLatin1().constData());
    if (!p)
        return Form();
    const KTDeviceProperty *group = nullptr;
    for (const QByteArray &name : device->dynamicPropertyNames()) {
        KTDeviceProperty *candidate = device->property_ptr(name.constData());
        if (!candidate || candidate == p || !candidate->property("WIDGET").isValid())
            continue;
        for (const auto &child : candidate->childProperties()) {
            if (child.second == p)
                group = candidate;
        }
        if (group)
            break;
    }
    return formOf(key, p, group);
}

QString display(const Form &s, const QVariant &raw)
{
    switch (s.control) {
    case Control::Spin:
        return QString::number(KTDisplayValue::spinShown(raw.toInt(), s.factor));
    case Control::DoubleSpin:
        return QString::number(KTDisplayValue::doubleShown(raw.toDouble(), s.factor), 'f', KTDisplayValue::Decimals);
    case Control::Combo: {
        const int index = comboIndex(s, raw);
        return index >= 0 ? s.items.at(index) : QStringLiteral("? (machine value %1)").arg(rawText(raw));
    }
    case Control::Text:
        return KTDisplayValue::textShown(raw, s.factor);
    default:
        return rawText(raw);
    }
}

QString displayWithUnit(const Form &s, const QVariant &raw)
{
    if (s.control == Control::Combo)
        return display(s, raw);
    return withUnit(display(s, raw), s.unit);
}

QString rawText(const QVariant &raw)
{
    if (raw.userType() == QMetaType::Double)
        return number(raw.toDouble());
    return raw.toString();
}

QString allowed(const Form &s, bool raw)
{
    if (!s.writable)
        return QStringLiteral("%1 cannot be written to the machine").arg(s.key);
    double lo = 0, hi = 0;
    wordRange(s, &lo, &hi);
    switch (s.control) {
    case Control::Spin:
    case Control::DoubleSpin:
        if (raw) {
            spinRawRange(s, &lo, &hi);
            return QStringLiteral("a whole number from %1 to %2 (machine value)").arg(number(std::ceil(lo)), number(std::floor(hi)));
        }
        return QStringLiteral("%1 from %2 to %3")
            .arg(s.control == Control::Spin ? QStringLiteral("a whole number") : QStringLiteral("a number"),
                 number(s.min), withUnit(number(s.max), s.unit));
    case Control::Combo: {
        QStringList choices;
        for (int i = 0; i < s.items.size(); ++i)
            choices << (raw ? number(comboValue(s, i)) : QStringLiteral("\"%1\"").arg(s.items.at(i)));
        return QStringLiteral("one of %1").arg(choices.join(QStringLiteral(", ")));
    }
    default:
        break;
    }
    if (!s.numeric)
        return textAllowed();
    if (s.control == Control::Text && s.factor != 1.0 && !raw) {
        const double a = lo * s.factor, b = hi * s.factor;
        return QStringLiteral("a number from %1 to %2").arg(number(qMin(a, b)), withUnit(number(qMax(a, b)), s.unit));
    }
    return QStringLiteral("a whole number from %1 to %2").arg(number(lo), number(hi));
}

QString check(const Form &s, const QVariant &raw)
{
    const QString text = rawText(raw);
    if (!s.writable)
        return QStringLiteral("%1 cannot be written to the machine").arg(s.key);
    if (!s.numeric) {
        return isPlainText(raw.toString()) && raw.userType() == QMetaType::QString ? QString()
                                                                                    : refusal(s, text, true);
    }
    bool ok = false;
    const double d = raw.toDouble(&ok);
    if (!ok || !std::isfinite(d) || raw.userType() == QMetaType::QString || raw.userType() == QMetaType::Bool)
        return refusal(s, text, true);
    double lo = 0, hi = 0;
    wordRange(s, &lo, &hi);
    if (d < lo || d > hi || (s.words > 0 && d != std::floor(d)))
        return refusal(s, text, true);
    switch (s.control) {
    case Control::Spin:
    case Control::DoubleSpin: {
        double from = 0, to = 0;
        spinRawRange(s, &from, &to);
        if (d < from || d > to)
            return refusal(s, text, true);
        break;
    }
    case Control::Combo: {
        bool listed = false;
        for (int i = 0; i < s.items.size(); ++i)
            listed |= comboValue(s, i) == d;
        if (!listed)
            return refusal(s, text, true);
        break;
    }
    default:
        break;
    }
    return QString();
}

Parsed fromRaw(const Form &s, const QString &text)
{
    Parsed r;
    if (!s.writable) {
        r.error = allowed(s, true);
        return r;
    }
    if (!s.numeric) {
        r.raw = text;
    } else {
        double d = 0;
        const bool ok = s.rawType == QMetaType::Double && s.words == 0 ? parseNumber(text, &d) : parseWhole(text, &d);
        if (!ok) {
            r.error = refusal(s, text, true);
            return r;
        }
        r.raw = typed(s, d);
    }
    r.error = check(s, r.raw);
    if (!r.ok())
        r.error = refusal(s, text, true);
    return r;
}

Parsed fromDisplay(const Form &s, const QString &text)
{
    Parsed r;
    if (!s.writable) {
        r.error = allowed(s, false);
        return r;
    }
    const QString t = text.trimmed();
    double d = 0;
    switch (s.control) {
    case Control::Spin:
        if (!parseWhole(t, &d) || d < s.min || d > s.max) {
            r.error = refusal(s, text, false);
            return r;
        }
        r.raw = typed(s, double(KTDisplayValue::spinStored(d, s.factor)));
        break;
    case Control::DoubleSpin:
        if (!parseNumber(t, &d)) {
            r.error = refusal(s, text, false);
            return r;
        }
        d = KTDisplayValue::toDecimals(d);   // what the control keeps
        if (d < s.min || d > s.max) {
            r.error = refusal(s, text, false);
            return r;
        }
        // Command words hold whole numbers: the nearest one, not a truncated float.
        r.raw = typed(s, s.words > 0 ? std::round(KTDisplayValue::doubleStored(d, s.factor))
                                     : KTDisplayValue::doubleStored(d, s.factor));
        break;
    case Control::Combo: {
        int index = -1;
        for (int i = 0; i < s.items.size() && index < 0; ++i) {
            if (s.items.at(i).compare(t, Qt::CaseInsensitive) == 0 && !t.isEmpty())
                index = i;
        }
        if (index < 0) {
            r.error = refusal(s, text, false);
            return r;
        }
        r.raw = typed(s, comboValue(s, index));
        break;
    }
    default:
        if (s.numeric && s.factor != 1.0) {
            if (!parseNumber(t, &d)) {
                r.error = refusal(s, text, false);
                return r;
            }
            r.raw = typed(s, s.words > 0 ? std::round(KTDisplayValue::doubleStored(d, s.factor))
                                         : KTDisplayValue::doubleStored(d, s.factor));
        } else {
            r = fromRaw(s, text);
            if (!r.ok())
                r.error = refusal(s, text, false);
            return r;
        }
    }
    r.error = check(s, r.raw);
    if (!r.ok())
        r.error = refusal(s, text, false);
    return r;
}

bool sameValue(const Form &s, const QVariant &a, const QVariant &b)
{
    if (!s.numeric)
        return a.toString() == b.toString();
    bool okA = false, okB = false;
    const double x = a.toDouble(&okA), y = b.toDouble(&okB);
    if (!okA || !okB)
        return false;
    if (s.words > 1) {
        // Two words come back as a signed 32-bit number.
        const qint64 ix = std::llround(x), iy = std::llround(y);
        return quint32(ix) == quint32(iy);
    }
    if (s.words == 1) {
        // One word may come back signed or unsigned.
        return (qint64(std::llround(x)) & 0xffff) == (qint64(std::llround(y)) & 0xffff);
    }
    return x == y;
}

QString actionOf(const QString &key)
{
    for (const Action &a : Actions) {
        if (key == QLatin1String(a.key))
            return QString::fromLatin1(a.does);
    }
    return QString();
}

QString senseRule(const Form &s, const QVariant &raw)
{
    bool ok = false;
    const double d = raw.toDouble(&ok);
    if (!s.numeric || !ok)
        return QString();
    for (const Sense &rule : SenseRules) {
        if (s.key == QLatin1String(rule.key) && (!(d >= rule.lowest) || !(d <= rule.highest)))
            return QString::fromLatin1(rule.rule);
    }
    return QString();
}

QString roundedTo(const Form &s, const QString &typed, const QVariant &raw)
{
    if (!s.numeric || s.factor == 1.0 || s.control == Control::Combo)
        return QString();
    double want = 0, got = 0;
    if (!parseNumber(typed, &want) || !parseNumber(display(s, raw), &got))
        return QString();
    if (std::fabs(want - got) <= 1e-9 * qMax(1.0, std::fabs(want)))
        return QString();
    return displayWithUnit(s, raw);
}

bool parseAssignment(const QString &argument, QString *key, QString *value, QString *error)
{
    const int eq = argument.indexOf(QLatin1Char('='));
    if (eq <= 0) {
        *error = QStringLiteral("expected KEY=VALUE, not \"%1\"").arg(HostText::printable(argument));
        return false;
    }
    *key = argument.left(eq).trimmed();
    *value = argument.mid(eq + 1);
    for (const QChar c : *key) {
        if (!(c.isUpper() || c.isDigit() || c == QLatin1Char('_')) || c.unicode() > 0x7f) {
            *error = QStringLiteral("expected KEY=VALUE with an upper-case key, not \"%1\"")
                         .arg(HostText::printable(argument));
            return false;
        }
    }
    return true;
}

} // namespace KTValue
