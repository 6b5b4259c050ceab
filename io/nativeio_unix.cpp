// nativeio_unix.cpp - the POSIX side of the standard stream calls
#include "io/nativeio.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <thread>

#include <fcntl.h>
#include <malloc.h>
#include <unistd.h>

namespace ves::mcp::native {

void setBinaryStdio() {}

void ignoreBrokenPipe()
{
    std::signal(SIGPIPE, SIG_IGN);
}

void widenStdoutPipe()
{
#if defined(F_SETPIPE_SZ)
    ::fcntl(1, F_SETPIPE_SZ, 1 << 20); // fails, changing nothing, beyond the system's limits
#endif
}

long long readStdin(char *buffer, std::size_t size)
{
    ssize_t n;
    do {
        n = ::read(0, buffer, size);
    } while (n < 0 && errno == EINTR);
    return n;
}

bool writeConsole(std::FILE *, const char16_t *, std::size_t)
{
    return false; // terminals take UTF-8 bytes
}

namespace {

// The self-pipe: the signal handler only writes the signal's number into it.
int stopPipe[2] = {-1, -1};

extern "C" void onStopSignal(int number)
{
    const int saved = errno;
    const char byte = char(number);
    [[maybe_unused]] const ssize_t n = ::write(stopPipe[1], &byte, 1);
    errno = saved;
}

} // namespace

void watchStopRequests(void (*onStop)(const char *what))
{
    if (::pipe2(stopPipe, O_CLOEXEC) != 0)
        return;
    std::thread([onStop] {
        for (;;) {
            char number = 0;
            const ssize_t n = ::read(stopPipe[0], &number, 1);
            if (n == 1)
                onStop(number == SIGINT ? "SIGINT" : "SIGTERM");
            else if (!(n < 0 && errno == EINTR))
                return;
        }
    }).detach();
    struct sigaction action
    {
    };
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGTERM, &action, nullptr);
    ::sigaction(SIGINT, &action, nullptr);
}

void releaseFreedMemory()
{
    ::malloc_trim(0);
}

void exitNow(int code)
{
    std::_Exit(code);
}

} // namespace ves::mcp::native
