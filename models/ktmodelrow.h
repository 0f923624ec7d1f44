#ifndef KTMODELROW_H
#define KTMODELROW_H

#include "device/ktdeviceinterface.h"

#include <QJsonObject>
#include <QStringList>
#include <QVariant>

class KTDeviceProperty;

// One row of a model table: everything a group builder knows of a parameter.
struct KTModelRow
{
    enum ChildOrder { WidgetFirst, ChildrenFirst };

    const char *key;
    QString label;   // already translated by the builder
    QString unit;
    QVariant value;
    int get;
    int set;
    int len;
    KTDeviceInterface::KTDeviceCMDType type;
    QJsonObject widget = QJsonObject();   // empty: the parameter has no control
    QStringList children = QStringList();
    ChildOrder order = WidgetFirst;
};

// Creates the parameter of a row, gives it its "WIDGET" and children (both
// already attached to the device) and attaches it to the device under its key.
KTDeviceProperty *ktAttachRow(KTDeviceInterface *device, const KTModelRow &row);

inline void ktAttachRows(KTDeviceInterface *device, std::initializer_list<KTModelRow> rows)
{
    for (const KTModelRow &row : rows)
        ktAttachRow(device, row);
}

// Combo-box items are translated one by one and joined with ";".
inline QJsonObject ktComboWidget(const QStringList &items, double factor = 0)
{
    QJsonObject w{{QStringLiteral("widget"), QStringLiteral("QComboBox")},
                  {QStringLiteral("option"), items.join(QLatin1Char(';'))}};
    if (factor != 0)
        w.insert(QStringLiteral("factor"), factor);
    return w;
}

inline QJsonObject ktWidget(const char *kind)
{
    return QJsonObject{{QStringLiteral("widget"), QLatin1String(kind)}};
}

inline QJsonObject ktRangeWidget(const char *kind, double min, double max)
{
    return QJsonObject{{QStringLiteral("widget"), QLatin1String(kind)},
                       {QStringLiteral("min"), min},
                       {QStringLiteral("max"), max}};
}

inline QJsonObject ktRangeWidget(const char *kind, double min, double max, double factor)
{
    QJsonObject w = ktRangeWidget(kind, min, max);
    w.insert(QStringLiteral("factor"), factor);
    return w;
}

inline QJsonObject ktFactorWidget(const char *kind, double factor)
{
    return QJsonObject{{QStringLiteral("widget"), QLatin1String(kind)}, {QStringLiteral("factor"), factor}};
}

#endif // KTMODELROW_H
