// platform_win.cpp - binary stdout; Ctrl+C and closing the console end the event loop
#include "platform.h"

#include "simserver.h"

#include <QCoreApplication>
#include <QMetaObject>

#include <cstdio>

#include <fcntl.h>
#include <io.h>
#include <windows.h>

namespace ves::sim {

namespace {

// Windows calls this on a thread of its own, so the quit is queued to the main thread.
BOOL WINAPI onConsoleEvent(DWORD)
{
    QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [] {
                logLine(QStringLiteral("stopping"));
                QCoreApplication::exit(0);
            },
            Qt::QueuedConnection);
    return TRUE;
}

} // namespace

void setUpProcess()
{
    // Tests compare what the sim prints with what vesk-mcp sent; text mode would add CRs.
    _setmode(_fileno(stdout), _O_BINARY);
    SetConsoleCtrlHandler(onConsoleEvent, TRUE);
}

} // namespace ves::sim
