// stopsignals_win.cpp - Ctrl+C and closing the console end the event loop
#include "stopsignals.h"

#include "simserver.h"

#include <QCoreApplication>
#include <QMetaObject>

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

void quitOnStopSignals()
{
    SetConsoleCtrlHandler(onConsoleEvent, TRUE);
}

} // namespace ves::sim
