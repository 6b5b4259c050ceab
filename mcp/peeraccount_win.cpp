// peeraccount_win.cpp - the Win32 side of the pipe server's account check
#include "mcp/peeraccount.h"

#include <memory>
#include <type_traits>
#include <vector>

#include <windows.h>

namespace ves::mcp::native {

namespace {

struct HandleCloser
{
    void operator()(HANDLE handle) const { CloseHandle(handle); }
};
using UniqueHandle = std::unique_ptr<std::remove_pointer_t<HANDLE>, HandleCloser>;

} // namespace

std::uint32_t pipeServerProcessId(Handle pipe)
{
    ULONG pid = 0;
    if (pipe == 0 || pipe == -1 || !GetNamedPipeServerProcessId(HANDLE(pipe), &pid))
        return 0;
    return std::uint32_t(pid);
}

Handle openProcessForQuery(std::uint32_t pid)
{
    // The limited query right is all that OpenProcessToken needs, and it is granted for more
    // processes of the same account than PROCESS_QUERY_INFORMATION.
    return Handle(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, DWORD(pid)));
}

void closeProcess(Handle process)
{
    if (process != 0)
        CloseHandle(HANDLE(process));
}

Handle currentProcess()
{
    return Handle(GetCurrentProcess()); // a pseudo handle (-1), valid without closing
}

std::string userSid(Handle process)
{
    HANDLE rawToken = nullptr;
    if (process == 0 || !OpenProcessToken(HANDLE(process), TOKEN_QUERY, &rawToken))
        return {};
    const UniqueHandle token(rawToken);

    // The first call only learns the size; it fails with ERROR_INSUFFICIENT_BUFFER by design.
    DWORD length = 0;
    GetTokenInformation(token.get(), TokenUser, nullptr, 0, &length);
    if (length == 0)
        return {};
    // operator new aligns the buffer for TOKEN_USER and its pointer.
    std::vector<BYTE> buffer(length);
    if (!GetTokenInformation(token.get(), TokenUser, buffer.data(), length, &length))
        return {};
    const PSID sid = reinterpret_cast<const TOKEN_USER *>(buffer.data())->User.Sid;
    if (!IsValidSid(sid))
        return {};
    return std::string(static_cast<const char *>(sid), GetLengthSid(sid));
}

PipePath inspectPipePath(const char *)
{
    return PipePath::Usable; // the server's account is checked once the pipe is open
}

} // namespace ves::mcp::native
