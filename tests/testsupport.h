// testsupport.h - what the in-process suites share: the server's log, Vesk Studio's end of the
// pipe, a pipe that never answers a connect, the requests and the user-visible texts
#pragma once

#include "rig.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QPointer>
#include <QTemporaryFile>
#include <QTest>

#include <algorithm>
#include <cstdio>
#include <utility>

#include <unistd.h>

#ifdef Q_OS_LINUX
#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
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

inline QJsonObject object(const QByteArray &text)
{
    return json(text).toObject();
}

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

    QStringList lines() const
    {
        return QString::fromUtf8(read()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    }
    int count(const QString &line) const { return int(lines().count("vesk-mcp: " + line)); }
    int countStarting(const QString &prefix) const
    {
        const QStringList all = lines();
        return int(std::count_if(all.begin(), all.end(), [&prefix](const QString &l) {
            return l.startsWith("vesk-mcp: " + prefix);
        }));
    }

private:
    QByteArray read() const
    {
        std::fflush(stderr);
        QFile f(file.fileName());
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }
    QTemporaryFile file;
    int saved = -1;
};

// Vesk Studio's end of one connection: what the server wrote, cut into lines and parsed.
struct FarEnd
{
    QPointer<QLocalSocket> socket;
    QByteArray bytes; // everything received
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
        const QByteArray data = socket->readAll();
        bytes += data;
        buffer += data;
        for (qsizetype n; (n = buffer.indexOf('\n')) >= 0; buffer.remove(0, n + 1))
            received.append(QJsonDocument::fromJson(buffer.left(n)).object());
    }
    void write(const QByteArray &data)
    {
        socket->write(data);
        socket->flush();
    }
    void answer(int id, const QByteArray &result = "{}")
    {
        write("{\"id\":" + QByteArray::number(id) + ",\"result\":" + result + "}\n");
    }
};

inline bool accept(QLocalServer &app, FarEnd &far)
{
    if (!QTest::qWaitFor([&app] { return app.hasPendingConnections(); }, 10000))
        return false;
    far.attach(app.nextPendingConnection());
    return true;
}

#ifdef Q_OS_LINUX
// A listening Unix socket whose backlog is full: a connect to it neither succeeds nor fails
// (QLocalSocket keeps retrying on EAGAIN) until release() makes room, so a connection attempt
// stays under way until the server's own time-out ends it. A QLocalServer cannot do this,
// because it accepts whatever the kernel queues.
struct JammedPipe
{
    QString path;
    int listener = -1;
    int filler = -1;
    QLocalSocket peer; // the server's connection, once released

    sockaddr_un a{};

    explicit JammedPipe(const QString &pipeName)
        : path(QDir::tempPath() + QLatin1Char('/') + pipeName)
    {
        a.sun_family = AF_UNIX;
        std::strncpy(a.sun_path, QFile::encodeName(path).constData(), sizeof a.sun_path - 1);
    }
    ~JammedPipe()
    {
        for (int fd : {listener, filler})
            if (fd >= 0)
                ::close(fd);
        QFile::remove(path);
    }
    int connectOnce()
    {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (::connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0)
            return fd;
        ::close(fd);
        return -1;
    }
    bool open()
    {
        QFile::remove(path);
        listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (::bind(listener, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0
            || ::listen(listener, 0) != 0)
            return false;
        filler = connectOnce(); // takes the one place in the backlog
        const int probe = connectOnce();
        if (probe >= 0)
            ::close(probe);
        return filler >= 0 && probe < 0 && errno == EAGAIN;
    }
    bool release()
    {
        ::close(::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC));
        ::close(std::exchange(filler, -1));
        int fd = -1;
        if (!QTest::qWaitFor(
                    [&] { return (fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC)) >= 0; },
                    10000))
            return false;
        return peer.setSocketDescriptor(fd);
    }
    bool nothingQueued() const
    {
        const int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            return true;
        ::close(fd);
        return false;
    }
};
#endif

// The client's messages.
inline const QByteArray initialized = R"({"jsonrpc":"2.0","method":"notifications/initialized"})";

