#include "stopsignals.h"

#include "mainwindow.h"
#include "qxsys.h"

#ifndef Q_OS_WIN
#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace
{

int g_pipe[2] = {-1, -1};

// Async-signal-safe: an atomic read, a stop flag, one write, or the default
// action again.
void on_stop_signal(int sig)
{
    if (!MainWindow::update_running()) {
        signal(sig, SIG_DFL);
        raise(sig);
        return;
    }
    qx_request_stop();
    const unsigned char b = (unsigned char)sig;
    const int saved = errno;
    if (write(g_pipe[1], &b, 1) < 0) {
        // The pipe is full of earlier signals: the first one decides.
    }
    errno = saved;
}

const int k_signals[] = {SIGTERM, SIGHUP, SIGINT};

} // namespace

StopSignals::StopSignals(MainWindow *window) : QObject(window), window(window)
{
    // Made once and kept while the program runs: a handler still running on
    // another thread as a window goes must never write into a descriptor
    // that was closed and has since been given to some file.
    if (g_pipe[0] < 0 && pipe2(g_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        g_pipe[0] = g_pipe[1] = -1;
        return;
    }
    // What an earlier window left unread is not this one's to act on.
    unsigned char stale;
    while (read(g_pipe[0], &stale, 1) == 1) {
    }
    notifier = new QSocketNotifier(g_pipe[0], QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, &StopSignals::on_signal);
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_stop_signal;
    // One handler at a time: the first signal's byte is the first in the pipe.
    sigemptyset(&sa.sa_mask);
    for (int sig : k_signals)
        sigaddset(&sa.sa_mask, sig);
    sa.sa_flags = SA_RESTART;
    for (int sig : k_signals)
        sigaction(sig, &sa, nullptr);
}

StopSignals::~StopSignals()
{
    if (!notifier)
        return;
    for (int sig : k_signals)
        signal(sig, SIG_DFL);
}

void StopSignals::on_signal()
{
    unsigned char b = 0;
    int first = 0;
    while (read(g_pipe[0], &b, 1) == 1)
        if (!first)
            first = b;
    if (first)
        window->stop_for_signal(first);
}

#else

StopSignals::StopSignals(MainWindow *window) : QObject(window), window(window) {}

StopSignals::~StopSignals() = default;

void StopSignals::on_signal() {}

#endif
