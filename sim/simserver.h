// simserver.h - the stand-in's pipe server: framing, requests, and the switches that misbehave
#pragma once

#include "floorplan.h"

#include <QHash>
#include <QJsonObject>
#include <QLocalServer>

#include <deque>
#include <map>

class QLocalSocket;
class QTimer;

namespace ves::sim {

struct SimOptions
{
    QString pipe;
    int pageSize = 0;            // tools per tools/list page; 0 = all on one page
    bool ownStatus = false;      // list and answer a vesk_status of our own
    int delayMs = 0;             // every tools/call answered this late
    bool neverAnswer = false;    // tools/call is never answered
    bool closeOnCall = false;    // tools/call closes the connection instead
    bool garbage = false;        // a non-JSON line before every answer
    qint64 longLine = 0;         // a line of this many bytes before every tools/call answer
    QString errorOn;             // calls of this tool get a JSON-RPC error
    int listChangedAfterMs = -1; // tell each client its list changed this long after it connects
};

// One instance serves every connection on the main thread; all share the plan.
class SimServer : public QObject
{
public:
    explicit SimServer(SimOptions options, QObject *parent = nullptr);
    ~SimServer() override;

    // Returns an error text, empty once listening.
    QString listen();
    QString fullServerName() const { return server.fullServerName(); }

private:
    // Output waits here so that a long line can be written piece by piece: a filler item
    // stands for that many 'x' bytes, made only as the socket drains.
    struct Chunk
    {
        QByteArray bytes;
        qint64 filler = 0;
    };

    struct Client
    {
        int number = 0; // for the log
        QByteArray buffer;
        qsizetype scanned = 0; // bytes of buffer already searched for a line end
        std::deque<Chunk> out;
        QHash<QString, QTimer *> running; // unanswered calls by request id; null: never answered
    };

    void accept();
    void readFrom(QLocalSocket *socket);
    void handleLine(QLocalSocket *socket, const QByteArray &line);
    void handleToolsList(QLocalSocket *socket, const QJsonValue &id, const QJsonObject &params);
    void handleToolsCall(QLocalSocket *socket, const QJsonValue &id, const QJsonObject &params);
    void runCall(QLocalSocket *socket, const QJsonValue &id, const QJsonObject &params);
    void startPreview(QLocalSocket *socket, const QJsonValue &id, const QJsonObject &params);
    void cancel(QLocalSocket *socket, const QJsonObject &params);
    void forget(QLocalSocket *socket, const QString &key, QTimer *timer);

    void replyToCall(QLocalSocket *socket, const QJsonObject &message);
    void answer(QLocalSocket *socket, const QJsonObject &message);
    void send(QLocalSocket *socket, const QJsonObject &message);
    void sendToAll(const QJsonObject &message);
    void queue(QLocalSocket *socket, Chunk chunk);
    void pump(QLocalSocket *socket);
    Client *client(QLocalSocket *socket);

    QJsonArray allTools() const;

    const SimOptions options;
    QLocalServer server;
    FloorPlan plan;
    std::map<QLocalSocket *, Client> clients; // a map, so references survive new connections
    int connections = 0;
};

// One line on stderr with the "sim: " prefix, flushed at once.
void logLine(const QString &text);

} // namespace ves::sim
