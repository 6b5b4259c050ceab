// simserver.cpp - the stand-in's pipe server: one JSON object per line in, answers out
#include "simserver.h"

#include <QJsonDocument>
#include <QJsonParseError>
#include <QLocalSocket>
#include <QTimer>

#include <cstdio>

namespace ves::sim {

namespace {

// A long line is made from this, so a line of 256 MiB never sits in memory at once.
constexpr qint64 chunkSize = 1 << 20;

const QString toolsChanged = QStringLiteral("notifications/tools/list_changed");

// The id as compact JSON: 3 and "3" stay apart, as they do for the relay that sent them.
QString idKey(const QJsonValue &id)
{
    const QByteArray array = QJsonDocument(QJsonArray{id}).toJson(QJsonDocument::Compact);
    return QString::fromUtf8(array.mid(1, array.size() - 2));
}

QByteArray toLine(const QJsonObject &message)
{
    return QJsonDocument(message).toJson(QJsonDocument::Compact) + '\n';
}

QJsonObject errorMessage(const QJsonValue &id,
                         int code,
                         const QString &text,
                         const QJsonValue &data = QJsonValue::Undefined)
{
    QJsonObject error{{QStringLiteral("code"), code}, {QStringLiteral("message"), text}};
    if (!data.isUndefined())
        error.insert(QStringLiteral("data"), data);
    return {{QStringLiteral("id"), id}, {QStringLiteral("error"), error}};
}

QJsonObject toolResult(const QJsonValue &id, const QString &text, bool isError)
{
    const QJsonObject content{{QStringLiteral("type"), QStringLiteral("text")},
                              {QStringLiteral("text"), text}};
    const QJsonObject result{{QStringLiteral("content"), QJsonArray{content}},
                             {QStringLiteral("isError"), isError}};
    return {{QStringLiteral("id"), id}, {QStringLiteral("result"), result}};
}

// The cursor only has to survive a round trip through the client; base64 keeps clients from
// reading meaning into it.
QString makeCursor(qsizetype offset)
{
    return QString::fromLatin1(("page:" + QByteArray::number(offset)).toBase64());
}

qsizetype readCursor(const QJsonValue &cursor)
{
    const QByteArray text = QByteArray::fromBase64(cursor.toString().toLatin1());
    bool ok = false;
    const qsizetype offset = text.startsWith("page:") ? text.mid(5).toLongLong(&ok) : -1;
    return ok ? offset : -1;
}

} // namespace

void logLine(const QString &text)
{
    const QByteArray line = "sim: " + text.toUtf8() + '\n';
    std::fwrite(line.constData(), 1, size_t(line.size()), stderr);
    std::fflush(stderr);
}

SimServer::SimServer(SimOptions simOptions, QObject *parent)
    : QObject(parent)
    , options(std::move(simOptions))
{
    connect(&server, &QLocalServer::newConnection, this, [this] { accept(); });
}

SimServer::~SimServer()
{
    // The sockets die with `server`, after `clients`; their handlers must not run by then.
    server.disconnect(this);
    for (auto &entry : clients)
        entry.first->disconnect(this);
}

QString SimServer::listen()
{
    // A sim that was killed leaves its socket file behind on Unix.
    QLocalServer::removeServer(options.pipe);
    if (!server.listen(options.pipe))
        return server.errorString();
    return {};
}

SimServer::Client *SimServer::client(QLocalSocket *socket)
{
    const auto it = clients.find(socket);
    return it == clients.end() ? nullptr : &it->second;
}

QJsonArray SimServer::allTools() const
{
    QJsonArray tools = plan.tools();
    if (options.ownStatus) {
        const QJsonObject status{
                {QStringLiteral("name"), QStringLiteral("vesk_status")},
                {QStringLiteral("title"), QStringLiteral("Status (sim)")},
                {QStringLiteral("description"), QStringLiteral("The stand-in's own status tool.")},
                {QStringLiteral("inputSchema"),
                 QJsonObject{{QStringLiteral("type"), QStringLiteral("object")},
                             {QStringLiteral("properties"), QJsonObject()}}}};
        tools.prepend(status);
    }
    return tools;
}

void SimServer::accept()
{
    while (QLocalSocket *socket = server.nextPendingConnection()) {
        Client &c = clients[socket];
        c.number = ++connections;
        logLine(QStringLiteral("client %1 connected").arg(c.number));
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] { readFrom(socket); });
        connect(socket, &QLocalSocket::bytesWritten, this, [this, socket] { pump(socket); });
        connect(socket,
                &QLocalSocket::errorOccurred,
                this,
                [this, socket](QLocalSocket::LocalSocketError error) {
                    // A peer that closes is logged by the disconnect handler.
                    if (error != QLocalSocket::PeerClosedError)
                        if (Client *known = client(socket))
                            logLine(QStringLiteral("client %1: %2")
                                            .arg(known->number)
                                            .arg(socket->errorString()));
                });
        connect(socket, &QLocalSocket::disconnected, this, [this, socket] {
            const auto it = clients.find(socket);
            if (it == clients.end())
                return;
            logLine(QStringLiteral("client %1 disconnected").arg(it->second.number));
            // The timers go with the socket; stopped now, they cannot answer in between.
            for (QTimer *timer : std::as_const(it->second.running))
                if (timer)
                    timer->stop();
            clients.erase(it);
            socket->deleteLater();
        });
        if (options.listChangedAfterMs >= 0) {
            QTimer::singleShot(options.listChangedAfterMs, socket, [this, socket] {
                send(socket, {{QStringLiteral("method"), toolsChanged}});
            });
        }
    }
}

