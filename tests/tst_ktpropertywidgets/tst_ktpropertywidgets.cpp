#include "property/ktdeviceproperty.h"
#include "tools/host/controlshown.h"

#include <QComboBox>
#include <QDoubleSpinBox>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QSpinBox>
#include <QTabWidget>
#include <QVBoxLayout>
#include <QtTest>

using T = KTDeviceInterface;

namespace {

struct Page
{
    QWidget widget;
    Page() { new QVBoxLayout(&widget); }
};

std::unique_ptr<KTDeviceProperty> make(const QVariant &value, const QJsonObject &widget, const QString &label = "L",
                                       const QString &unit = "U")
{
    auto p = std::make_unique<KTDeviceProperty>();
    p->init(value, label, unit, 1, 1, 1, T::CMD, {});
    p->setProperty("WIDGET", widget);
    return p;
}

QStringList labelTexts(QWidget *w)
{
    QStringList texts;
    for (QLabel *l : w->findChildren<QLabel *>())
        texts << l->text();
    return texts;
}

// What a control shows, by the rule the settings window reads it with.
using HostControl::shownBy;

} // namespace

class tst_KTPropertyWidgets : public QObject
{
    Q_OBJECT
private slots:
    void spinRanges_data();
    void spinRanges();
    void showAndStore_data();
    void showAndStore();
    void unchangedReadBackSignalsWhenTruncated();
    void rowHasLabelControlAndUnit();
    void noWidgetBuildsNothing();
    void unknownKindBuildsLabelOnly();
    void groupBoxHoldsChildrenWithoutUnits();
    void tabGroupsShareOneTabWidgetPerParent();
    void destroyedControlReadsAsNone();
    void rebuildReplacesReference();
    void kindChangedAfterBuildLeavesBothAlone_data();
    void kindChangedAfterBuildLeavesBothAlone();
};

void tst_KTPropertyWidgets::spinRanges_data()
{
    QTest::addColumn<QJsonObject>("widget");
    QTest::addColumn<double>("min");
    QTest::addColumn<double>("max");

    QTest::newRow("spin defaults") << QJsonObject{{"widget", "QSpinBox"}} << 0.0 << 1000.0;
    QTest::newRow("spin with range") << QJsonObject{{"widget", "QSpinBox"}, {"min", -360}, {"max", 360}} << -360.0
                                     << 360.0;
    QTest::newRow("spin whole double max") << QJsonObject{{"widget", "QSpinBox"}, {"min", 0}, {"max", 10000.0}} << 0.0
                                           << 10000.0;
    QTest::newRow("spin fractional max is absent") << QJsonObject{{"widget", "QSpinBox"}, {"max", 10.5}} << 0.0
                                                   << 1000.0;
    QTest::newRow("double defaults") << QJsonObject{{"widget", "QDoubleSpinBox"}} << 0.0 << 0.0;
    QTest::newRow("double range") << QJsonObject{{"widget", "QDoubleSpinBox"}, {"min", -1000.0}, {"max", 1000.0}}
                                  << -1000.0 << 1000.0;
}

void tst_KTPropertyWidgets::spinRanges()
{
    QFETCH(QJsonObject, widget);
    Page page;
    auto p = make(0, widget);
    p->create_ui_ctrl(&page.widget, "KEY", true);
    auto *spin = qobject_cast<QAbstractSpinBox *>(p->uiControl());
    QVERIFY(spin);
    QCOMPARE(spin->objectName(), QStringLiteral("KEY"));
    QCOMPARE(spin->buttonSymbols(), QAbstractSpinBox::NoButtons);
    if (auto *s = qobject_cast<QSpinBox *>(spin)) {
        QTEST(double(s->minimum()), "min");
        QTEST(double(s->maximum()), "max");
    } else {
        auto *d = qobject_cast<QDoubleSpinBox *>(spin);
        QCOMPARE(d->decimals(), 3);
        QTEST(d->minimum(), "min");
        QTEST(d->maximum(), "max");
    }
}

