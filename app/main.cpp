// main.cpp - vesk-mcp's entry point: configuration, then the event loop until the client is done
#include "app/options.h"
#include "io/nativeio.h"
#include "io/stdio.h"
#include "mcp/mcpserver.h"

#include <QCoreApplication>
#include <QPointer>

#include <cstdio>

using namespace ves::mcp;

int main(int argc, char *argv[])
{
    native::setBinaryStdio();
    native::ignoreBrokenPipe();
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("vesk-mcp"));
    QCoreApplication::setApplicationVersion(QString::fromLatin1(programVersion));

    ServerOptions options;
    applyEnvironment(options);
    const CommandLine command = applyCommandLine(options, QCoreApplication::arguments().mid(1));
    switch (command.action) {
    case CommandLine::Help:
        printText(helpText(QCoreApplication::applicationFilePath()), stdout);
        return 0;
    case CommandLine::Version:
        printText(versionLine(), stdout);
        return 0;
    case CommandLine::PrintPipeName:
        printText(defaultPipeName() + QLatin1Char('\n'), stdout);
        return 0;
    case CommandLine::Error:
        printText(command.error, stderr);
        return 2;
    case CommandLine::Run:
        break;
    }

    native::widenStdoutPipe();
    auto *server = new McpServer(std::move(options), writeStdout, &app);
    server->setPiecesWriter(writeStdoutPieces);
    server->setOutputFlush(flushStdout);
    startStopWatcher(QPointer<McpServer>(server));
    startStdinReader(QPointer<McpServer>(server));
    const int loopResult = QCoreApplication::exec();
    delete server;
    flushStdout(); // what the last turn wrote; a failure here still makes the exit code 1
    const int exitStatus = stdoutBroken() ? 1 : loopResult;
    flushLog();
    // The reader thread may be blocked in a read of stdin: end without waiting for it.
    native::exitNow(exitStatus);
}
