#ifndef KTSIGNALNOTIFIER_H
#define KTSIGNALNOTIFIER_H

#include <QCoreApplication>
#include <QSocketNotifier>

#include <csignal>
#include <functional>
#include <unistd.h>

// Turns SIGINT and SIGTERM into a call on the event loop's thread, where it
// is safe to act: the handler itself only writes a byte to a pipe.
inline void ktOnTerminationSignal(const std::function<void()> &action)
{
    static int fds[2] = {-1, -1};
    if (fds[0] >= 0 || ::pipe(fds) != 0)
        return;
    auto handler = [](int) { (void)!::write(fds[1], "x", 1); };
    std::signal(SIGINT, handler);
    std::signal(SIGTERM, handler);
    auto *notifier = new QSocketNotifier(fds[0], QSocketNotifier::Read, QCoreApplication::instance());
    QObject::connect(notifier, &QSocketNotifier::activated, notifier, [action]() {
        char byte;
        (void)!::read(fds[0], &byte, 1);
        action();
    });
}

#endif // KTSIGNALNOTIFIER_H