void tst_KTPropertyWidgets::showAndStore_data()
{
    QTest::addColumn<QJsonObject>("widget");
    QTest::addColumn<QVariant>("value");
    QTest::addColumn<QVariant>("shown");
    QTest::addColumn<QVariant>("entered");
    QTest::addColumn<QVariant>("stored");

    const QJsonObject combo{{"widget", "QComboBox"}, {"option", "a;b;c;d;e;f"}, {"factor", 0.04}};
    QTest::newRow("combo factor 0.04") << combo << QVariant(75u) << QVariant(3) << QVariant(5) << QVariant(125);
    QTest::newRow("combo factor 0.04 first") << combo << QVariant(0u) << QVariant(0) << QVariant(0) << QVariant(0);
    QTest::newRow("combo plain") << QJsonObject{{"widget", "QComboBox"}, {"option", " x; y;"}} << QVariant(1)
                                 << QVariant(1) << QVariant(2) << QVariant(2);
    QTest::newRow("spin factor 1.5 truncates") << QJsonObject{{"widget", "QSpinBox"}, {"factor", 1.5}} << QVariant(7u)
                                               << QVariant(10) << QVariant(10) << QVariant(6);
    QTest::newRow("spin factor 0 acts as 1") << QJsonObject{{"widget", "QSpinBox"}, {"factor", 0}} << QVariant(7)
                                             << QVariant(7) << QVariant(8) << QVariant(8);
    QTest::newRow("spin speed 700") << QJsonObject{{"widget", "QSpinBox"}, {"min", 10}, {"max", 1050}, {"factor", 1.5}}
                                    << QVariant(700u) << QVariant(1050) << QVariant(1050) << QVariant(700);
    const QJsonObject offset{{"widget", "QDoubleSpinBox"}, {"min", -1000.0}, {"max", 1000.0}, {"factor", 0.005}};
    QTest::newRow("double offset") << offset << QVariant(300u) << QVariant(1.5) << QVariant(-2.0) << QVariant(-400.0);
    QTest::newRow("double offset 2000") << offset << QVariant(2000u) << QVariant(10.0) << QVariant(-10.0)
                                        << QVariant(-2000.0);
    QTest::newRow("line edit plain") << QJsonObject{{"widget", "QLineEdit"}} << QVariant("V1.2") << QVariant("V1.2")
                                     << QVariant("abc") << QVariant("abc");
    QTest::newRow("line edit factor 0.1") << QJsonObject{{"widget", "QLineEdit"}, {"factor", 0.1}} << QVariant(30u)
                                          << QVariant("3") << QVariant("2") << QVariant("20");
    QTest::newRow("line edit work area") << QJsonObject{{"widget", "QLineEdit"}, {"factor", 0.5}} << QVariant(600u)
                                         << QVariant("300") << QVariant("150") << QVariant("300");
    QTest::newRow("line edit scale") << QJsonObject{{"widget", "QLineEdit"}, {"factor", 0.0001}} << QVariant(10000u)
                                     << QVariant("1") << QVariant("1.25") << QVariant("12500");
    QTest::newRow("label") << QJsonObject{{"widget", "QLabel"}} << QVariant("KT") << QVariant("KT") << QVariant("X")
                           << QVariant("X");
}

void tst_KTPropertyWidgets::showAndStore()
{
    QFETCH(QJsonObject, widget);
    QFETCH(QVariant, value);
    QFETCH(QVariant, entered);
    Page page;
    auto p = make(value, widget);
    p->create_ui_ctrl(&page.widget, "KEY", true);
    p->to_ui_ctrl();
    QWidget *c = p->uiControl();
    QVERIFY(c);

    QVariant shown;
    if (auto *s = qobject_cast<QSpinBox *>(c)) {
        shown = s->value();
        s->setValue(entered.toInt());
    } else if (auto *d = qobject_cast<QDoubleSpinBox *>(c)) {
        shown = d->value();
        d->setValue(entered.toDouble());
    } else if (auto *cb = qobject_cast<QComboBox *>(c)) {
        shown = cb->currentIndex();
        cb->setCurrentIndex(entered.toInt());
    } else if (auto *e = qobject_cast<QLineEdit *>(c)) {
        shown = e->text();
        e->setText(entered.toString());
    } else if (auto *l = qobject_cast<QLabel *>(c)) {
        shown = l->text();
        l->setText(entered.toString());
    }
    QTEST(shown, "shown");
    p->from_ui_ctrl();
    QTEST(p->value(), "stored");
}

