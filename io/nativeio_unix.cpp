// nativeio_unix.cpp - the POSIX side of the standard stream calls
#include "io/nativeio.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>

#include <poll.h>
#include <unistd.h>

namespace ves::mcp::native {

void setBinaryStdio() {}

void ignoreBrokenPipe()
{
    std::signal(SIGPIPE, SIG_IGN);
}

long long readStdin(char *buffer, std::size_t size)
{
    ssize_t n;
    do {
        n = ::read(0, buffer, size);
    } while (n < 0 && errno == EINTR);
    return n;
}

bool errorStreamReady()
{
    // A pipe reports POLLOUT while a page is free, so a log line (well under PIPE_BUF) fits.
    pollfd stream{2, POLLOUT, 0};
    int n;
    do {
        n = ::poll(&stream, 1, 0);
    } while (n < 0 && errno == EINTR);
    return n != 0;
}

bool writeConsole(std::FILE *, const char16_t *, std::size_t)
{
    return false; // terminals take UTF-8 bytes
}

void exitNow(int code)
{
    std::_Exit(code);
}

} // namespace ves::mcp::native
