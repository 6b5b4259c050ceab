// support.h - what the suites share: JSON written in tests, loose comparison, the in-process rig
// (an McpServer whose output is captured, and Vesk Studio's end of its pipe), the server's log
#pragma once

#include "io/stdio.h"
#include "mcp/canonicaljson.h"
#include "mcp/mcpserver.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLocalServer>
#include <QLocalSocket>
#include <QPointer>
#include <QTemporaryFile>
#include <QTest>
#include <QTimer>

#include <cstdio>
#include <functional>
#include <memory>

#ifdef Q_OS_UNIX
#include <unistd.h>
#endif

namespace ves::mcp::testing {

// JSON written in a test; a typo there is the test's own fault.
inline QJsonValue json(const QByteArray &text)
{
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(text, &error);
    if (error.error != QJsonParseError::NoError)
        qFatal("bad JSON in the test itself: %s", text.constData());
    return document.isArray() ? QJsonValue(document.array()) : QJsonValue(document.object());
}

// What matters of a message: each member the pattern names, at any depth, equal; arrays
// element by element and of the same length; other members free.
inline bool matches(const QJsonValue &actual, const QJsonValue &pattern)
{
    if (pattern.isObject()) {
        const QJsonObject a = actual.toObject(), p = pattern.toObject();
        if (!actual.isObject())
            return false;
        for (auto it = p.begin(); it != p.end(); ++it)
            if (!a.contains(it.key()) || !matches(a.value(it.key()), it.value()))
                return false;
        return true;
    }
    if (pattern.isArray()) {
        const QJsonArray a = actual.toArray(), p = pattern.toArray();
        if (!actual.isArray() || a.size() != p.size())
            return false;
        for (qsizetype i = 0; i < a.size(); ++i)
            if (!matches(a.at(i), p.at(i)))
                return false;
        return true;
    }
    return actual == pattern;
}

inline QByteArray compact(const QJsonValue &value)
{
    return value.isArray() ? QJsonDocument(value.toArray()).toJson(QJsonDocument::Compact)
                           : QJsonDocument(value.toObject()).toJson(QJsonDocument::Compact);
}

// Runs the event loop until done() holds, at most ms; unlike QTest::qWaitFor it does not sleep
// between rounds, so that a large transfer between two ends in this process is not slowed.
inline bool waitFor(const std::function<bool()> &done, int ms = 15000)
{
    QElapsedTimer clock;
    clock.start();
    QTimer tick; // wakes the wait below at least this often
    tick.start(20);
    while (!done()) {
        if (clock.elapsed() > ms)
            return done();
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
    return true;
}

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

// Vesk Studio's end of one connection: what the server wrote, cut into lines and parsed.
struct FarEnd
{
    QPointer<QLocalSocket> socket;
    QByteArray buffer;
    QList<QJsonObject> received;

    ~FarEnd()
    {
        if (socket)
            QObject::disconnect(socket, nullptr, nullptr, nullptr);
    }
    void attach(QLocalSocket *s)
    {
        socket = s;
        QObject::connect(s, &QLocalSocket::readyRead, s, [this] { read(); });
        read();
    }
    void read()
    {
        buffer += socket->readAll();
        for (qsizetype n; (n = buffer.indexOf('\n')) >= 0; buffer.remove(0, n + 1))
            received.append(QJsonDocument::fromJson(buffer.left(n)).object());
    }
    void write(const QByteArray &data)
    {
        socket->write(data);
        socket->flush();
    }
};

struct Rig
{
    QList<QJsonValue> sent; // each message the server wrote to the client, parsed
    QList<QByteArray> raw;  // the same, as written
    QList<bool> inPieces;   // written through the pieces writer (passed through unparsed)
    QLocalServer app;       // the far end; listen() only when a test wants Vesk Studio there
    FarEnd studio;          // Vesk Studio's end, once accepted
    std::unique_ptr<McpServer> server;
    QString pipeName;

    explicit Rig(ServerOptions options = testOptions())
        : pipeName(options.pipeName)
    {
        server = std::make_unique<McpServer>(
                std::move(options), [this](const QByteArray &m) { take(m, false); }, nullptr);
        server->setPiecesWriter([this](const QByteArray &head,
                                       const char *body,
                                       qsizetype size,
                                       const QByteArray &tail) {
            take(head + QByteArray(body, size) + tail, true);
        });
    }
    void take(const QByteArray &m, bool pieces)
    {
        raw.append(m);
        inPieces.append(pieces);
        sent.append(json(keepOpeningMarks(m))); // as a parser that keeps U+FEFF reads it
    }
    bool listen()
    {
        QLocalServer::removeServer(pipeName);
        return app.listen(pipeName);
    }
    bool accept()
    {
        if (!waitFor([this] { return app.hasPendingConnections(); }))
            return false;
        studio.attach(app.nextPendingConnection());
        return true;
    }
    void send(const QByteArray &line) { server->handleLine(line); }
};

#ifdef Q_OS_UNIX
// The server's log goes to stderr: this holds fd 2 in a file while it lives, and prints it when
// the test has failed.
class LogCapture
{
public:
    LogCapture()
    {
        std::fflush(stderr);
        file.open();
        saved = ::dup(2);
        ::dup2(file.handle(), 2);
    }
    ~LogCapture()
    {
        std::fflush(stderr);
        ::dup2(saved, 2);
        ::close(saved);
        if (QTest::currentTestFailed())
            std::printf("--- log of the server ---\n%s", read().constData());
    }
    LogCapture(const LogCapture &) = delete;
    LogCapture &operator=(const LogCapture &) = delete;

    QByteArray read() const
    {
        flushLog(); // the log's lines leave through a thread of their own
        QFile f(file.fileName());
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }

private:
    QTemporaryFile file;
    int saved = -1;
};
#endif

} // namespace ves::mcp::testing
