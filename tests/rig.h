// rig.h - the in-process fixture: an McpServer whose output is captured, and a far end to serve
#pragma once

#include "mcp/mcpserver.h"

#include <QCoreApplication>
#include <QJsonDocument>
#include <QJsonObject>
#include <QList>
#include <QLocalServer>
#include <QLocalSocket>

#include <memory>

namespace ves::mcp {

// A pipe name no other test run uses at the same time.
inline QString uniquePipeName()
{
    static int counter = 0;
    return QStringLiteral("vesk-test-%1-%2").arg(QCoreApplication::applicationPid()).arg(++counter);
}

// Short waits, so that failures show quickly; no automatic retries unless a test asks.
inline ServerOptions testOptions()
{
    ServerOptions options;
    options.pipeName = uniquePipeName();
    options.connectTimeoutMs = 2000;
    options.pollMs = 0;
    return options;
}

struct Rig
{
    QList<QJsonValue> sent; // each message the server wrote to the client, parsed
    QList<QByteArray> raw;  // the same, as written
    QLocalServer app;       // the far end; listen() only when a test wants Vesk Studio there
    std::unique_ptr<McpServer> server;

    explicit Rig(ServerOptions options = testOptions())
    {
        const QString name = options.pipeName;
        server = std::make_unique<McpServer>(
                std::move(options),
                [this](const QByteArray &m) {
                    raw.append(m);
                    const QJsonDocument d = QJsonDocument::fromJson(m);
                    sent.append(d.isArray() ? QJsonValue(d.array()) : QJsonValue(d.object()));
                },
                nullptr);
        pipeName = name;
    }

    bool listen()
    {
        QLocalServer::removeServer(pipeName);
        return app.listen(pipeName);
    }

    void send(const QByteArray &line) { server->handleLine(line); }

    QJsonObject last() const { return sent.isEmpty() ? QJsonObject() : sent.last().toObject(); }

    QString pipeName;
};

} // namespace ves::mcp
