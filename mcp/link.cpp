// link.cpp - McpServer's pipe connection to Vesk Studio: attempts, retries, framing, loss
#include "mcp/mcpserver.h"

#include "io/stdio.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonParseError>
#include <QLocalSocket>

#include <algorithm>
#include <cstring>

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

QByteArray compactValue(const QJsonValue &value)
{
    // QJsonDocument writes only arrays and objects; the brackets of a one-element array are
    // what is left to take off.
    const QByteArray array = QJsonDocument(QJsonArray{value}).toJson(QJsonDocument::Compact);
    return array.mid(1, array.size() - 2);
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

// The lines of one turn leave in one write and flush. Lines written while a connection was up
// still go to it when it is being dropped, as they did when each one was written at once.
void McpServer::flushToApp()
{
    if (appOut.isEmpty())
        return;
    const QByteArray lines = std::exchange(appOut, QByteArray());
    if (!socket || socket->state() != QLocalSocket::ConnectedState)
        return;
    socket->write(lines);
    socket->flush();
}

// The pipe first: a write that fails there closes the connection, which answers the pending
// requests on stdout, and those answers must not wait for the next turn.
void McpServer::flushOutput()
{
    // A Vesk Studio that stops reading would have every further line pile up in the socket's
    // buffer. What one turn adds is bounded by the stdin reader's backlog (or one line), so
    // more than this left over from earlier turns means the far end is stuck, not slow.
    if (socket && connected && socket->bytesToWrite() > maxUnsentToApp) {
        appOut.clear();
        closeConnection(QStringLiteral("Vesk Studio is not reading, %1 MiB unsent")
                                .arg(socket->bytesToWrite() >> 20));
    }
    flushToApp();
    if (outFlush)
        outFlush();
}

// Clears the member first, so that handlers reached from abort() see no current socket.
void McpServer::dropSocket()
{
    flushToApp();
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
            entry.reply(makeResult(entry.clientId, toolResult(closedText(entry.toolName), true)));
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
    // Straight from the socket into the cutter's buffer: readAll() and feed would copy every
    // byte twice, and a result may be many MiB.
    const qint64 available = current->bytesAvailable();
    const qint64 got = current->read(appLines.reserve(available), available);
    const bool tooLarge = appLines.commit(got, [this, current](const QByteArray &line) {
        if (passThrough(line))
            return socket == current;
        QJsonParseError error;
        const QJsonDocument document = QJsonDocument::fromJson(line, &error);
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
}

namespace {

// True when one of the 8 bytes is a quote, a backslash, below 0x20 or above 0x7f: the bytes a
// string check must look at one by one.
bool needsLook(quint64 bytes)
{
    constexpr quint64 ones = 0x0101010101010101ull;
    constexpr quint64 highs = 0x8080808080808080ull;
    const quint64 quote = bytes ^ (ones * '"');
    const quint64 backslash = bytes ^ (ones * '\\');
    const quint64 hasQuote = (quote - ones) & ~quote & highs;
    const quint64 hasBackslash = (backslash - ones) & ~backslash & highs;
    const quint64 hasControl = (bytes - ones * 0x20) & ~bytes & highs;
    return ((bytes & highs) | hasQuote | hasBackslash | hasControl) != 0;
}

// The end of the string that starts at p (at its quote), when QJsonDocument writes it back
// byte for byte: printable ASCII, with exactly the escapes Qt writes (\" \\ \b \f \n \r \t, and
// \u00xx in lower case for the other control characters). Keys take no escapes at all, so that
// their order can be checked on the raw bytes. nullptr otherwise.
const char *canonicalString(const char *p, const char *end, bool key)
{
    ++p;
    while (p < end) {
        // Long texts are mostly plain: skip them 8 bytes at a time.
        while (end - p >= 8) {
            quint64 bytes;
            std::memcpy(&bytes, p, 8);
            if (needsLook(bytes))
                break;
            p += 8;
        }
        if (p >= end)
            break;
        const unsigned char c = static_cast<unsigned char>(*p);
        if (c == '"')
            return p + 1;
        if (c < 0x20 || c >= 0x80)
            return nullptr;
        if (c != '\\') {
            ++p;
            continue;
        }
        if (key || end - p < 2)
            return nullptr;
        const char e = p[1];
        if (e == '"' || e == '\\' || e == 'b' || e == 'f' || e == 'n' || e == 'r' || e == 't') {
            p += 2;
            continue;
        }
        if (e != 'u' || end - p < 6 || p[2] != '0' || p[3] != '0' || (p[4] != '0' && p[4] != '1'))
            return nullptr;
        const char h = p[5];
        const int low = h >= '0' && h <= '9' ? h - '0' : h >= 'a' && h <= 'f' ? h - 'a' + 10 : -1;
        const int code = (p[4] - '0') * 16 + low;
        if (low < 0 || code == '\b' || code == '\t' || code == '\n' || code == '\f' || code == '\r')
            return nullptr;
        p += 6;
    }
    return nullptr;
}

// The end of the JSON value that starts at p, when it is exactly what QJsonDocument writes in
// compact form after reading it; nullptr when in doubt. Only Qt's own forms pass: no white
// space, object keys in strictly ascending byte order (so no duplicates), the strings above,
// integers of at most 18 characters (they stay integers in Qt, and -0 is not one of them),
// true, false and null. Depth is bounded, so the recursion is.
const char *canonicalValue(const char *p, const char *end, int depth)
{
    if (p >= end || depth > 64)
        return nullptr;
    switch (*p) {
    case '"':
        return canonicalString(p, end, false);
    case '{': {
        ++p;
        if (p < end && *p == '}')
            return p + 1;
        const char *lastKey = nullptr;
        qsizetype lastKeySize = 0;
        for (;;) {
            if (p >= end || *p != '"')
                return nullptr;
            const char *keyEnd = canonicalString(p, end, true);
            if (!keyEnd)
                return nullptr;
            const char *key = p + 1;
            const qsizetype keySize = keyEnd - key - 1;
            if (lastKey) {
                const int order = std::memcmp(lastKey, key, size_t(std::min(lastKeySize, keySize)));
                if (order > 0 || (order == 0 && lastKeySize >= keySize))
                    return nullptr;
            }
            lastKey = key;
            lastKeySize = keySize;
            if (keyEnd >= end || *keyEnd != ':')
                return nullptr;
            p = canonicalValue(keyEnd + 1, end, depth + 1);
            if (!p || p >= end)
                return nullptr;
            if (*p == '}')
                return p + 1;
            if (*p != ',')
                return nullptr;
            ++p;
        }
    }
    case '[': {
        ++p;
        if (p < end && *p == ']')
            return p + 1;
        for (;;) {
            p = canonicalValue(p, end, depth + 1);
            if (!p || p >= end)
                return nullptr;
            if (*p == ']')
                return p + 1;
            if (*p != ',')
                return nullptr;
            ++p;
        }
    }
    case 't':
        return end - p >= 4 && std::memcmp(p, "true", 4) == 0 ? p + 4 : nullptr;
    case 'f':
        return end - p >= 5 && std::memcmp(p, "false", 5) == 0 ? p + 5 : nullptr;
    case 'n':
        return end - p >= 4 && std::memcmp(p, "null", 4) == 0 ? p + 4 : nullptr;
    default: {
        const char *start = p;
        if (*p == '-')
            ++p;
        if (p >= end || *p < '0' || *p > '9')
            return nullptr;
        if (*p == '0') {
            ++p;
            if (*start == '-') // -0 is written as 0
                return nullptr;
        } else {
            while (p < end && *p >= '0' && *p <= '9')
                ++p;
        }
        if (p - start > 18)
            return nullptr;
        if (p < end && (*p == '.' || *p == 'e' || *p == 'E' || (*p >= '0' && *p <= '9')))
            return nullptr;
        return p;
    }
    }
}

} // namespace

// Parsing a result into a QJsonObject and writing it back costs more than everything else a
// call does, and several copies of a large result. When the answer is {"id":N,"result":{...}}
// for a pending tools/call whose reply is a line of its own, and the result is already in the
// form QJsonDocument writes, the response is made of the bytes as received instead: exactly
// what the parse and the write would produce, with the same log lines. Any other answer (a
// tools/list answer, an error, a batch member, a late answer, keys out of order, white space,
// other escapes or numbers) returns false and takes the ordinary way.
bool McpServer::passThrough(const QByteArray &line)
{
    static const char start[] = "{\"id\":";
    static const char middle[] = ",\"result\":{";
    const char *p = line.constData();
    const char *const end = p + line.size();
    if (line.size() < qsizetype(sizeof start + sizeof middle)
        || std::memcmp(p, start, sizeof start - 1) != 0 || end[-1] != '}')
        return false;
    p += sizeof start - 1;
    const char *const digits = p;
    int appId = 0;
    while (p < end && *p >= '0' && *p <= '9' && p - digits < 9)
        appId = appId * 10 + (*p++ - '0');
    if (p == digits || *digits == '0' || end - p < qsizetype(sizeof middle)
        || std::memcmp(p, middle, sizeof middle - 1) != 0)
        return false;
    const char *const result = p + sizeof middle - 2; // at its opening brace
    const auto it = pending.find(appId);
    if (it == pending.end() || !it->second.ownLine || it->second.method != toolsCallMethod
        || canonicalValue(result, end, 0) != end - 1)
        return false;

    if (verbose)
        log(QStringLiteral("app -> ") + QString::fromUtf8(abbreviate(line)));
    const PendingRequest entry = std::move(it->second);
    pending.erase(it);
    // What QJsonDocument writes for the response, keys in its sorted order, without building
    // the object: {"id":<client id>,"jsonrpc":"2.0","result":<the raw result>}.
    const QByteArray head
            = "{\"id\":" + compactValue(entry.clientId) + ",\"jsonrpc\":\"2.0\",\"result\":";
    writeToClient(head, result, end - 1 - result, QByteArrayLiteral("}"));
    checkIdle();
    return true;
}

} // namespace ves::mcp
