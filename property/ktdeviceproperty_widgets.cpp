#include "property/ktdeviceproperty.h"
#include "property/ktdisplayvalue.h"

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

QLayout *layoutOf(QWidget *parent)
{
    // A host page without a layout still gets its rows stacked.
    if (!parent->layout())
        new QVBoxLayout(parent);
    return parent->layout();
}

QSpinBox *createSpinBox(const QJsonObject &w)
{
    auto *box = new QSpinBox;
    box->setRange(w.value(QStringLiteral("min")).toInt(0), w.value(QStringLiteral("max")).toInt(1000));
    box->setButtonSymbols(QAbstractSpinBox::NoButtons);
    box->setAlignment(Qt::AlignCenter);
    box->setMinimumHeight(RowHeight);
    return box;
}

QDoubleSpinBox *createDoubleSpinBox(const QJsonObject &w)
{
    auto *box = new QDoubleSpinBox;
    box->setDecimals(KTDisplayValue::Decimals);
    box->setRange(w.value(QStringLiteral("min")).toDouble(0.0), w.value(QStringLiteral("max")).toDouble(0.0));
    box->setButtonSymbols(QAbstractSpinBox::NoButtons);
    box->setAlignment(Qt::AlignCenter);
    box->setMinimumHeight(RowHeight);
    return box;
}

QComboBox *createComboBox(const QJsonObject &w)
{
    auto *box = new QComboBox;
    if (w.contains(QStringLiteral("option")))
        box->addItems(w.value(QStringLiteral("option")).toString().split(QLatin1Char(';')));
    box->setView(new QListView(box));
    box->setMinimumHeight(RowHeight);
    return box;
}

QLineEdit *createLineEdit(const QJsonObject &)
{
    auto *edit = new QLineEdit;
    edit->setAlignment(Qt::AlignCenter);
    edit->setMinimumHeight(RowHeight);
    return edit;
}

QLabel *createLabel(const QJsonObject &)
{
    auto *label = new QLabel;
    label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    label->setAlignment(Qt::AlignCenter);
    label->setMinimumHeight(RowHeight);
    return label;
}

QWidget *createGroup(const QJsonObject &)
{
    auto *box = new QWidget;
    auto *layout = new QHBoxLayout(box);
    layout->setContentsMargins(0, 0, 0, 0);
    return box;
}

// One row per control kind: how it is built, filled from the value and read
// back. The stored control is only ever used through qobject_cast, so a
// "WIDGET" changed after the build finds no control of its kind and does nothing.
struct ControlKind
{
    const char *name;
    QWidget *(*create)(const QJsonObject &w);   // null: built by create_ui_ctrl itself
    void (*show)(QWidget *control, KTDeviceProperty *p, double factor);
    void (*store)(QWidget *control, KTDeviceProperty *p, double factor);
};

void showChildren(QWidget *, KTDeviceProperty *p, double)
{
    for (const auto &child : p->childProperties())
        child.second->to_ui_ctrl();
}

void storeChildren(QWidget *, KTDeviceProperty *p, double)
{
    for (const auto &child : p->childProperties())
        child.second->from_ui_ctrl();
}

const ControlKind Kinds[] = {
    {"QSpinBox", [](const QJsonObject &w) -> QWidget * { return createSpinBox(w); },
     [](QWidget *c, KTDeviceProperty *p, double factor) {
         if (auto *box = qobject_cast<QSpinBox *>(c))
             box->setValue(KTDisplayValue::spinShown(p->value().toInt(), factor));
     },
     [](QWidget *c, KTDeviceProperty *p, double factor) {
         if (auto *box = qobject_cast<QSpinBox *>(c))
             p->setValue(KTDisplayValue::spinStored(box->value(), factor));
     }},
    {"QDoubleSpinBox", [](const QJsonObject &w) -> QWidget * { return createDoubleSpinBox(w); },
     [](QWidget *c, KTDeviceProperty *p, double factor) {
         if (auto *box = qobject_cast<QDoubleSpinBox *>(c))
             box->setValue(KTDisplayValue::doubleShown(p->value().toDouble(), factor));
     },
     [](QWidget *c, KTDeviceProperty *p, double factor) {
         if (auto *box = qobject_cast<QDoubleSpinBox *>(c))
             p->setValue(KTDisplayValue::doubleStored(box->value(), factor));
     }},
    {"QComboBox", [](const QJsonObject &w) -> QWidget * { return createComboBox(w); },
     [](QWidget *c, KTDeviceProperty *p, double factor) {
         if (auto *box = qobject_cast<QComboBox *>(c))
             box->setCurrentIndex(KTDisplayValue::comboIndex(p->value().toInt(), factor));
     },
     [](QWidget *c, KTDeviceProperty *p, double factor) {
         if (auto *box = qobject_cast<QComboBox *>(c))
             p->setValue(KTDisplayValue::comboStored(box->currentIndex(), factor));
     }},
    {"QLineEdit", [](const QJsonObject &w) -> QWidget * { return createLineEdit(w); },
     [](QWidget *c, KTDeviceProperty *p, double factor) {
         if (auto *edit = qobject_cast<QLineEdit *>(c))
             edit->setText(KTDisplayValue::textShown(p->value(), factor));
     },
     [](QWidget *c, KTDeviceProperty *p, double factor) {
         if (auto *edit = qobject_cast<QLineEdit *>(c))
             p->setValue(KTDisplayValue::textStored(edit->text(), factor));
     }},
    {"QLabel", [](const QJsonObject &w) -> QWidget * { return createLabel(w); },
     [](QWidget *c, KTDeviceProperty *p, double) {
         if (auto *label = qobject_cast<QLabel *>(c))
             label->setText(p->value().toString());
     },
     [](QWidget *c, KTDeviceProperty *p, double) {
         if (auto *label = qobject_cast<QLabel *>(c))
             p->setValue(label->text());
     }},
    {"QGroupBox", createGroup, showChildren, storeChildren},
    {"QTabWidget", nullptr, showChildren, storeChildren},
};

const ControlKind *kindOf(const QJsonObject &w)
{
    const QString name = w.value(QStringLiteral("widget")).toString();
    for (const ControlKind &kind : Kinds) {
        if (name == QLatin1String(kind.name))
            return &kind;
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
    const ControlKind *kind = kindOf(w);

    if (kind && !kind->create) {   // a tab page of the parent's tab widget
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

    if (kind) {
        QWidget *control = kind->create(w);
        control->setObjectName(key);
        rowLayout->addWidget(control, 3);
        if (qstrcmp(kind->name, "QGroupBox") == 0) {   // holds its children's rows
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
    if (const ControlKind *kind = kindOf(w))
        kind->show(control, this, KTDisplayValue::factorOf(w));
}

void KTDeviceProperty::from_ui_ctrl()
{
    QWidget *control = uiControl();
    if (!control || !hasWidget(this))
        return;
    const QJsonObject w = widgetOf(this);
    if (const ControlKind *kind = kindOf(w))
        kind->store(control, this, KTDisplayValue::factorOf(w));
}
