// nativeio.h - the few C runtime and console calls that differ between Windows and POSIX
#pragma once

#include <cstddef>
#include <cstdio>

// Standard types only: the _win.cpp file must compile with a bare mingw compiler.
namespace ves::mcp::native {

// Puts descriptors 0 and 1 into binary mode, so that no CR LF translation or Ctrl+Z end of file
// happens on them. Nothing to do on POSIX.
void setBinaryStdio();

// Stops a write to a pipe without a reader from killing the process, so that the failed write can
// be reported. Windows has no such signal.
void ignoreBrokenPipe();

// Raises the buffer of the pipe on descriptor 1 to 1 MiB, where the system lets a process do that:
// a large answer then reaches the client in a sixteenth of the turns a 64 KiB pipe takes (on
// Linux, writing 64 MiB through the default pipe took twice as long). Nothing when descriptor 1
// is no pipe. Windows: the client sets the size when it creates the pipe.
void widenStdoutPipe();

// Reads up to size bytes from descriptor 0. Returns the count, 0 at the end of input, negative on
// an error. POSIX retries a read interrupted by a signal.
long long readStdin(char *buffer, std::size_t size);

// When stream (stdout or stderr) is a console window, flushes the stream and writes the UTF-16
// text to the console, returning true. Returns false when the stream is redirected (or on POSIX),
// leaving the caller to write UTF-8 bytes.
bool writeConsole(std::FILE *stream, const char16_t *text, std::size_t length);

// Calls onStop on a thread of its own (never inside a signal handler) each time the process is
// asked to end: SIGTERM or SIGINT on POSIX; Ctrl+C, Ctrl+Break, the console window closing, log-off
// or shut-down on Windows. what names the request. On Windows the system ends the process as soon
// as the handler of a close, log-off or shut-down event returns, so that handler waits there for
// the program to end by itself.
void watchStopRequests(void (*onStop)(const char *what));

// Gives memory freed by a large message back to the system. POSIX: malloc_trim; Windows: the
// heap does this by itself.
void releaseFreedMemory();

// Ends the process at once with code: no static destructors, no waiting for other threads.
[[noreturn]] void exitNow(int code);

} // namespace ves::mcp::native
