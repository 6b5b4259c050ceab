// link.cpp - McpServer's pipe connection to Vesk Studio: attempts, retries, framing, loss
#include "mcp/mcpserver.h"

#include "io/stdio.h"

#include <QJsonDocument>
#include <QJsonParseError>
#include <QLocalSocket>

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
    if (!socket || !connected)
        return;
    QByteArray line = QJsonDocument(message).toJson(QJsonDocument::Compact);
    trace(QStringLiteral("app <- ") + QString::fromUtf8(abbreviate(line)));
    line.append('\n');
    socket->write(line);
    socket->flush();
}

// Clears the member first, so that handlers reached from abort() see no current socket.
void McpServer::dropSocket()
{
    QLocalSocket *old = std::exchange(socket, nullptr);
    if (!old)
        return;
    old->disconnect(this);
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
        if (entry.method == toolsCallMethod) {
            const QString closed
                    = QString::fromUtf8(
                              "Mất kết nối với Vesk Studio khi đang chạy \"%1\"; thao tác "
                              "có thể chưa xong.\nThe connection to Vesk Studio was "
                              "closed while \"%1\" was running; the operation may not "
                              "have completed.\n")
                              .arg(entry.toolName);
            entry.reply(makeResult(entry.clientId, toolResult(closed + notConnectedText(), true)));
        } else {
            answerOffline(entry.method, entry.clientId, entry.toolName, entry.reply);
        }
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
    const QByteArray bytes = current->readAll();
    const bool tooLarge = appLines.feed(
            bytes.constData(), bytes.size(), [this, current](const QByteArray &line) {
                QJsonParseError error;
                const QJsonDocument document = QJsonDocument::fromJson(line, &error);
                if (error.error == QJsonParseError::NoError && document.isObject()) {
                    trace(QStringLiteral("app -> ") + QString::fromUtf8(abbreviate(line)));
                    handleAppMessage(document.object());
                } else {
                    log(QStringLiteral("Vesk Studio sent invalid JSON (%1)")
                                .arg(error.errorString()));
                }
                // Handling the message may have closed the connection, and with it the cut buffer.
                return socket == current;
            });
    if (socket == current && tooLarge)
        closeConnection(QStringLiteral("message from Vesk Studio too large"));
}

} // namespace ves::mcp