inline QByteArray call(const QByteArray &id, const char *tool)
{
    return R"({"jsonrpc":"2.0","id":)" + id + R"(,"method":"tools/call","params":{"name":")" + tool
           + "\"}}";
}

inline QByteArray call(int id, const char *tool)
{
    return call(QByteArray::number(id), tool);
}

inline QByteArray list(int id, const QByteArray &params = "{}")
{
    return R"({"jsonrpc":"2.0","id":)" + QByteArray::number(id)
           + R"(,"method":"tools/list","params":)" + params + "}";
}

inline QByteArray cancel(const QByteArray &params)
{
    return R"({"jsonrpc":"2.0","method":"notifications/cancelled","params":)" + params + "}";
}

// The server's messages and texts.
inline QJsonObject response(const QJsonValue &id, const QJsonObject &result)
{
    return {{"jsonrpc", "2.0"}, {"id", id}, {"result", result}};
}

inline QJsonObject errorResponse(const QJsonValue &id, int code, const QString &message)
{
    return {{"jsonrpc", "2.0"},
            {"id", id},
            {"error", QJsonObject{{"code", code}, {"message", message}}}};
}

inline QJsonObject textResult(const QString &text, bool isError)
{
    return {{"content", QJsonArray{QJsonObject{{"type", "text"}, {"text", text}}}},
            {"isError", isError}};
}

inline QString notConnected(const QString &pipe)
{
    return QString::fromUtf8(
                   "Vesk Studio chưa kết nối: hãy mở Vesk Studio và bật Công cụ › Kết nối "
                   "AI, rồi thử lại.\nVesk Studio is not connected: open Vesk Studio and "
                   "turn on Tools › AI Connection, then try again.\n(local pipe: ")
           + QStringLiteral("\\\\.\\pipe\\") + pipe + QLatin1Char(')');
}

inline QString notAvailable(const QString &tool)
{
    return QString::fromUtf8("Công cụ \"%1\" chưa dùng được. / Tool \"%1\" is not available.\n")
            .arg(tool);
}

inline QString closedWhileRunning(const QString &tool)
{
    return QString::fromUtf8("Mất kết nối với Vesk Studio khi đang chạy \"%1\"; thao tác có thể "
                             "chưa xong.\nThe connection to Vesk Studio was closed while \"%1\" "
                             "was running; the operation may not have completed.\n")
            .arg(tool);
}

inline QString timeoutText(const QString &tool, int seconds)
{
    return QString::fromUtf8("Vesk Studio không trả lời trong %1 giây (công cụ \"%2\"); có thể ứng "
                             "dụng đang bận hoặc đang mở một hộp thoại.\nVesk Studio did not "
                             "answer within %1 s (tool \"%2\"); it may be busy or showing a "
                             "dialog. Check its window, then try again or take a screenshot to "
                             "see the current state.")
            .arg(seconds)
            .arg(tool);
}

inline const QString connectedText = QString::fromUtf8(
        "Vesk Studio đã kết nối, sẵn sàng nhận lệnh.\nVesk Studio is connected and ready.");

// A tool call answered without Vesk Studio.
inline QJsonObject offline(const QJsonValue &id, const char *tool, const QString &pipe)
{
    return response(id, textResult(notAvailable(QLatin1String(tool)) + notConnected(pipe), true));
}

inline const QByteArray statusToolJson = QByteArray(R"({
    "name": "vesk_status",
    "title": "Vesk Studio connection",
    "description": "Check whether Vesk Studio is running with its AI connection (Tools › AI Connection / Công cụ › Kết nối AI) switched on. Call it when the drawing tools are missing; the tool list is refreshed automatically once Vesk Studio is connected.",
    "inputSchema": {"type": "object", "properties": {}, "additionalProperties": false},
    "annotations": {"title": "Vesk Studio connection", "readOnlyHint": true,
                    "destructiveHint": false, "idempotentHint": true, "openWorldHint": false}
})");

inline QJsonObject localList(const QJsonValue &id)
{
    return response(id, {{"tools", QJsonArray{json(statusToolJson)}}});
}

inline const QJsonObject listChanged{{"jsonrpc", "2.0"},
                                     {"method", "notifications/tools/list_changed"}};

} // namespace ves::mcp::testing
