// relay.cpp - McpServer's relay of tools/list and tools/call to Vesk Studio, with its own ids
#include "mcp/mcpserver.h"

#include "io/stdio.h"
#include "mcp/canonicaljson.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QLocalSocket>
#include <QSignalBlocker>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <memory>
#include <utility>

namespace ves::mcp {

namespace {

// What a waiting or pending request costs beside its texts: its entries in the tables, its
// reply function, the strings' headers.
constexpr qint64 entryOverhead = 256;

const QString cancelledMethod = QStringLiteral("notifications/cancelled");

} // namespace

qint64 WaitingRequest::cost() const
{
    return entryOverhead + clientId.size() + params.size() + 2 * toolName.size()
           + progressToken.size();
}

qint64 McpServer::unsentToApp() const
{
    return appOut.size() + (socket ? socket->bytesToWrite() : 0);
}

void McpServer::relay(RelayedRequest request)
{
    if (heldBytes + unsentToApp() > maxHeldBytes) {
        request.reply(makeError(request.id,
                                InternalError,
                                QStringLiteral("Too many requests waiting for Vesk Studio "
                                               "(more than %1 MiB held)")
                                        .arg(maxHeldBytes >> 20)));
        return;
    }
    const QJsonValue token = request.params.value(QLatin1String("_meta"))
                                     .toObject()
                                     .value(QLatin1String("progressToken"));
    WaitingRequest waiting{std::move(request.method),
                           compactValue(request.id),
                           QJsonDocument(request.params).toJson(QJsonDocument::Compact),
                           std::move(request.toolName),
                           !request.params.contains(QLatin1String("cursor")),
                           singleMessage,
                           token.isUndefined() ? QByteArray() : compactValue(token),
                           std::move(request.reply)};
    // Connected, the continuation would run at once: skip packing it into a callback.
    if (connected && socket) {
        relayConnected(std::move(waiting));
        return;
    }
    // Until the attempt ends the request is only known here: a cancellation in the meantime
    // must find it, so that a call the client gave up is never run.
    const auto held = std::make_shared<Reply>(std::exchange(waiting.reply, nullptr));
    unsent.emplace(waiting.clientId, held);
    heldBytes += waiting.cost();
    whenConnected([this, waiting = std::move(waiting), held](bool ok) mutable {
        heldBytes -= waiting.cost();
        if (!*held)
            return; // cancelled while it waited
        waiting.reply = std::exchange(*held, nullptr);
        forgetUnsent(waiting.clientId, held);
        if (ok)
            relayConnected(std::move(waiting));
        else
            answerOffline(waiting.method,
                          valueFromCompact(waiting.clientId),
                          waiting.toolName,
                          waiting.reply);
    });
}

void McpServer::forgetUnsent(const QByteArray &clientId, const std::shared_ptr<Reply> &waiting)
{
    auto [it, end] = unsent.equal_range(clientId);
    it = std::find_if(it, end, [&waiting](const auto &item) { return item.second == waiting; });
    if (it != end)
        unsent.erase(it);
}

void McpServer::relayConnected(WaitingRequest request)
{
    if (request.method == toolsCallMethod && request.toolName == statusToolName
        && !appHasStatusTool)
        answerStatusConnected(valueFromCompact(request.clientId), request.reply);
    else
        forward(std::move(request));
}

void McpServer::forward(WaitingRequest request)
{
    const int appId = int(++lastRequestId);
    const bool toolsCall = request.method == toolsCallMethod;
    const QByteArray params = std::exchange(request.params, QByteArray());
    // The clock counts whole milliseconds, so now may be up to one later than it says: one more
    // keeps a time-out from ending a call before its time.
    const qint64 deadline = callClock.elapsed() + callTimeoutMs + 1;
    PendingRequest &entry = pending[appId];
    entry = PendingRequest{std::move(request.clientId),
                           std::move(request.method),
                           std::move(request.toolName),
                           request.firstPage,
                           request.ownLine,
                           std::move(request.reply),
                           deadline,
                           std::move(request.progressToken)};
    entry.cost = entryOverhead + entry.clientId.size() + 2 * entry.toolName.size()
                 + entry.progressToken.size();
    heldBytes += entry.cost;
    pendingByClientId.insert(entry.clientId, appId);
    if (!entry.progressToken.isEmpty())
        pendingByProgressToken.insert(entry.progressToken, appId);
    // A running timer is due no later than this request's deadline: it re-arms when it fires.
    if (!callTimer.isActive())
        armCallTimer();
    // {"id","method","params"} in the order QJsonDocument writes them, without building the
    // object around the params only to write it again. The method is tools/list or tools/call.
    // Made in one allocation: each + of a chain of QByteArrays allocates.
    char head[64] = "{\"id\":";
    char *at = std::to_chars(head + 6, head + 20, appId).ptr;
    const QByteArrayView middle
            = toolsCall ? QByteArrayView(",\"method\":\"tools/call\",\"params\":")
                        : QByteArrayView(",\"method\":\"tools/list\",\"params\":");
    std::memcpy(at, middle.data(), size_t(middle.size()));
    at += middle.size();
    const qsizetype headSize = at - head;
    QByteArray line(headSize + params.size() + 1, Qt::Uninitialized);
    std::memcpy(line.data(), head, size_t(headSize));
    std::memcpy(line.data() + headSize, params.constData(), size_t(params.size()));
    line[line.size() - 1] = '}';
    sendLineToApp(std::move(line));
}

// Every way out of `pending` goes through here, so that the lookup tables and the count of
// held bytes follow the table.
PendingRequest McpServer::takeEntry(std::map<int, PendingRequest>::iterator it)
{
    const int appId = it->first;
    PendingRequest entry = std::move(it->second);
    pending.erase(it);
    pendingByClientId.remove(entry.clientId, appId);
    if (!entry.progressToken.isEmpty())
        pendingByProgressToken.remove(entry.progressToken);
    heldBytes -= entry.cost;
    return entry;
}

void McpServer::handleAppMessage(const QJsonObject &message)
{
    if (message.contains(QLatin1String("method"))) {
        const QString method = message.value(QLatin1String("method")).toString();
        if (method == listChangedMethod) {
            appToolListChanged();
        } else if (method == QLatin1String("notifications/progress")) {
            if (!clientInitialized)
                return;
            const QJsonObject params = message.value(QLatin1String("params")).toObject();
            const auto owner = pendingByProgressToken.constFind(
                    compactValue(params.value(QLatin1String("progressToken"))));
            if (owner != pendingByProgressToken.constEnd()) {
                const auto entry = pending.find(owner.value());
                if (entry != pending.end())
                    entry->second.lastProgress = callClock.elapsed();
            }
            notify(method, params);
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
    PendingRequest entry = takeEntry(it);
    const QJsonValue clientId = valueFromCompact(entry.clientId);
    if (success) {
        QJsonObject result = answer;
        if (entry.method == toolsListMethod)
            mergeToolList(result, entry.firstPage);
        deliver(entry, makeResult(clientId, result));
    } else {
        const QJsonValue code = answer.value(QLatin1String("code"));
        const QJsonValue message = answer.value(QLatin1String("message"));
        deliver(entry,
                makeError(clientId,
                          code.isDouble() ? code.toInt() : InternalError,
                          message.isString() ? message.toString()
                                             : QStringLiteral("Vesk Studio reported an error"),
                          answer.value(QLatin1String("data"))));
    }
    checkIdle();
}

// Replies at once, or holds the response back until progressQuietMs after the entry's last
// progress notification.
void McpServer::deliver(PendingRequest &entry, const QJsonObject &response)
{
    const qint64 due = entry.lastProgress < 0 ? 0 : entry.lastProgress + progressQuietMs;
    if (due <= callClock.elapsed()) {
        entry.reply(response);
        return;
    }
    heldAnswers.emplace(due, [reply = std::move(entry.reply), response] { reply(response); });
    heldAnswerTimer.start(
            int(std::max<qint64>(heldAnswers.begin()->first - callClock.elapsed(), 0)));
}

// Sends the held answers that are due, or all of them.
void McpServer::releaseHeldAnswers(bool all)
{
    while (!heldAnswers.empty() && (all || heldAnswers.begin()->first <= callClock.elapsed())) {
        const auto send = std::move(heldAnswers.begin()->second);
        heldAnswers.erase(heldAnswers.begin());
        send();
    }
    if (!heldAnswers.empty())
        heldAnswerTimer.start(
                int(std::max<qint64>(heldAnswers.begin()->first - callClock.elapsed(), 0)));
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
    PendingRequest entry = takeEntry(it);

    const int seconds = timeoutSeconds();
    log(QStringLiteral("no answer to %1 %2 within %3 s")
                .arg(entry.method, shortened(entry.toolName), QString::number(seconds)));
    sendToApp({{QLatin1String("method"), cancelledMethod},
               {QLatin1String("params"),
                QJsonObject{{QLatin1String("requestId"), appId},
                            {QLatin1String("reason"), QLatin1String("timeout")}}}});
    const QJsonValue clientId = valueFromCompact(entry.clientId);
    if (entry.method == toolsCallMethod) {
        const QString text = timeoutText(seconds, entry.toolName);
        entry.reply(makeResult(clientId, toolResult(text, true)));
    } else {
        entry.reply(
                makeError(clientId,
                          InternalError,
                          QStringLiteral("Vesk Studio did not answer within %1 s").arg(seconds)));
    }
    checkIdle();
}

void McpServer::cancelPending(const QJsonValue &requestId, const QJsonValue &reason)
{
    const QByteArray clientId = compactValue(requestId);
    // The first request sent with that id, should the client have used it twice.
    int appId = 0;
    for (auto it = pendingByClientId.constFind(clientId);
         it != pendingByClientId.constEnd() && it.key() == clientId;
         ++it)
        appId = appId == 0 ? it.value() : std::min(appId, it.value());
    if (appId == 0) {
        // Not sent yet: settled without a response, and never sent.
        const auto waiting = unsent.find(clientId);
        if (waiting == unsent.end())
            return;
        const Reply reply = std::exchange(*waiting->second, nullptr);
        unsent.erase(waiting);
        trace(QStringLiteral("request %1 cancelled by the client")
                      .arg(shortened(idKey(requestId))));
        reply(QJsonObject());
        checkIdle();
        return;
    }
    PendingRequest entry = takeEntry(pending.find(appId));
    trace(QStringLiteral("request %1 cancelled by the client").arg(shortened(idKey(requestId))));

    QJsonObject params{{QLatin1String("requestId"), appId}};
    if (reason.isString())
        params.insert(QLatin1String("reason"), reason);
    sendToApp({{QLatin1String("method"), cancelledMethod}, {QLatin1String("params"), params}});
    // No response for a cancelled request; the empty object only settles a batch holding it.
    entry.reply(QJsonObject());
    checkIdle();
}

// Ends every relayed request that is still outstanding without an answer to the client: those
// sent are cancelled in Vesk Studio with reason, those waiting for a connection are dropped.
// Answers held back after progress go out now. Returns how many requests were left unanswered.
int McpServer::abandonOutstanding(const QString &reason)
{
    releaseHeldAnswers(true);
    int waiting = 0;
    for (const auto &[clientId, held] : std::exchange(unsent, {}))
        waiting += std::exchange(*held, nullptr) ? 1 : 0;
    const std::map<int, PendingRequest> sent = takePending();
    for (const auto &[appId, entry] : sent)
        sendToApp({{QLatin1String("method"), cancelledMethod},
                   {QLatin1String("params"),
                    QJsonObject{{QLatin1String("requestId"), appId},
                                {QLatin1String("reason"), reason}}}});
    flushToApp();
    // A short wait for Vesk Studio to take the cancellations, the process ends next; a Vesk
    // Studio that does not is no news worth a log line then.
    if (socket && socket->bytesToWrite() > 0) {
        const QSignalBlocker quiet(socket);
        socket->waitForBytesWritten(1000);
    }
    return waiting + int(sent.size());
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
    // Each time-out may end the connection and empty the table, so the loop looks again each
    // time.
    while (!pending.empty() && pending.begin()->second.deadline <= callClock.elapsed())
        requestTimedOut(pending.begin()->first);
    armCallTimer();
}

std::map<int, PendingRequest> McpServer::takePending()
{
    pendingByClientId.clear();
    pendingByProgressToken.clear();
    for (const auto &[appId, entry] : pending)
        heldBytes -= entry.cost;
    return std::exchange(pending, {});
}

// ---- The pass-through of tool call answers -----------------------------------------------------

QByteArray compactValue(const QJsonValue &value)
{
    // The usual ids without a document.
    if (value.isDouble()) {
        const double number = value.toDouble();
        // Qt writes a whole number as an integer; within 2^53 it is exact.
        if (number == std::floor(number) && std::fabs(number) < 9007199254740992.0)
            return QByteArray::number(qint64(number));
    } else if (value.isString()) {
        const QString text = value.toString();
        bool plain = true;
        for (const QChar c : text)
            plain = plain && c.unicode() >= 0x20 && c.unicode() < 0x7f && c != u'"' && c != u'\\';
        if (plain)
            return '"' + text.toLatin1() + '"';
    }
    // QJsonDocument writes only arrays and objects; the brackets of a one-element array are
    // what is left to take off.
    const QByteArray array = QJsonDocument(QJsonArray{value}).toJson(QJsonDocument::Compact);
    return array.mid(1, array.size() - 2);
}

QJsonValue valueFromCompact(const QByteArray &text)
{
    return QJsonDocument::fromJson('[' + text + ']').array().at(0);
}

namespace {

bool isBlank(char c)
{
    return c == ' ' || c == '\n' || c == '\r' || c == '\t';
}

// A number or a literal, read as one word.
bool isWordChar(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '-'
           || c == '+' || c == '.';
}

// An id as forward() gives them: 1 to 999999999, digits only.
int plainId(const char *first, const char *last)
{
    if (last - first < 1 || last - first > 9 || *first == '0')
        return 0;
    int id = 0;
    for (const char *c = first; c < last; ++c) {
        if (*c < '0' || *c > '9')
            return 0;
        id = id * 10 + (*c - '0');
    }
    return id;
}

// The id of an answer, found among the members of its top-level object that come before or
// after the result, without reading the result: a plain integer (idAt: where its value starts),
// or 0 when it is not found that way, is something else, or the message has a method. The
// strings read on the way hold no escapes: in valid JSON a quote without a backslash before it
// is then the other end of the string. Any text this misjudges is not valid JSON, and the scan
// that follows refuses it.
int answerId(const QByteArray &line, const char *&idAt)
{
    const char *const begin = line.constData();
    const char *const end = begin + line.size();
    const auto quoted = [](const char *open, const char *close) {
        return std::find(open + 1, close, '\\') == close;
    };

    // From the front: {"id":1,"result":...} and {"jsonrpc":"2.0","id":1,...}
    const char *p = begin;
    while (p < end && isBlank(*p))
        ++p;
    if (p == end || *p++ != '{')
        return 0;
    for (int members = 0; members < 8; ++members) {
        while (p < end && isBlank(*p))
            ++p;
        if (p == end || *p != '"')
            break;
        const char *const keyOpen = p;
        const char *const keyClose = std::find(p + 1, end, '"');
        if (keyClose == end || !quoted(keyOpen, keyClose))
            break;
        const QByteArrayView name(keyOpen + 1, keyClose - keyOpen - 1);
        if (name == "method")
            return 0;
        for (p = keyClose + 1; p < end && isBlank(*p);)
            ++p;
        if (p == end || *p++ != ':')
            break;
        while (p < end && isBlank(*p))
            ++p;
        const char *const value = p;
        if (p < end && *p == '"') {
            const char *const close = std::find(p + 1, end, '"');
            if (close == end || !quoted(p, close))
                break;
            p = close + 1;
        } else {
            while (p < end && isWordChar(*p))
                ++p;
            if (name == "id") {
                idAt = value;
                return plainId(value, p);
            }
            if (p == value)
                break; // an object or an array: the rest is read from the back
        }
        while (p < end && isBlank(*p))
            ++p;
        if (p == end || *p++ != ',')
            break;
    }

    // From the back: {"result":...,"jsonrpc":"2.0","id":1}, the SDKs' order
    const char *q = end;
    const auto blanksBack = [&q, begin] {
        while (q > begin && isBlank(q[-1]))
            --q;
    };
    const auto openingQuote = [begin](const char *close) -> const char * {
        for (const char *c = close - 1; c >= begin; --c) {
            if (*c == '"')
                return c > begin && c[-1] == '\\' ? nullptr : c;
        }
        return nullptr;
    };
    blanksBack();
    if (q == begin || *--q != '}')
        return 0;
    for (int members = 0; members < 8; ++members) {
        blanksBack();
        const char *const valueEnd = q;
        if (q > begin && q[-1] == '"') {
            const char *const open = openingQuote(q - 1);
            if (!open || !quoted(open, q - 1))
                return 0;
            q = open;
        } else {
            while (q > begin && isWordChar(q[-1]))
                --q;
            if (q == valueEnd)
                return 0;
        }
        const char *const value = q;
        blanksBack();
        if (q == begin || *--q != ':')
            return 0;
        blanksBack();
        if (q == begin || q[-1] != '"')
            return 0;
        const char *const keyOpen = openingQuote(q - 1);
        if (!keyOpen || !quoted(keyOpen, q - 1))
            return 0;
        const QByteArrayView name(keyOpen + 1, q - 1 - keyOpen - 1);
        if (name == "method")
            return 0;
        if (name == "id") {
            idAt = value;
            return plainId(value, valueEnd);
        }
        q = keyOpen;
        blanksBack();
        if (q == begin || *--q != ',')
            return 0;
    }
    return 0;
}

} // namespace

// Parsing a result into a QJsonObject and writing it back costs more than everything else a
// call does, and several copies of a large result. When the answer to a pending tools/call
// whose reply is a line of its own has an "id" that is a plain integer and a "result" object,
// and no "method", the response is made from the bytes as received instead: the result in the
// form QJsonDocument writes, with stretches already in that form referred to rather than
// copied. The bytes and log lines are exactly what the parse and the write would produce. Any
// other answer (a tools/list answer, an error, a batch member, a late answer, text the
// canonical scan is not sure of) returns false and takes the ordinary way. Which request an
// answer is for is found first, from the members around the result: the scan only reads what
// will pass through. The line's bytes may be overwritten on the way out.
bool McpServer::passThrough(const QByteArray &line)
{
    const char *idAt = nullptr;
    const int appId = answerId(line, idAt);
    const auto it = appId != 0 ? pending.find(appId) : pending.end();
    if (it == pending.end() || !it->second.ownLine || it->second.method != toolsCallMethod
        || (it->second.lastProgress >= 0 // held back after progress: the ordinary way
            && it->second.lastProgress + progressQuietMs > callClock.elapsed()))
        return false;
    static CanonicalJson scan; // main thread only; reused so that small answers allocate little
    struct Trim                // every way out gives back what a large answer made the scan grow
    {
        CanonicalJson &scan;
        ~Trim() { scan.trim(); }
    } const trim{scan};
    if (!scan.readObject(line.constData(), line.size()))
        return false;
    const CanonicalJson::Member *id = nullptr;
    const CanonicalJson::Member *result = nullptr;
    for (const CanonicalJson::Member &member : scan.members()) {
        if (scan.keyIs(member, "method", 6))
            return false;
        if (scan.keyIs(member, "id", 2))
            id = &member;
        else if (scan.keyIs(member, "result", 6))
            result = &member;
    }
    if (!id || id->valueStart != idAt || !result || *result->valueStart != '{')
        return false;

    if (verbose)
        log(QStringLiteral("app -> ") + QString::fromUtf8(abbreviate(line)));
    const PendingRequest entry = takeEntry(it);
    // What QJsonDocument writes for the response, keys in its sorted order, without building
    // the object: {"id":<client id>,"jsonrpc":"2.0","result":<the result>}. The largest piece of
    // the result goes out as it is; the others are copied around it.
    const auto &pieces = scan.pieces();
    qsizetype largest = result->first;
    for (qsizetype i = result->first; i < result->end; ++i) {
        if (pieces[size_t(i)].size > pieces[size_t(largest)].size)
            largest = i;
    }
    static const char opening[] = "{\"id\":";
    static const char afterId[] = ",\"jsonrpc\":\"2.0\",\"result\":";
    const QByteArray &clientId = entry.clientId;
    QByteArray prefix(qsizetype(sizeof opening + sizeof afterId - 2) + clientId.size(),
                      Qt::Uninitialized);
    char *at = std::copy_n(opening, sizeof opening - 1, prefix.data());
    at = std::copy_n(clientId.constData(), clientId.size(), at);
    std::copy_n(afterId, sizeof afterId - 1, at);
    const CanonicalJson::Piece &body = pieces[size_t(largest)];
    const QByteArray head = scan.text(result->first, largest, prefix);
    const QByteArray tail = scan.text(largest + 1, result->end, {}, "}");
    // A piece with white space to drop (an array of numbers written with spaces) is squeezed
    // where it is in the line, which is not read again: no copy of it is held beside the line.
    if (body.dropped != 0)
        scan.squeezeInPlace(body);
    writeToClient(head, scan.bytes(body), body.size, tail);
    checkIdle();
    return true;
}

} // namespace ves::mcp
