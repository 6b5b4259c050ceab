// peeraccount_unix.cpp - the POSIX side of the pipe server's account check
#include "mcp/peeraccount.h"

#include <cerrno>

#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace ves::mcp::native {

namespace {
// SO_PEERCRED gives the server's pid and uid together. The uid is kept for userSid, which plays
// the part of reading the process token on Windows; only the main thread runs the check.
pid_t peerPid = 0;
uid_t peerUid = 0;
} // namespace

std::uint32_t pipeServerProcessId(Handle pipe)
{
    peerPid = 0;
    ucred credentials{};
    socklen_t length = sizeof credentials;
    if (pipe <= 0 || getsockopt(int(pipe), SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0
        || credentials.pid <= 0)
        return 0;
    peerPid = credentials.pid;
    peerUid = credentials.uid;
    return std::uint32_t(credentials.pid);
}

Handle openProcessForQuery(std::uint32_t pid)
{
    // A process that exists but belongs to someone else answers EPERM: it can still be named.
    if (pid == 0 || (::kill(pid_t(pid), 0) != 0 && errno != EPERM))
        return 0;
    return Handle(pid);
}

void closeProcess(Handle) {}

Handle currentProcess()
{
    return Handle(::getpid());
}

std::string userSid(Handle process)
{
    if (process == Handle(::getpid()))
        return std::to_string(::geteuid());
    if (process != 0 && process == Handle(peerPid))
        return std::to_string(peerUid);
    return {};
}

PipePath inspectPipePath(const char *path)
{
    struct stat entry
    {
    };
    if (::lstat(path, &entry) != 0)
        return PipePath::Usable; // nothing there: the connection fails by itself
    if (S_ISLNK(entry.st_mode))
        return PipePath::SymbolicLink;
    if (entry.st_uid != ::geteuid())
        return PipePath::OtherOwner;
    return PipePath::Usable;
}

} // namespace ves::mcp::native
