// stdio.h - the program's standard streams: the stdin reader, the stdout writer, the text printer
#pragma once

#include <QByteArray>
#include <QPointer>
#include <QString>

#include <cstdio>

namespace ves::mcp {

class McpServer;

// Starts the detached thread that cuts stdin into lines and posts them to the server.
void startStdinReader(QPointer<McpServer> server);

// Makes a request to end the process (a signal, a console event) stop the server as soon as
// the event loop takes it, and end the process at the latest graceMs after it.
void startStopWatcher(QPointer<McpServer> server);

// The server's output function: one message as one line into stdout's buffer. On failure it
// reports on stderr and posts the end of the event loop with code 1.
void writeStdout(const QByteArray &message);

// The same for one message given in three pieces, written one after the other: the server's
// pieces writer, so that a large result is written from where it was received, not copied into
// one QByteArray first.
void writeStdoutPieces(const QByteArray &head,
                       const char *body,
                       qsizetype size,
                       const QByteArray &tail);

// Sends what the two writers left in stdout's buffer, failing as they do. The server's flush
// function, called once per turn of the event loop, and by main at the end.
void flushStdout();

// True once a write to stdout has failed. The exit code is then 1 even when the finish after
// the end of input ends the event loop with 0 in the same turn.
bool stdoutBroken();

// Waits until the log lines queued so far reach stderr, or until stderr has taken nothing for
// half a second (a pipe that nobody reads). main calls it before the process ends.
void flushLog();

// Writes main's texts (help, version, errors) to stdout or stderr: UTF-16 to a console window,
// UTF-8 bytes to anything else.
void printText(const QString &text, std::FILE *stream);

// A message shortened for the log: at most 600 bytes and its full size.
QByteArray abbreviate(const QByteArray &bytes);

// A peer's text (a client's name, a tool name) for a log line: a long one shortened the same way.
QString shortened(const QString &field);

} // namespace ves::mcp
