#ifndef KTDISPLAYVALUE_H
#define KTDISPLAYVALUE_H

#include <QJsonObject>
#include <QString>
#include <QVariant>

// How a parameter's control shows its machine value and turns what it shows
// back into one: shown = machine value x the "WIDGET" factor. Pure functions,
// shared by the parameter's own controls and by the host's commands and
// window, so both show the same number for the same value.
namespace KTDisplayValue {

// Decimals a double spin box keeps.
constexpr int Decimals = 3;

// A usable factor: 1 for zero (it would divide by zero on the way back) and
// for anything not finite.
double guardedFactor(double factor);
// The factor a "WIDGET" names, guarded; 1 when it names none.
double factorOf(const QJsonObject &widget);

// Toward zero as a C++ cast, but defined for every double (NaN is 0, the
// rest clamped to int's range).
int truncated(double x);

// A spin box: whole numbers both ways, truncated toward zero.
int spinShown(int raw, double factor);
int spinStored(double shown, double factor);
// A double spin box: the machine value scaled, rounded to its decimals when shown.
double doubleShown(double raw, double factor);
double doubleStored(double shown, double factor);
double toDecimals(double shown);
// A combo box: the item index the machine value selects, and back.
int comboIndex(int raw, double factor);
int comboStored(int index, double factor);
// A line edit: the scaled number as text when a factor applies, the value's
// own text otherwise; what it stores is text too.
QString textShown(const QVariant &raw, double factor);
QString textStored(const QString &shown, double factor);

} // namespace KTDisplayValue

#endif // KTDISPLAYVALUE_H
