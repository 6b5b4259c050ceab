// nativeio_win.cpp - the Win32 side of the standard stream calls
#include "io/nativeio.h"

#include <climits>
#include <cstdlib>

#include <fcntl.h>
#include <io.h>
#include <windows.h>

namespace ves::mcp::native {

static_assert(sizeof(wchar_t) == sizeof(char16_t), "WriteConsoleW takes UTF-16 code units");

void setBinaryStdio()
{
    // In text mode the C runtime turns CR LF into LF and takes a 0x1A byte for the end of the
    // input, which would cut a JSON line that carries it inside a string.
    _setmode(_fileno(stdin), _O_BINARY);
    _setmode(_fileno(stdout), _O_BINARY);
}

void ignoreBrokenPipe()
{
    // Windows has no SIGPIPE: a write to a pipe without a reader fails and is reported.
}

void widenStdoutPipe() {}

long long readStdin(char *buffer, std::size_t size)
{
    return _read(0, buffer, size > INT_MAX ? unsigned(INT_MAX) : unsigned(size));
}

bool writeConsole(std::FILE *stream, const char16_t *text, std::size_t length)
{
    const HANDLE handle = GetStdHandle(stream == stdout ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE);
    DWORD mode = 0;
    if (handle == INVALID_HANDLE_VALUE || handle == nullptr || !GetConsoleMode(handle, &mode))
        return false; // a file or a pipe: the caller writes UTF-8 bytes
    // Whatever the C runtime still buffers for this stream must come out first.
    std::fflush(stream);
    DWORD written = 0;
    WriteConsoleW(
            handle, reinterpret_cast<const wchar_t *>(text), DWORD(length), &written, nullptr);
    return true;
}

namespace {

void (*stopHandler)(const char *what) = nullptr;

BOOL WINAPI onConsoleEvent(DWORD event)
{
    switch (event) {
    case CTRL_C_EVENT:
        stopHandler("Ctrl+C");
        return TRUE;
    case CTRL_BREAK_EVENT:
        stopHandler("Ctrl+Break");
        return TRUE;
    default:
        stopHandler(event == CTRL_CLOSE_EVENT ? "console close" : "log-off or shut-down");
        // Returning would end the process now; the main thread ends it once it has finished.
        Sleep(INFINITE);
        return TRUE;
    }
}

} // namespace

void watchStopRequests(void (*onStop)(const char *what))
{
    stopHandler = onStop;
    SetConsoleCtrlHandler(onConsoleEvent, TRUE);
}

void releaseFreedMemory() {}

void exitNow(int code)
{
    // Not _exit: the C runtime's clean-up at ExitProcess takes the lock of stderr, which the
    // log's thread may hold for good in a write to a pipe that nobody reads.
    TerminateProcess(GetCurrentProcess(), UINT(code));
    _exit(code);
}

} // namespace ves::mcp::native