void SimServer::readFrom(QLocalSocket *socket)
{
    if (Client *c = client(socket))
        c->buffer.append(socket->readAll());
    for (;;) {
        // Looked up again each time: handling a line may have closed this connection.
        Client *c = client(socket);
        if (!c)
            return;
        const qsizetype end = c->buffer.indexOf('\n', c->scanned);
        if (end < 0) {
            c->scanned = c->buffer.size();
            return;
        }
        QByteArray line = c->buffer.left(end);
        c->buffer.remove(0, end + 1);
        c->scanned = 0;
        if (line.endsWith('\r'))
            line.chop(1);
        if (line.isEmpty())
            continue;
        // Tests read stdout to see exactly what reached the far end of the pipe.
        line.append('\n');
        std::fwrite(line.constData(), 1, size_t(line.size()), stdout);
        std::fflush(stdout);
        line.chop(1);
        handleLine(socket, line);
    }
}

void SimServer::handleLine(QLocalSocket *socket, const QByteArray &line)
{
    const int number = client(socket)->number;
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(line, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject()) {
        logLine(QStringLiteral("client %1 sent a line that is not a JSON object (%2)")
                        .arg(number)
                        .arg(document.isNull() ? error.errorString() : QStringLiteral("array")));
        return;
    }
    const QJsonObject message = document.object();
    const QJsonValue method = message.value(QLatin1String("method"));
    if (!method.isString()) {
        logLine(QStringLiteral("client %1 sent a message without a method").arg(number));
        return;
    }
    const QString name = method.toString();
    const QJsonObject params = message.value(QLatin1String("params")).toObject();
    if (!message.contains(QLatin1String("id"))) {
        if (name == QLatin1String("notifications/cancelled"))
            cancel(socket, params);
        else
            logLine(QStringLiteral("ignoring notification %1").arg(name));
        return;
    }
    const QJsonValue id = message.value(QLatin1String("id"));
    if (name == QLatin1String("tools/list"))
        handleToolsList(socket, id, params);
    else if (name == QLatin1String("tools/call"))
        handleToolsCall(socket, id, params);
    else
        answer(socket, errorMessage(id, -32601, QStringLiteral("Method not found: ") + name));
}

