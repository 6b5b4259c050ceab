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

// Reads up to size bytes from descriptor 0. Returns the count, 0 at the end of input, negative on
// an error. POSIX retries a read interrupted by a signal.
long long readStdin(char *buffer, std::size_t size);

// False when a line written to stderr now would block: a pipe that its reader does not drain.
// Some clients pipe stderr and never read it; the log must not stop the program then.
// Windows cannot tell for an anonymous pipe and says true.
bool errorStreamReady();

// When stream (stdout or stderr) is a console window, flushes the stream and writes the UTF-16
// text to the console, returning true. Returns false when the stream is redirected (or on POSIX),
// leaving the caller to write UTF-8 bytes.
bool writeConsole(std::FILE *stream, const char16_t *text, std::size_t length);

// Ends the process at once with code: no static destructors, no waiting for other threads.
[[noreturn]] void exitNow(int code);

} // namespace ves::mcp::native
