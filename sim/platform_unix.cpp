// platform_unix.cpp - SIGPIPE ignored; SIGTERM and SIGINT reach the event loop through a self-pipe
#include "platform.h"

#include "simserver.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <cstring>

#include <unistd.h>

namespace ves::sim {

namespace {

int signalPipe[2] = {-1, -1};

// Only write() is safe in a signal handler; the notifier does the rest on the main thread.
void onStopSignal(int)
{
    const char byte = 1;
    const int saved = errno;
    [[maybe_unused]] const ssize_t written = ::write(signalPipe[1], &byte, 1);
    errno = saved;
}

} // namespace

void setUpProcess()
{
    // A client that goes away while we write must not kill the sim.
    std::signal(SIGPIPE, SIG_IGN);
    if (::pipe(signalPipe) != 0) {
        logLine(QStringLiteral("pipe: error %1; SIGTERM will not end the sim cleanly").arg(errno));
        return;
    }
    auto *notifier = new QSocketNotifier(
            signalPipe[0], QSocketNotifier::Read, QCoreApplication::instance());
    QObject::connect(notifier, &QSocketNotifier::activated, notifier, [] {
        logLine(QStringLiteral("stopping"));
        QCoreApplication::exit(0);
    });
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
}

} // namespace ves::sim
