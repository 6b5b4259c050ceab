// jsonrpc.cpp - McpServer's JSON-RPC 2.0 layer: lines, batches, validation, builders, the finish
#include "mcp/mcpserver.h"

#include "io/stdio.h"

#include <QAbstractEventDispatcher>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonParseError>
#include <QLocalSocket>

#include <cmath>
#include <memory>

namespace ves::mcp {

namespace {

// A line this long takes a while to handle: what was answered before it is sent first.
constexpr qsizetype longLine = 65536;

// True when the array on the line has more than limit members, told without parsing by the
// commas at the array's own level, outside strings. A malformed line may be miscounted, but it
// is rejected either way. Parsing a line of millions of members, and gathering an answer for
// each, would take many times the line's size in memory before a byte is written.
bool moreMembersThan(const QByteArray &line, qsizetype limit)
{
    qsizetype commas = 0;
    int depth = 0;
    bool inString = false;
    for (const char *p = line.constData(), *end = p + line.size(); p < end; ++p) {
        const char c = *p;
        if (inString) {
            if (c == '\\')
                ++p;
            else if (c == '"')
                inString = false;
        } else if (c == '"') {
            inString = true;
        } else if (c == '[' || c == '{') {
            ++depth;
        } else if (c == ']' || c == '}') {
            --depth;
        } else if (c == ',' && depth == 1 && ++commas >= limit) {
            return true;
        }
    }
    return false;
}

} // namespace

const QString statusToolName = QStringLiteral("vesk_status");
const QString toolsListMethod = QStringLiteral("tools/list");
const QString toolsCallMethod = QStringLiteral("tools/call");
const QString listChangedMethod = QStringLiteral("notifications/tools/list_changed");
namespace {
// Why Vesk Studio is told to cancel what it still works on when the program ends early.
const QString shutdownReason = QStringLiteral("vesk-mcp is shutting down");
} // namespace

McpServer::McpServer(ServerOptions options,
                     std::function<void(const QByteArray &)> output,
                     QObject *parent)
    : QObject(parent)
    , pipeName(std::move(options.pipeName))
    , callTimeoutMs(options.callTimeoutMs)
    , connectTimeoutMs(options.connectTimeoutMs)
    , pollMs(options.pollMs)
    , verbose(options.verbose)
    , version(std::move(options.version))
    , out(std::move(output))
{
    if (pipeName.isEmpty())
        pipeName = defaultPipeName();
    if (version.isEmpty())
        version = QString::fromLatin1(programVersion);
    if (callTimeoutMs < 1)
        callTimeoutMs = defaultCallTimeoutMs;
    // Precise timers: a coarse one may fire up to 5% early, and a bound is no earlier than it says.
    for (QTimer *timer : {&connectTimer, &pollTimer, &callTimer, &heldAnswerTimer, &stallTimer}) {
        timer->setSingleShot(true);
        timer->setTimerType(Qt::PreciseTimer);
    }
    connect(&connectTimer, &QTimer::timeout, this, [this] { connectTimedOut(); });
    connect(&pollTimer, &QTimer::timeout, this, [this] { pollTimedOut(); });
    connect(&callTimer, &QTimer::timeout, this, [this] { callTimerFired(); });
    connect(&heldAnswerTimer, &QTimer::timeout, this, [this] { releaseHeldAnswers(false); });
    stallTimer.setInterval(appStallMs);
    connect(&stallTimer, &QTimer::timeout, this, [this] { appStalled(); });
    releaseTimer.setSingleShot(true);
    releaseTimer.setInterval(1000);
    connect(&releaseTimer, &QTimer::timeout, this, [this] { appLines.releaseLargeBuffer(); });
    callClock.start();
    // Writing and flushing each message on its own cost a system call and a wake-up of the
    // reader per message. Messages are collected instead and flushed once per turn of the event
    // loop: aboutToBlock comes before the loop waits; awake also comes at the start of each
    // pass of processEvents() without waiting (nested loops, the tests' waits), so nothing
    // stays in a buffer while the loop waits or spins.
    if (QAbstractEventDispatcher *dispatcher = QAbstractEventDispatcher::instance(thread())) {
        connect(dispatcher, &QAbstractEventDispatcher::aboutToBlock, this, [this] {
            flushOutput();
        });
        connect(dispatcher, &QAbstractEventDispatcher::awake, this, [this] { flushOutput(); });
    }
}

McpServer::~McpServer()
{
    flushToApp();
    if (socket) {
        QLocalSocket *old = socket;
        socket = nullptr;
        old->disconnect(this);
        old->abort();
        delete old;
    }
}

void McpServer::handleLine(const QByteArray &raw)
{
    QByteArray line = raw;
    if (line.startsWith("\xEF\xBB\xBF"))
        line.remove(0, 3);
    line = line.trimmed();
    if (line.isEmpty())
        return;
    if (verbose) // the shortened copy is not made for nothing
        log(QStringLiteral("<- ") + QString::fromUtf8(abbreviate(line)));
    if (line.size() > longLine)
        flushOutput();
    if (line.startsWith('[') && moreMembersThan(line, maxBatch)) {
        sendToClient(makeError(
                QJsonValue::Null,
                InvalidRequest,
                QStringLiteral("Invalid Request: batch of more than %1 messages").arg(maxBatch)));
        return;
    }

    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(line, &error);
    if (error.error != QJsonParseError::NoError) {
        sendToClient(makeError(QJsonValue::Null,
                               ParseError,
                               QStringLiteral("Parse error: ") + error.errorString()));
        return;
    }
    if (document.isArray())
        handleBatch(document.array());
    else if (document.isObject()) {
        singleMessage = true;
        handleMessage(document.object(), [this](const QJsonObject &response) {
            if (!response.isEmpty())
                sendToClient(response);
        });
        singleMessage = false;
    } else
        sendToClient(
                makeError(QJsonValue::Null, InvalidRequest, QStringLiteral("Invalid Request")));
}

void McpServer::handleBatch(const QJsonArray &batch)
{
    if (batch.isEmpty()) {
        sendToClient(makeError(
                QJsonValue::Null, InvalidRequest, QStringLiteral("Invalid Request: empty batch")));
        return;
    }
    // The responses are kept as the compact text of the array so far, not as objects: a
    // response takes about as much memory as it takes on the line.
    struct State
    {
        QByteArray responses;
        int remaining = 0;
    };
    auto state = std::make_shared<State>();
    for (const QJsonValue &element : batch) {
        const QJsonObject o = element.toObject();
        const bool notification
                = o.contains(QLatin1String("method")) && !o.contains(QLatin1String("id"));
        const bool clientResponse
                = !o.contains(QLatin1String("method")) && o.contains(QLatin1String("id"))
                  && (o.contains(QLatin1String("result")) || o.contains(QLatin1String("error")));
        if (!element.isObject() || !(notification || clientResponse))
            ++state->remaining;
    }
    const Reply reply = [this, state](const QJsonObject &response) {
        if (!response.isEmpty()) {
            state->responses.append(state->responses.isEmpty() ? '[' : ',');
            state->responses.append(QJsonDocument(response).toJson(QJsonDocument::Compact));
        }
        if (--state->remaining == 0 && !state->responses.isEmpty())
            writeToClient(std::exchange(state->responses, QByteArray()).append(']'));
    };
    for (const QJsonValue &element : batch) {
        if (element.isObject())
            handleMessage(element.toObject(), reply);
        else
            reply(makeError(QJsonValue::Null, InvalidRequest, QStringLiteral("Invalid Request")));
    }
}

void McpServer::handleMessage(const QJsonObject &message, const Reply &reply)
{
    const bool hasId = message.contains(QLatin1String("id"));
    const QJsonValue id = message.value(QLatin1String("id"));
    const QJsonValue method = message.value(QLatin1String("method"));
    const QJsonValue params = message.value(QLatin1String("params"));
    const bool version2
            = message.value(QLatin1String("jsonrpc")).toString() == QLatin1String("2.0");
    const bool idUsable = id.isString() || id.isDouble();

    if (method.isUndefined()) {
        if (hasId
            && (message.contains(QLatin1String("result"))
                || message.contains(QLatin1String("error")))) {
            trace(QStringLiteral("ignoring a response from the client"));
            return;
        }
        reply(makeError(idUsable ? id : QJsonValue(QJsonValue::Null),
                        InvalidRequest,
                        QStringLiteral("Invalid Request: \"method\" is missing")));
        return;
    }
    if (!hasId) {
        if (version2 && method.isString() && (params.isUndefined() || params.isObject()))
            handleNotification(method.toString(), params.toObject());
        else
            log(QStringLiteral("ignoring an invalid notification"));
        return;
    }
    if (!idUsable) {
        reply(makeError(QJsonValue::Null,
                        InvalidRequest,
                        QStringLiteral("Invalid Request: \"id\" must be a string or a number")));
    } else if (!version2) {
        reply(makeError(id,
                        InvalidRequest,
                        QStringLiteral("Invalid Request: \"jsonrpc\" must be \"2.0\"")));
    } else if (!method.isString()) {
        reply(makeError(id,
                        InvalidRequest,
                        QStringLiteral("Invalid Request: \"method\" must be a string")));
    } else if (!params.isUndefined() && !params.isNull() && !params.isObject()) {
        reply(makeError(
                id, InvalidParams, QStringLiteral("Invalid params: \"params\" must be an object")));
    } else {
        handleRequest(method.toString(), id, params.toObject(), reply);
    }
}

void McpServer::rejectTooLarge()
{
    sendToClient(makeError(
            QJsonValue::Null, ParseError, QStringLiteral("Parse error: message too large")));
}

QJsonObject McpServer::makeResult(const QJsonValue &id, const QJsonObject &result)
{
    return {{QLatin1String("jsonrpc"), QLatin1String("2.0")},
            {QLatin1String("id"), id},
            {QLatin1String("result"), result}};
}

QJsonObject McpServer::makeError(const QJsonValue &id,
                                 int code,
                                 const QString &message,
                                 const QJsonValue &data)
{
    QJsonObject error{{QLatin1String("code"), code}, {QLatin1String("message"), message}};
    if (!data.isUndefined() && !data.isNull())
        error.insert(QLatin1String("data"), data);
    return {{QLatin1String("jsonrpc"), QLatin1String("2.0")},
            {QLatin1String("id"), id.isUndefined() ? QJsonValue(QJsonValue::Null) : id},
            {QLatin1String("error"), error}};
}

void McpServer::notify(const QString &method, const QJsonObject &params)
{
    QJsonObject message{{QLatin1String("jsonrpc"), QLatin1String("2.0")},
                        {QLatin1String("method"), method}};
    if (!params.isEmpty())
        message.insert(QLatin1String("params"), params);
    sendToClient(message);
}

QString McpServer::idKey(const QJsonValue &id)
{
    if (id.isString())
        return QStringLiteral("s:") + id.toString();
    if (id.isDouble()) {
        // Ids are nearly always whole numbers. Below 10^15 their integer text is the same as
        // the 'g' text with 17 digits (-0 included, which both write as 0), and much cheaper
        // than the double conversion that every relayed request would otherwise pay.
        const double number = id.toDouble();
        if (number == std::trunc(number) && std::fabs(number) < 1e15)
            return QStringLiteral("n:") + QString::number(qint64(number));
        return QStringLiteral("n:") + QString::number(number, 'g', 17);
    }
    return QStringLiteral("?");
}

void McpServer::finishWhenIdle(std::function<void()> callback, int graceMs)
{
    finishCallback = std::move(callback);
    pollTimer.stop();
    QTimer::singleShot(graceMs, Qt::PreciseTimer, this, [this] { graceExpired(); });
    checkIdle();
}

void McpServer::checkIdle()
{
    if (finishCallback && pending.empty() && !connecting && waiters.empty() && heldAnswers.empty())
        QTimer::singleShot(0, this, [this] { finish(); });
}

void McpServer::finish()
{
    if (!finishCallback || !pending.empty() || connecting || !heldAnswers.empty())
        return;
    const auto callback = std::exchange(finishCallback, nullptr);
    callback();
}

void McpServer::graceExpired()
{
    if (!finishCallback)
        return;
    const int left = abandonOutstanding(shutdownReason);
    if (left > 0)
        log(QStringLiteral("input closed, %1 request(s) left unanswered").arg(left));
    const auto callback = std::exchange(finishCallback, nullptr);
    callback();
}

void McpServer::stop(const QString &what, const std::function<void()> &callback)
{
    const int left = abandonOutstanding(shutdownReason);
    log(QStringLiteral("%1 received, %2 request(s) left unanswered").arg(what).arg(left));
    finishCallback = nullptr; // the finish after the end of input has nothing left to do
    flushOutput();
    callback();
}

} // namespace ves::mcp