void tst_KTPropertyWidgets::unchangedReadBackSignalsWhenTruncated()
{
    Page page;
    auto p = make(7u, QJsonObject{{"widget", "QSpinBox"}, {"factor", 1.5}});
    p->create_ui_ctrl(&page.widget, "KEY", true);
    p->to_ui_ctrl();
    QSignalSpy spy(p.get(), &KTDeviceProperty::valueChanged);
    p->from_ui_ctrl();
    QCOMPARE(spy.count(), 1);
    QCOMPARE(p->value(), QVariant(6));
}

void tst_KTPropertyWidgets::rowHasLabelControlAndUnit()
{
    Page withUnit, withoutUnit;
    auto p = make(1, QJsonObject{{"widget", "QLineEdit"}}, "Speed", "(mm/s)");
    p->create_ui_ctrl(&withUnit.widget, "A", true);
    QCOMPARE(labelTexts(&withUnit.widget), (QStringList{"Speed", "(mm/s)"}));
    QCOMPARE(withUnit.widget.layout()->count(), 1);
    p->create_ui_ctrl(&withoutUnit.widget, "A", false);
    QCOMPARE(labelTexts(&withoutUnit.widget), QStringList{"Speed"});
}

void tst_KTPropertyWidgets::noWidgetBuildsNothing()
{
    Page page;
    KTDeviceProperty p;
    p.init(1, "L", "U", 0, 0, 0, T::UnCMD, {});
    p.create_ui_ctrl(&page.widget, "K", true);
    QCOMPARE(page.widget.layout()->count(), 0);
    p.to_ui_ctrl();
    p.from_ui_ctrl();
    QCOMPARE(p.value(), QVariant(1));
}

void tst_KTPropertyWidgets::unknownKindBuildsLabelOnly()
{
    Page page;
    auto p = make(1, QJsonObject{{"widget", "QSlider"}});
    p->create_ui_ctrl(&page.widget, "K", true);
    QCOMPARE(page.widget.layout()->count(), 1);
    QVERIFY(!p->property("UI_CTRL").isValid());
    QCOMPARE(labelTexts(&page.widget), (QStringList{"L", "U"}));
}

void tst_KTPropertyWidgets::groupBoxHoldsChildrenWithoutUnits()
{
    Page page;
    auto x = make(300u, QJsonObject{{"widget", "QDoubleSpinBox"}, {"min", -1000.0}, {"max", 1000.0}, {"factor", 0.005}},
                  "x", "mm");
    auto y = make(0u, QJsonObject{{"widget", "QDoubleSpinBox"}, {"min", -1000.0}, {"max", 1000.0}, {"factor", 0.005}},
                  "y", "mm");
    auto group = make(QVariant(), QJsonObject{{"widget", "QGroupBox"}}, "Camera", "(mm x mm)");
    group->setProperty("X", KTDeviceProperty::toVariant(x.get()));
    group->setProperty("Y", KTDeviceProperty::toVariant(y.get()));
    group->create_ui_ctrl(&page.widget, "CAMERA_OFFSET", true);

    QWidget *box = group->uiControl();
    QVERIFY(box);
    QCOMPARE(box->objectName(), QStringLiteral("CAMERA_OFFSET"));
    QCOMPARE(labelTexts(box), (QStringList{"x", "y"}));
    QCOMPARE(labelTexts(&page.widget), (QStringList{"Camera", "x", "y", "(mm x mm)"}));
    QVERIFY(box->isAncestorOf(x->uiControl()));
    QCOMPARE(x->uiControl()->objectName(), QStringLiteral("X"));

    group->to_ui_ctrl();
    QCOMPARE(static_cast<QDoubleSpinBox *>(x->uiControl())->value(), 1.5);
    static_cast<QDoubleSpinBox *>(y->uiControl())->setValue(-2.0);
    group->from_ui_ctrl();
    QCOMPARE(y->value(), QVariant(-400.0));
}

