#include "property/ktdeviceproperty.h"

#include <QAbstractSpinBox>
#include <QBoxLayout>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QSpinBox>
#include <QTabWidget>
#include <QWidget>

#include <cmath>
#include <limits>

namespace {

constexpr int RowHeight = 28;

QJsonObject widgetOf(const KTDeviceProperty *p)
{
    return p->property("WIDGET").toJsonObject();
}

bool hasWidget(const KTDeviceProperty *p)
{
    return p->property("WIDGET").isValid();
}

double factorOf(const QJsonObject &w)
{
    // A zero factor would divide by zero on the way back.
    const double factor = w.value(QStringLiteral("factor")).toDouble(1.0);
    return factor == 0.0 ? 1.0 : factor;
}

// Truncates toward zero like a C++ cast, but defined for every double.
int truncated(double x)
{
    if (std::isnan(x))
        return 0;
    return int(qBound(double(std::numeric_limits<int>::min()), x, double(std::numeric_limits<int>::max())));
}

QLayout *layoutOf(QWidget *parent)
{
    // A host page without a layout still gets its rows stacked.
    if (!parent->layout())
        new QVBoxLayout(parent);
    return parent->layout();
}

QWidget *createControl(const QString &kind, const QJsonObject &w, const QString &key)
{
    if (kind == QLatin1String("QSpinBox")) {
        auto *box = new QSpinBox;
        box->setObjectName(key);
        box->setRange(w.value(QStringLiteral("min")).toInt(0), w.value(QStringLiteral("max")).toInt(1000));
        box->setButtonSymbols(QAbstractSpinBox::NoButtons);
        box->setAlignment(Qt::AlignCenter);
        box->setMinimumHeight(RowHeight);
        return box;
    }
    if (kind == QLatin1String("QDoubleSpinBox")) {
        auto *box = new QDoubleSpinBox;
        box->setObjectName(key);
        box->setDecimals(3);
        box->setRange(w.value(QStringLiteral("min")).toDouble(0.0), w.value(QStringLiteral("max")).toDouble(0.0));
        box->setButtonSymbols(QAbstractSpinBox::NoButtons);
        box->setAlignment(Qt::AlignCenter);
        box->setMinimumHeight(RowHeight);
        return box;
    }
    if (kind == QLatin1String("QComboBox")) {
        auto *box = new QComboBox;
        box->setObjectName(key);
        if (w.contains(QStringLiteral("option")))
            box->addItems(w.value(QStringLiteral("option")).toString().split(QLatin1Char(';')));
        box->setView(new QListView(box));
        box->setMinimumHeight(RowHeight);
        return box;
    }
    if (kind == QLatin1String("QLineEdit")) {
        auto *edit = new QLineEdit;
        edit->setObjectName(key);
        edit->setAlignment(Qt::AlignCenter);
        edit->setMinimumHeight(RowHeight);
        return edit;
    }
    if (kind == QLatin1String("QLabel")) {
        auto *label = new QLabel;
        label->setObjectName(key);
        label->setTextInteractionFlags(Qt::TextSelectableByMouse);
        label->setAlignment(Qt::AlignCenter);
        label->setMinimumHeight(RowHeight);
        return label;
    }
    if (kind == QLatin1String("QGroupBox")) {
        auto *box = new QWidget;
        box->setObjectName(key);
        auto *layout = new QHBoxLayout(box);
        layout->setContentsMargins(0, 0, 0, 0);
        return box;
    }
    return nullptr;
}

} // namespace

QWidget *KTDeviceProperty::uiControl() const
{
    return static_cast<QWidget *>(property("UI_CTRL").value<void *>());
}

void KTDeviceProperty::setUiControl(QWidget *control)
{
    setProperty("UI_CTRL", QVariant::fromValue(static_cast<void *>(control)));
    // The reference must read as "no control" once the host destroys it.
    connect(control, &QObject::destroyed, this, [this, control]() {
        if (uiControl() == control)
            setProperty("UI_CTRL", QVariant());
    });
}