void SimServer::handleToolsList(QLocalSocket *socket,
                                const QJsonValue &id,
                                const QJsonObject &params)
{
    const QJsonArray tools = allTools();
    qsizetype start = 0;
    if (params.contains(QLatin1String("cursor"))) {
        start = readCursor(params.value(QLatin1String("cursor")));
        if (start < 0 || start > tools.size()) {
            answer(socket, errorMessage(id, -32602, QStringLiteral("Invalid cursor")));
            return;
        }
    }
    const qsizetype count = options.pageSize > 0 ? options.pageSize : tools.size();
    QJsonArray page;
    for (qsizetype i = start; i < tools.size() && i < start + count; ++i)
        page.append(tools.at(i));
    QJsonObject result{{QStringLiteral("tools"), page}};
    if (start + count < tools.size())
        result.insert(QStringLiteral("nextCursor"), makeCursor(start + count));
    answer(socket, {{QStringLiteral("id"), id}, {QStringLiteral("result"), result}});
}

void SimServer::handleToolsCall(QLocalSocket *socket,
                                const QJsonValue &id,
                                const QJsonObject &params)
{
    Client *c = client(socket);
    if (options.closeOnCall) {
        logLine(QStringLiteral("closing client %1 on tools/call (--close-on-call)").arg(c->number));
        socket->disconnectFromServer();
        return;
    }
    const QString key = idKey(id);
    if (options.neverAnswer) {
        c->running.insert(key, nullptr);
        logLine(QStringLiteral("leaving call %1 unanswered (--never-answer)").arg(key));
        return;
    }
    if (options.delayMs > 0) {
        auto *timer = new QTimer(socket);
        timer->setSingleShot(true);
        c->running.insert(key, timer);
        connect(timer, &QTimer::timeout, this, [this, socket, id, params, key, timer] {
            forget(socket, key, timer);
            runCall(socket, id, params);
        });
        timer->start(options.delayMs);
        return;
    }
    runCall(socket, id, params);
}

void SimServer::runCall(QLocalSocket *socket, const QJsonValue &id, const QJsonObject &params)
{
    const QString name = params.value(QLatin1String("name")).toString();
    const QJsonValue arguments = params.value(QLatin1String("arguments"));
    if (!options.errorOn.isEmpty() && name == options.errorOn) {
        replyToCall(socket,
                    errorMessage(id,
                                 -32000,
                                 QStringLiteral("Drawing is locked"),
                                 QJsonObject{{QStringLiteral("tool"), name}}));
    } else if (name.isEmpty()) {
        replyToCall(
                socket,
                errorMessage(id, -32602, QStringLiteral("Invalid params: \"name\" is required")));
    } else if (!arguments.isUndefined() && !arguments.isNull() && !arguments.isObject()) {
        replyToCall(socket, toolResult(id, QStringLiteral("Arguments must be an object."), true));
    } else if (options.ownStatus && name == QLatin1String("vesk_status")) {
        replyToCall(socket, toolResult(id, QStringLiteral("sim: status ok"), false));
    } else if (!plan.hasTool(name)) {
        replyToCall(socket, errorMessage(id, -32602, QStringLiteral("Unknown tool: ") + name));
    } else if (name == QLatin1String("render_preview")) {
        startPreview(socket, id, params);
    } else {
        const ToolOutcome outcome = plan.call(name, arguments.toObject());
        replyToCall(socket, toolResult(id, outcome.text, outcome.isError));
        if (outcome.toolsChanged)
            sendToAll({{QStringLiteral("method"), toolsChanged}});
    }
}

