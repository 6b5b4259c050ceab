// peeraccount.h - system calls behind the check of the pipe server's account
#pragma once

#include <cstdint>
#include <string>

// Standard types only: the _win.cpp file must compile with a bare mingw compiler.
namespace ves::mcp::native {

// HANDLE on Windows; on POSIX a socket descriptor for a pipe and a pid for a process. 0 = none.
using Handle = std::intptr_t;

// Process id of the server end of a connected pipe (Windows: GetNamedPipeServerProcessId;
// POSIX: SO_PEERCRED on the Unix socket). 0 when the system cannot tell.
std::uint32_t pipeServerProcessId(Handle pipe);

// Opens the process for a limited query; 0 when it cannot be opened. closeProcess ends it.
Handle openProcessForQuery(std::uint32_t pid);
void closeProcess(Handle process);

// This program's own process (GetCurrentProcess on Windows); never needs closing.
Handle currentProcess();

// What stands at a pipe's path before it is opened. POSIX: the socket file, in a directory that
// every user may write to, checked with lstat; Windows pipes are no files and are always Usable.
enum class PipePath { Usable, SymbolicLink, OtherOwner };
PipePath inspectPipePath(const char *path);

// The bytes of the account identifier the process runs under (Windows: the user SID of its token;
// POSIX: the effective uid in decimal). Empty when it cannot be read.
std::string userSid(Handle process);

} // namespace ves::mcp::native
