#include "process/signal_watch.h"

#include <csignal>
#include <cstdio>
#include <cstring>

#include <sys/signalfd.h>
#include <unistd.h>

namespace {

sigset_t watched_set()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGHUP);
    return set;
}

}  // namespace

void signal_watch::block_signals()
{
    const sigset_t set = watched_set();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

signal_watch::signal_watch(QObject* parent) : QObject(parent)
{
    block_signals();
    const sigset_t set = watched_set();
    _fd = signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
    if (_fd < 0) {
        // Without it the default actions apply again: better than signals that do nothing.
        std::fprintf(stderr, "corvel: cannot watch signals: %s\n", std::strerror(errno));
        pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
        return;
    }
    _notifier = std::make_unique<QSocketNotifier>(_fd, QSocketNotifier::Read);
    connect(_notifier.get(), &QSocketNotifier::activated, this, &signal_watch::readable);
}

signal_watch::~signal_watch()
{
    _notifier.reset();
    if (_fd >= 0)
        ::close(_fd);
}

void signal_watch::readable()
{
    signalfd_siginfo info;
    while (::read(_fd, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
        const int signo = static_cast<int>(info.ssi_signo);
        if (signo == SIGHUP)
            emit reopen_asked();
        else
            emit stop_asked(signo);
    }
}
