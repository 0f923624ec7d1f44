#include "property/ktdisplayvalue.h"

#include <cmath>
#include <limits>

namespace KTDisplayValue {

double guardedFactor(double factor)
{
    return factor == 0.0 || !std::isfinite(factor) ? 1.0 : factor;
}

double factorOf(const QJsonObject &widget)
{
    return guardedFactor(widget.value(QStringLiteral("factor")).toDouble(1.0));
}

int truncated(double x)
{
    if (std::isnan(x))
        return 0;
    return int(qBound(double(std::numeric_limits<int>::min()), x, double(std::numeric_limits<int>::max())));
}

int spinShown(int raw, double factor)
{
    return truncated(raw * factor);
}

int spinStored(double shown, double factor)
{
    return truncated(shown / factor);
}

double doubleShown(double raw, double factor)
{
    return raw * factor;
}

double doubleStored(double shown, double factor)
{
    return shown / factor;
}

double toDecimals(double shown)
{
    constexpr double Scale = 1000.0;
    static_assert(Decimals == 3, "Scale holds 10^Decimals");
    return std::round(shown * Scale) / Scale;
}

int comboIndex(int raw, double factor)
{
    return truncated(raw * factor);
}

int comboStored(int index, double factor)
{
    return truncated(index / factor);
}

QString textShown(const QVariant &raw, double factor)
{
    return factor != 1.0 ? QStringLiteral("%1").arg(raw.toDouble() * factor) : raw.toString();
}

QString textStored(const QString &shown, double factor)
{
    return factor != 1.0 ? QStringLiteral("%1").arg(shown.toDouble() / factor) : shown;
}

} // namespace KTDisplayValue