void tst_KTPropertyWidgets::tabGroupsShareOneTabWidgetPerParent()
{
    Page page, other;
    auto speed = make(100u, QJsonObject{{"widget", "QSpinBox"}, {"max", 700}}, "speed");
    auto sp1 = make(QVariant(), QJsonObject{{"widget", "QTabWidget"}}, "SP1");
    sp1->setProperty("SP1_SPEED", KTDeviceProperty::toVariant(speed.get()));
    auto sp2 = make(QVariant(), QJsonObject{{"widget", "QTabWidget"}}, "SP2");
    auto feed = make(QVariant(), QJsonObject{{"widget", "QTabWidget"}}, "FEED");

    sp1->create_ui_ctrl(&page.widget, "SP1", true);
    sp2->create_ui_ctrl(&page.widget, "SP2", true);
    feed->create_ui_ctrl(&other.widget, "FEED", true);

    const auto tabs = page.widget.findChildren<QTabWidget *>(QString(), Qt::FindDirectChildrenOnly);
    QCOMPARE(tabs.size(), 1);
    QCOMPARE(tabs.first()->count(), 2);
    QCOMPARE(tabs.first()->tabText(0), QStringLiteral("SP1"));
    QCOMPARE(tabs.first()->tabText(1), QStringLiteral("SP2"));
    QCOMPARE(sp1->uiControl(), tabs.first()->widget(0));
    QCOMPARE(other.widget.findChildren<QTabWidget *>().size(), 1);
    QCOMPARE(page.widget.layout()->count(), 1);

    const QMargins m = sp1->uiControl()->layout()->contentsMargins();
    QCOMPARE(m, QMargins(30, 10, 10, 30));
    sp1->to_ui_ctrl();
    QCOMPARE(static_cast<QSpinBox *>(speed->uiControl())->value(), 100);
}

void tst_KTPropertyWidgets::destroyedControlReadsAsNone()
{
    auto page = std::make_unique<Page>();
    auto p = make(5, QJsonObject{{"widget", "QSpinBox"}});
    p->create_ui_ctrl(&page->widget, "K", true);
    QVERIFY(p->uiControl());
    page.reset();
    QVERIFY(p->uiControl() == nullptr);
    p->to_ui_ctrl();
    p->from_ui_ctrl();
    QCOMPARE(p->value(), QVariant(5));
}

void tst_KTPropertyWidgets::rebuildReplacesReference()
{
    Page first;
    auto second = std::make_unique<Page>();
    auto p = make(5, QJsonObject{{"widget", "QSpinBox"}});
    p->create_ui_ctrl(&first.widget, "K", true);
    QWidget *old = p->uiControl();
    p->create_ui_ctrl(&second->widget, "K", true);
    QVERIFY(p->uiControl() != old);
    delete old;   // the old control going away must not clear the new reference
    QVERIFY(p->uiControl());
    second.reset();
    QVERIFY(!p->uiControl());
}

void tst_KTPropertyWidgets::kindChangedAfterBuildLeavesBothAlone_data()
{
    QTest::addColumn<QString>("built");
    QTest::addColumn<QString>("changed");
    const QStringList kinds{"QSpinBox", "QDoubleSpinBox", "QComboBox", "QLineEdit", "QLabel", "QGroupBox"};
    for (const QString &built : kinds) {
        for (const QString &changed : kinds) {
            if (built != changed)
                QTest::newRow(qPrintable(built + " to " + changed)) << built << changed;
        }
    }
}

void tst_KTPropertyWidgets::kindChangedAfterBuildLeavesBothAlone()
{
    QFETCH(QString, built);
    QFETCH(QString, changed);
    Page page;
    auto p = make(QVariant(2), QJsonObject{{"widget", built}, {"option", "a;b;c;d"}, {"max", 100}});
    p->create_ui_ctrl(&page.widget, "KEY", true);
    p->to_ui_ctrl();
    QWidget *control = p->uiControl();
    QVERIFY(control);
    const QVariant shown = shownBy(control);

    p->setProperty("WIDGET", QJsonObject{{"widget", changed}, {"option", "a;b;c;d"}, {"max", 100}, {"factor", 2}});
    p->setValue(3);
    QSignalSpy spy(p.get(), &KTDeviceProperty::valueChanged);
    p->to_ui_ctrl();
    QCOMPARE(shownBy(control), shown);
    p->from_ui_ctrl();
    QCOMPARE(p->value(), QVariant(3));
    QCOMPARE(spy.count(), 0);
}

QTEST_MAIN(tst_KTPropertyWidgets)
#include "tst_ktpropertywidgets.moc"
