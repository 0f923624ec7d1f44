#ifndef HOSTPRINTABLE_H
#define HOSTPRINTABLE_H

#include <QString>

// Text that came from outside (the machine, the service, a value typed in)
// as kt-host prints it: control characters shown as \xNN, so none of them
// moves the cursor, rings, recolours the terminal or breaks the line.
QString hostPrintable(const QString &text);

#endif // HOSTPRINTABLE_H
