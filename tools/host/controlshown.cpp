#include "tools/host/controlshown.h"

#include <QComboBox>
#include <QDoubleSpinBox>
#include <QLabel>
#include <QLineEdit>
#include <QSpinBox>

QVariant HostControl::shownBy(QWidget *control)
{
    if (auto *s = qobject_cast<QSpinBox *>(control))
        return s->value();
    if (auto *d = qobject_cast<QDoubleSpinBox *>(control))
        return d->value();
    if (auto *cb = qobject_cast<QComboBox *>(control))
        return cb->currentIndex();
    if (auto *e = qobject_cast<QLineEdit *>(control))
        return e->text();
    if (auto *l = qobject_cast<QLabel *>(control))
        return l->text();
    return QVariant();
}