void SimServer::startPreview(QLocalSocket *socket, const QJsonValue &id, const QJsonObject &params)
{
    int steps = 0;
    int stepMs = 0;
    const QString problem = FloorPlan::checkPreview(
            params.value(QLatin1String("arguments")).toObject(), steps, stepMs);
    if (!problem.isEmpty()) {
        replyToCall(socket, toolResult(id, problem, true));
        return;
    }
    // The token goes back exactly as it came, string or number.
    const QJsonValue token
            = params.value(QLatin1String("_meta")).toObject().value(QLatin1String("progressToken"));
    const QString key = idKey(id);
    auto *timer = new QTimer(socket);
    client(socket)->running.insert(key, timer);
    connect(timer, &QTimer::timeout, this, [=, done = 0]() mutable {
        ++done;
        if (!token.isUndefined() && !token.isNull()) {
            const QJsonObject progress{
                    {QStringLiteral("progressToken"), token},
                    {QStringLiteral("progress"), done},
                    {QStringLiteral("total"), steps},
                    {QStringLiteral("message"),
                     QStringLiteral("Rendering preview: step %1 of %2").arg(done).arg(steps)}};
            send(socket,
                 {{QStringLiteral("method"), QStringLiteral("notifications/progress")},
                  {QStringLiteral("params"), progress}});
        }
        if (done < steps)
            return;
        forget(socket, key, timer);
        replyToCall(socket, toolResult(id, plan.previewDone(steps), false));
    });
    timer->start(stepMs);
}

void SimServer::cancel(QLocalSocket *socket, const QJsonObject &params)
{
    Client *c = client(socket);
    const QString key = idKey(params.value(QLatin1String("requestId")));
    const QJsonValue reason = params.value(QLatin1String("reason"));
    const auto it = c->running.find(key);
    if (it == c->running.end()) {
        logLine(QStringLiteral("cancellation of request %1, which is not running").arg(key));
        return;
    }
    delete it.value(); // stops a delayed or slow call; it is never answered
    c->running.erase(it);
    logLine(QStringLiteral("dropped request %1 (cancelled%2)")
                    .arg(key,
                         reason.isString() ? QStringLiteral(": ") + reason.toString() : QString()));
}

// Called from the call's own timer, which therefore must not be deleted at once.
void SimServer::forget(QLocalSocket *socket, const QString &key, QTimer *timer)
{
    timer->stop();
    timer->deleteLater();
    Client *c = client(socket);
    if (c && c->running.value(key) == timer)
        c->running.remove(key);
}

void SimServer::replyToCall(QLocalSocket *socket, const QJsonObject &message)
{
    if (options.longLine > 0) {
        queue(socket, {{}, options.longLine});
        queue(socket, {QByteArray("\n"), 0});
    }
    answer(socket, message);
}

void SimServer::answer(QLocalSocket *socket, const QJsonObject &message)
{
    if (options.garbage)
        queue(socket, {QByteArray("this is not json\n"), 0});
    send(socket, message);
}

void SimServer::send(QLocalSocket *socket, const QJsonObject &message)
{
    queue(socket, {toLine(message), 0});
}

void SimServer::sendToAll(const QJsonObject &message)
{
    for (auto &entry : clients)
        send(entry.first, message);
}

void SimServer::queue(QLocalSocket *socket, Chunk chunk)
{
    if (Client *c = client(socket)) {
        c->out.push_back(std::move(chunk));
        pump(socket);
    }
}

// Hands the socket at most about one chunk beyond what it still holds, so memory stays flat
// however long a line is; bytesWritten calls this again as the peer reads.
void SimServer::pump(QLocalSocket *socket)
{
    static const QByteArray filler(chunkSize, 'x');
    for (;;) {
        Client *c = client(socket); // again each round: a flush may end the connection
        bool written = false;
        while (c && !c->out.empty() && socket->bytesToWrite() < chunkSize) {
            Chunk &front = c->out.front();
            if (front.filler > 0) {
                const qint64 n = qMin(front.filler, chunkSize);
                socket->write(filler.constData(), n);
                front.filler -= n;
                if (front.filler == 0)
                    c->out.pop_front();
            } else {
                socket->write(front.bytes);
                c->out.pop_front();
            }
            written = true;
        }
        if (!written)
            return;
        // Out to the kernel now, not at the next turn of the event loop: a client that stops
        // writing (socat at the end of its input) still gets the answers to what it sent.
        // Don't wait for a bytesWritten after this: inside a bytesWritten handler Qt emits
        // no second one, so a flush that empties the buffer would leave the queue stranded.
        socket->flush();
    }
}

} // namespace ves::sim
