// relay.cpp - McpServer's relay of tools/list and tools/call to Vesk Studio, with its own ids
#include "mcp/mcpserver.h"

#include "io/stdio.h"

#include <QJsonArray>
#include <QJsonDocument>

#include <algorithm>
#include <charconv>
#include <cstring>
#include <memory>
#include <utility>

namespace ves::mcp {

void McpServer::relay(RelayedRequest request)
{
    request.ownLine = singleMessage;
    // Connected, the continuation would run at once: skip packing it into a callback.
    if (connected && socket) {
        relayConnected(std::move(request));
        return;
    }
    // Until the attempt ends the request is only known here: a cancellation in the meantime
    // must find it, so that a call the client gave up is never run.
    const auto held = std::make_shared<Reply>(std::exchange(request.reply, nullptr));
    unsent.emplace(idKey(request.id), held);
    whenConnected([this, request = std::move(request), held](bool ok) mutable {
        if (!*held)
            return; // cancelled while it waited
        request.reply = std::exchange(*held, nullptr);
        forgetUnsent(held);
        if (ok)
            relayConnected(std::move(request));
        else
            answerOffline(request.method, request.id, request.toolName, request.reply);
    });
}

void McpServer::forgetUnsent(const std::shared_ptr<Reply> &held)
{
    const auto it = std::find_if(unsent.begin(), unsent.end(), [&held](const auto &item) {
        return item.second == held;
    });
    if (it != unsent.end())
        unsent.erase(it);
}

void McpServer::relayConnected(RelayedRequest request)
{
    if (request.method == toolsCallMethod && request.toolName == statusToolName
        && !appHasStatusTool)
        answerStatusConnected(request.id, request.reply);
    else
        forward(std::move(request));
}

void McpServer::forward(RelayedRequest request)
{
    const int appId = int(++lastRequestId);
    const QJsonObject &params = request.params;
    const bool toolsCall = request.method == toolsCallMethod;
    pending[appId] = PendingRequest{request.id,
                                    idKey(request.id),
                                    std::move(request.method),
                                    std::move(request.toolName),
                                    !params.contains(QLatin1String("cursor")),
                                    std::move(request.reply),
                                    callClock.elapsed() + callTimeoutMs,
                                    request.ownLine};
    // A running timer is due no later than this request's deadline: it re-arms when it fires.
    if (!callTimer.isActive())
        armCallTimer();
    // {"id","method","params"} in the order QJsonDocument writes them, without building the
    // object around the params only to write it again. The method is tools/list or tools/call.
    // Made in one allocation: each + of a chain of QByteArrays allocates.
    const QByteArray written = QJsonDocument(params).toJson(QJsonDocument::Compact);
    char head[64] = "{\"id\":";
    char *at = std::to_chars(head + 6, head + 20, appId).ptr;
    const QByteArrayView middle
            = toolsCall ? QByteArrayView(",\"method\":\"tools/call\",\"params\":")
                        : QByteArrayView(",\"method\":\"tools/list\",\"params\":");
    std::memcpy(at, middle.data(), size_t(middle.size()));
    at += middle.size();
    const qsizetype headSize = at - head;
    QByteArray line(headSize + written.size() + 1, Qt::Uninitialized);
    std::memcpy(line.data(), head, size_t(headSize));
    std::memcpy(line.data() + headSize, written.constData(), size_t(written.size()));
    line[line.size() - 1] = '}';
    sendLineToApp(std::move(line));
}

void McpServer::handleAppMessage(const QJsonObject &message)
{
    if (message.contains(QLatin1String("method"))) {
        const QString method = message.value(QLatin1String("method")).toString();
        if (method == listChangedMethod) {
            appToolListChanged();
        } else if (method == QLatin1String("notifications/progress")) {
            if (clientInitialized)
                notify(method, message.value(QLatin1String("params")).toObject());
        } else {
            trace(QStringLiteral("ignoring message from Vesk Studio: ") + shortened(method));
        }
        return;
    }
    const QJsonValue id = message.value(QLatin1String("id"));
    if (!id.isDouble()) {
        log(QStringLiteral("Vesk Studio sent a message without id or method"));
        return;
    }
    const int appId = id.toInt(); // 0, which no request has, unless a whole number in range
    const QJsonValue result = message.value(QLatin1String("result"));
    const QJsonValue error = message.value(QLatin1String("error"));
    if (result.isObject())
        completeRequest(appId, true, result.toObject());
    else if (error.isObject())
        completeRequest(appId, false, error.toObject());
    else
        completeRequest(
                appId,
                false,
                {{QLatin1String("code"), InternalError},
                 {QLatin1String("message"), QLatin1String("Vesk Studio sent an invalid answer")}});
}

void McpServer::completeRequest(int appId, bool success, const QJsonObject &answer)
{
    const auto it = pending.find(appId);
    if (it == pending.end()) {
        trace(QStringLiteral("ignoring an answer for unknown or finished request %1").arg(appId));
        return;
    }
    PendingRequest entry = std::move(it->second);
    pending.erase(it);

    if (success) {
        QJsonObject result = answer;
        if (entry.method == toolsListMethod)
            mergeToolList(result, entry.firstPage);
        entry.reply(makeResult(entry.clientId, result));
    } else {
        const QJsonValue code = answer.value(QLatin1String("code"));
        const QJsonValue message = answer.value(QLatin1String("message"));
        entry.reply(makeError(entry.clientId,
                              code.isDouble() ? code.toInt() : InternalError,
                              message.isString() ? message.toString()
                                                 : QStringLiteral("Vesk Studio reported an error"),
                              answer.value(QLatin1String("data"))));
    }
    checkIdle();
}

int McpServer::timeoutSeconds() const
{
    return int((qint64(callTimeoutMs) + 999) / 1000);
}

void McpServer::requestTimedOut(int appId)
{
    const auto it = pending.find(appId);
    if (it == pending.end())
        return;
    PendingRequest entry = std::move(it->second);
    pending.erase(it);

    const int seconds = timeoutSeconds();
    log(QStringLiteral("no answer to %1 %2 within %3 s")
                .arg(entry.method, shortened(entry.toolName), QString::number(seconds)));
    sendToApp({{QLatin1String("method"), QLatin1String("notifications/cancelled")},
               {QLatin1String("params"),
                QJsonObject{{QLatin1String("requestId"), appId},
                            {QLatin1String("reason"), QLatin1String("timeout")}}}});
    if (entry.method == toolsCallMethod) {
        const QString text = timeoutText(seconds, entry.toolName);
        entry.reply(makeResult(entry.clientId, toolResult(text, true)));
    } else {
        entry.reply(
                makeError(entry.clientId,
                          InternalError,
                          QStringLiteral("Vesk Studio did not answer within %1 s").arg(seconds)));
    }
    checkIdle();
}

void McpServer::cancelPending(const QString &key, const QJsonValue &reason)
{
    const auto it = std::find_if(pending.begin(), pending.end(), [&key](const auto &item) {
        return item.second.clientKey == key;
    });
    if (it == pending.end()) {
        // Not sent yet: settled without a response, and never sent.
        const auto waiting = unsent.find(key);
        if (waiting == unsent.end())
            return;
        const Reply reply = std::exchange(*waiting->second, nullptr);
        unsent.erase(waiting);
        trace(QStringLiteral("request %1 cancelled by the client").arg(shortened(key)));
        reply(QJsonObject());
        checkIdle();
        return;
    }
    const int appId = it->first;
    PendingRequest entry = std::move(it->second);
    pending.erase(it);
    trace(QStringLiteral("request %1 cancelled by the client").arg(shortened(key)));

    QJsonObject params{{QLatin1String("requestId"), appId}};
    if (reason.isString())
        params.insert(QLatin1String("reason"), reason);
    sendToApp({{QLatin1String("method"), QLatin1String("notifications/cancelled")},
               {QLatin1String("params"), params}});
    // No response for a cancelled request; the empty object only settles a batch holding it.
    entry.reply(QJsonObject());
    checkIdle();
}

// Requests are sent in ascending id order, all with the same time-out, so the first entry of
// `pending` always holds the earliest deadline. Entries that end early need no timer work: when
// the timer then fires, it finds their deadline gone and only re-arms.
void McpServer::armCallTimer()
{
    if (pending.empty()) {
        callTimer.stop();
        return;
    }
    const qint64 left = pending.begin()->second.deadline - callClock.elapsed();
    callTimer.start(int(std::max<qint64>(left, 0)));
}

void McpServer::callTimerFired()
{
    // A coarse timer may fire a little early: what is not yet due waits for the next round.
    // Each time-out may end the connection and empty the table, so the loop looks again each
    // time.
    while (!pending.empty() && pending.begin()->second.deadline <= callClock.elapsed())
        requestTimedOut(pending.begin()->first);
    armCallTimer();
}

std::map<int, PendingRequest> McpServer::takePending()
{
    return std::exchange(pending, {});
}

} // namespace ves::mcp
