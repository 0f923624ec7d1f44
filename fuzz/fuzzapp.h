#ifndef FUZZAPP_H
#define FUZZAPP_H

#include <QCoreApplication>
#include <QLoggingCategory>

// One application object for the whole run, traces off.
inline void ktFuzzApp()
{
    static int argc = 1;
    static char name[] = "fuzz";
    static char *argv[] = {name, nullptr};
    static QCoreApplication *app = [] {
        QLoggingCategory::setFilterRules(QStringLiteral("kt.*.debug=false\ndefault.debug=false"));
        return new QCoreApplication(argc, argv);
    }();
    (void)app;
}

#endif // FUZZAPP_H
