#ifndef CONTROLSHOWN_H
#define CONTROLSHOWN_H

#include <QVariant>

class QWidget;

namespace HostControl {

// What a control shows, whatever its kind: a spin box's value, a combo box's
// index, a line edit's or label's text; nothing for any other widget. The
// settings window compares it after a read and before a write to know what
// the user changed.
QVariant shownBy(QWidget *control);

} // namespace HostControl

#endif // CONTROLSHOWN_H
