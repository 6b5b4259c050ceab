// link.cpp - McpServer's pipe connection to Vesk Studio: attempts, retries, framing, loss
#include "mcp/mcpserver.h"

#include "io/stdio.h"
#include "mcp/canonicaljson.h"

#include <QJsonDocument>
#include <QJsonParseError>
#include <QLocalSocket>

#include <utility>

namespace ves::mcp {

void McpServer::whenConnected(std::function<void(bool)> callback)
{
    if (connected && socket) {
        callback(true);
        return;
    }
    waiters.push_back(std::move(callback));
    if (!connecting)
        connectToApp();
}

void McpServer::sendToApp(const QJsonObject &message)
{
    sendLineToApp(QJsonDocument(message).toJson(QJsonDocument::Compact));
}

void McpServer::sendLineToApp(QByteArray line)
{
    if (!socket || !connected)
        return;
    if (verbose)
        log(QStringLiteral("app <- ") + QString::fromUtf8(abbreviate(line)));
    appOut.append(line).append('\n');
}

// The lines of one turn leave in one write and flush.
void McpServer::flushToApp()
{
    if (appOut.isEmpty())
        return;
    const QByteArray lines = std::exchange(appOut, QByteArray());
    if (!socket || socket->state() != QLocalSocket::ConnectedState)
        return;
    socket->write(lines);
    socket->flush();
    // What the pipe did not take at once is watched: unless some of it is taken within
    // appStallMs, Vesk Studio has stopped reading. A large write that moves is no stall.
    if (socket && socket->bytesToWrite() > 0 && !stallTimer.isActive())
        stallTimer.start();
}

// The pipe first: a write that fails there closes the connection, which answers the pending
// requests on stdout, and those answers must not wait for the next turn.
void McpServer::flushOutput()
{
    flushToApp();
    if (outFlush)
        outFlush();
}

void McpServer::appStalled()
{
    if (socket && connected && socket->bytesToWrite() > 0)
        closeConnection(QStringLiteral("Vesk Studio is not reading, %1 MiB unsent")
                                .arg((socket->bytesToWrite() + (1 << 20) - 1) >> 20));
}

// Takes the socket out of the member and silences it before anything else, so that what it
// reports on its way out (a failed write of the last lines) is not taken for a second break.
// Lines written while the connection was up still go to it.
void McpServer::dropSocket()
{
    stallTimer.stop();
    const QByteArray lines = std::exchange(appOut, QByteArray());
    QLocalSocket *old = std::exchange(socket, nullptr);
    if (!old)
        return;
    old->disconnect(this);
    if (!lines.isEmpty() && old->state() == QLocalSocket::ConnectedState) {
        old->write(lines);
        old->flush();
    }
    old->abort();
    old->deleteLater();
}

void McpServer::connectToApp()
{
    pollTimer.stop();
    dropSocket();
    connecting = true;
    connected = false;
    appLines.clear();

    const QString refusal = pipePathRefusal();
    if (!refusal.isEmpty()) {
        log(QStringLiteral("refusing pipe %1: %2").arg(pipeName, refusal));
        finishConnect(false);
        return;
    }

    auto *s = new QLocalSocket(this);
    socket = s;
    connect(s, &QLocalSocket::connected, this, [this, s] { verifyPipeServer(s); });
    connect(s, &QLocalSocket::errorOccurred, this, [this, s] {
        if (s != socket)
            return;
        if (connecting) {
            trace(QStringLiteral("cannot connect to %1: %2").arg(pipeName, s->errorString()));
            finishConnect(false);
        } else {
            closeConnection(s->errorString());
        }
    });
    connect(s, &QLocalSocket::disconnected, this, [this, s] {
        if (s == socket)
            closeConnection(QStringLiteral("disconnected"));
    });
    connect(s, &QLocalSocket::readyRead, this, [this, s] {
        if (s == socket)
            readFromApp();
    });
    connect(s, &QLocalSocket::bytesWritten, this, [this, s] {
        if (s != socket)
            return;
        if (s->bytesToWrite() > 0)
            stallTimer.start(); // moving: the wait starts again
        else
            stallTimer.stop();
    });
    connectTimer.start(connectTimeoutMs);
    s->connectToServer(pipeName, QIODevice::ReadWrite);
}

void McpServer::finishConnect(bool ok)
{
    if (!connecting)
        return;
    connecting = false;
    connectTimer.stop();
    if (ok) {
        log(QStringLiteral("connected to Vesk Studio (%1)").arg(pipeName));
        setReachable(true);
    } else {
        connected = false;
        dropSocket();
        setReachable(false);
        schedulePoll();
    }
    // A callback may lose the link again (a write that fails at once closes it), so each one is
    // told the state it finds, not the outcome of the attempt: a request must not be forwarded
    // into a connection that is already gone and then wait for its time-out.
    const auto callbacks = std::exchange(waiters, {});
    for (const auto &callback : callbacks)
        callback(ok && connected && socket);
    checkIdle();
}

void McpServer::connectTimedOut()
{
    if (!connecting)
        return;
    log(QStringLiteral("timed out connecting to %1").arg(pipeName));
    finishConnect(false);
}

void McpServer::pollTimedOut()
{
    if (!connected && !connecting)
        whenConnected([](bool) {});
}

void McpServer::closeConnection(const QString &reason)
{
    if (!socket)
        return;
    log(QStringLiteral("connection to Vesk Studio closed (%1)").arg(reason));
    connecting = false;
    connected = false;
    connectTimer.stop();
    dropSocket();
    appLines.clear();

    for (auto &[appId, entry] : takePending()) {
        const QJsonValue clientId = valueFromCompact(entry.clientId);
        if (entry.method == toolsCallMethod)
            entry.reply(makeResult(clientId, toolResult(closedText(entry.toolName), true)));
        else
            answerOffline(entry.method, clientId, entry.toolName, entry.reply);
    }
    const auto callbacks = std::exchange(waiters, {});
    for (const auto &callback : callbacks)
        callback(false);
    setReachable(false);
    schedulePoll();
    checkIdle();
}

void McpServer::setReachable(bool state)
{
    if (!reachableKnown || reachable != state) {
        reachable = state;
        reachableKnown = true;
        log(state ? QStringLiteral("Vesk Studio is reachable")
                  : QStringLiteral("Vesk Studio is not reachable (%1)").arg(pipeName));
    }
    announceListChange(state);
}

void McpServer::schedulePoll()
{
    if (!finishCallback && clientInitialized && pollMs >= 1 && !connected && !connecting
        && !pollTimer.isActive())
        pollTimer.start(pollMs);
}

void McpServer::readFromApp()
{
    QLocalSocket *const current = socket;
    // Straight from the socket into the cutter's buffer: readAll() and feed would copy every
    // byte twice, and a result may be many MiB.
    const qint64 available = current->bytesAvailable();
    const qint64 got = current->read(appLines.reserve(available), available);
    const bool tooLarge = appLines.commit(got, [this, current](const QByteArray &line) {
        if (passThrough(line))
            return socket == current;
        QJsonParseError error;
        const QJsonDocument document = QJsonDocument::fromJson(keepOpeningMarks(line), &error);
        if (error.error == QJsonParseError::NoError && document.isObject()) {
            if (verbose)
                log(QStringLiteral("app -> ") + QString::fromUtf8(abbreviate(line)));
            handleAppMessage(document.object());
        } else {
            log(QStringLiteral("Vesk Studio sent invalid JSON (%1)").arg(error.errorString()));
        }
        // Handling the message may have closed the connection, and with it the cut buffer.
        return socket == current;
    });
    if (socket == current && tooLarge)
        closeConnection(QStringLiteral("message from Vesk Studio too large"));
    else if (appLines.holdsLargeBuffer())
        releaseTimer.start();
}

} // namespace ves::mcp