void KTDeviceProperty::create_ui_ctrl(QWidget *parent, QString key, bool showUnit)
{
    if (!parent || !hasWidget(this))
        return;
    const QJsonObject w = widgetOf(this);
    const QString kind = w.value(QStringLiteral("widget")).toString();

    if (kind == QLatin1String("QTabWidget")) {
        QTabWidget *tabs = parent->findChild<QTabWidget *>(QString(), Qt::FindDirectChildrenOnly);
        if (!tabs) {
            tabs = new QTabWidget;
            layoutOf(parent)->addWidget(tabs);
        }
        auto *page = new QWidget;
        auto *layout = new QVBoxLayout(page);
        layout->setContentsMargins(30, 10, 10, 30);
        layout->setSpacing(12);
        for (const auto &child : childProperties())
            child.second->create_ui_ctrl(page, QString::fromLatin1(child.first), true);
        setUiControl(page);
        tabs->addTab(page, m_label);
        return;
    }

    auto *row = new QWidget;
    auto *rowLayout = new QHBoxLayout(row);
    rowLayout->setContentsMargins(0, 0, 0, 0);
    rowLayout->setSpacing(5);

    auto *label = new QLabel(m_label);
    label->setAlignment(Qt::AlignCenter);
    label->setMinimumHeight(RowHeight);
    rowLayout->addWidget(label, 1);

    if (QWidget *control = createControl(kind, w, key)) {
        rowLayout->addWidget(control, 3);
        if (kind == QLatin1String("QGroupBox")) {
            for (const auto &child : childProperties())
                child.second->create_ui_ctrl(control, QString::fromLatin1(child.first), false);
        }
        setUiControl(control);
    }
    if (showUnit)
        rowLayout->addWidget(new QLabel(m_unit), 1);
    layoutOf(parent)->addWidget(row);
}

void KTDeviceProperty::to_ui_ctrl()
{
    QWidget *control = uiControl();
    if (!control || !hasWidget(this))
        return;
    const QJsonObject w = widgetOf(this);
    const QString kind = w.value(QStringLiteral("widget")).toString();
    const double factor = factorOf(w);

    if (kind == QLatin1String("QSpinBox")) {
        static_cast<QSpinBox *>(control)->setValue(truncated(m_value.toInt() * factor));
    } else if (kind == QLatin1String("QDoubleSpinBox")) {
        static_cast<QDoubleSpinBox *>(control)->setValue(m_value.toDouble() * factor);
    } else if (kind == QLatin1String("QComboBox")) {
        static_cast<QComboBox *>(control)->setCurrentIndex(truncated(m_value.toInt() * factor));
    } else if (kind == QLatin1String("QLineEdit")) {
        auto *edit = static_cast<QLineEdit *>(control);
        edit->setText(factor != 1.0 ? QStringLiteral("%1").arg(m_value.toDouble() * factor) : m_value.toString());
    } else if (kind == QLatin1String("QLabel")) {
        static_cast<QLabel *>(control)->setText(m_value.toString());
    } else if (kind == QLatin1String("QGroupBox") || kind == QLatin1String("QTabWidget")) {
        for (const auto &child : childProperties())
            child.second->to_ui_ctrl();
    }
}

void KTDeviceProperty::from_ui_ctrl()
{
    QWidget *control = uiControl();
    if (!control || !hasWidget(this))
        return;
    const QJsonObject w = widgetOf(this);
    const QString kind = w.value(QStringLiteral("widget")).toString();
    const double factor = factorOf(w);

    if (kind == QLatin1String("QSpinBox")) {
        setValue(truncated(static_cast<QSpinBox *>(control)->value() / factor));
    } else if (kind == QLatin1String("QDoubleSpinBox")) {
        setValue(static_cast<QDoubleSpinBox *>(control)->value() / factor);
    } else if (kind == QLatin1String("QComboBox")) {
        setValue(truncated(static_cast<QComboBox *>(control)->currentIndex() / factor));
    } else if (kind == QLatin1String("QLineEdit")) {
        const QString text = static_cast<QLineEdit *>(control)->text();
        setValue(factor != 1.0 ? QStringLiteral("%1").arg(text.toDouble() / factor) : text);
    } else if (kind == QLatin1String("QLabel")) {
        setValue(static_cast<QLabel *>(control)->text());
    } else if (kind == QLatin1String("QGroupBox") || kind == QLatin1String("QTabWidget")) {
        for (const auto &child : childProperties())
            child.second->from_ui_ctrl();
    }
}
