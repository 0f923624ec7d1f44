#ifndef KTSIGNALNOTIFIER_H
#define KTSIGNALNOTIFIER_H

#include <QCoreApplication>
#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <functional>
#include <unistd.h>

// Turns SIGINT, SIGTERM and SIGHUP (the terminal closed) into a call on the event loop's thread, where it
// is safe to act. The handler only writes a byte to a non-blocking pipe, so a
// burst of signals can neither block it nor leak the pipe into children.
inline void ktOnTerminationSignal(const std::function<void()> &action)
{
    static int fds[2] = {-1, -1};
    if (fds[0] >= 0 || ::pipe2(fds, O_NONBLOCK | O_CLOEXEC) != 0)
        return;
    struct sigaction sa = {};
    sa.sa_handler = [](int) {
        const int saved = errno;
        (void)!::write(fds[1], "x", 1);
        errno = saved;
    };
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    ::sigaction(SIGINT, &sa, nullptr);
    ::sigaction(SIGTERM, &sa, nullptr);
    ::sigaction(SIGHUP, &sa, nullptr);
    auto *notifier = new QSocketNotifier(fds[0], QSocketNotifier::Read, QCoreApplication::instance());
    QObject::connect(notifier, &QSocketNotifier::activated, notifier, [action]() {
        char bytes[64];
        while (::read(fds[0], bytes, sizeof bytes) > 0) {
        }
        action();
    });
}

#endif // KTSIGNALNOTIFIER_H
