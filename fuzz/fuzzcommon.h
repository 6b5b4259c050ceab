// fuzzcommon.h - what the fuzz targets share: the Qt application, failure reports, the checks on
// every line that the server writes to the client, and the count of answers each request is owed
#pragma once

#include "mcp/canonicaljson.h"
#include "mcp/mcpserver.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEvent>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocalServer>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

extern "C" void __sanitizer_report_error_summary(const char *error_summary);

namespace ves::fuzz {

// Reports a broken rule and stops the process, so that libFuzzer keeps the input. The summary
// goes to the sanitizer's report stream, which survives -close_fd_mask=2.
[[noreturn]] inline void fail(const std::string &what, const QByteArray &bytes = {})
{
    std::string text = "vesk-fuzz: " + what;
    if (!bytes.isEmpty()) {
        const QByteArray shown = bytes.left(400).toPercentEncoding(" {}[]\":,.-_/");
        text += " [" + shown.toStdString() + (bytes.size() > 400 ? "...]" : "]");
    }
    std::fprintf(stderr, "%s\n", text.c_str());
    __sanitizer_report_error_summary(text.c_str());
    std::abort();
}

inline void check(bool ok, const char *what, const QByteArray &bytes = {})
{
    if (!ok)
        fail(what, bytes);
}

// One application object for the whole run; Qt's own warnings are not what is tested.
inline void initApplication()
{
    static int argc = 1;
    static char name[] = "vesk-fuzz";
    static char *argv[] = {name, nullptr};
    if (!QCoreApplication::instance()) {
        qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &) {});
        new QCoreApplication(argc, argv);
    }
}

// What a client sends first: initialize, then the initialized notification.
inline const QByteArray handshake[] = {
        R"({"jsonrpc":"2.0","id":0,"method":"initialize","params":{"protocolVersion":"2025-06-18","clientInfo":{"name":"fuzz","version":"1"}}})",
        R"({"jsonrpc":"2.0","method":"notifications/initialized"})",
};

// The application, and a far end in this process on a pipe named after prefix and the process.
inline QLocalServer *initWithFarEnd(const char *prefix)
{
    initApplication();
    auto *server = new QLocalServer;
    const QString name = QStringLiteral("%1-%2")
                                 .arg(QLatin1String(prefix))
                                 .arg(QCoreApplication::applicationPid());
    QLocalServer::removeServer(name);
    check(server->listen(name), "cannot listen for the in-process far end");
    return server;
}

inline void drainEvents(int rounds)
{
    for (int i = 0; i < rounds; ++i) {
        QCoreApplication::processEvents();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
}

// Runs the event loop until done() holds or timeoutMs passed; fails with what in the latter case.
inline void processUntil(const std::function<bool()> &done, int timeoutMs, const char *what)
{
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        check(clock.elapsed() <= timeoutMs, what);
        drainEvents(1);
    }
}

// The key of a JSON-RPC id in the ledger: strings and numbers kept apart. Numbers are compared as
// doubles, as they travel: 12345678901234567890 comes back as 12345678901234567000.
inline QString idKeyOf(const QJsonValue &id)
{
    if (id.isString())
        return QStringLiteral("s:") + id.toString();
    if (id.isDouble())
        return QStringLiteral("n:") + QString::number(id.toDouble(), 'g', 17);
    return QStringLiteral("null");
}

// A server under test for pipe. Every line it writes to the client is checked: compact JSON on
// one line, a JSON-RPC 2.0 response, batch of responses or notification. With strict set, every
// error must be one of the server's own (the five codes, no data); results and errors relayed
// from Vesk Studio may be anything. The responses the client is owed are counted from the
// JSON-RPC 2.0 rules alone and ticked off as they come; the "null" key collects those that cannot
// name a request.
class Session
{
public:
    std::unique_ptr<mcp::McpServer> server;
    std::vector<QJsonObject> progress; // params of each progress notification, in order
    std::vector<QByteArray> written;   // every line written to the client, in order

    Session(const QString &pipe, int connectTimeoutMs, int callTimeoutMs, bool strict)
        : strict(strict)
    {
        mcp::ServerOptions options;
        options.pipeName = pipe;
        options.connectTimeoutMs = connectTimeoutMs;
        options.callTimeoutMs = callTimeoutMs;
        options.pollMs = 0;
        server = std::make_unique<mcp::McpServer>(
                std::move(options), [this](const QByteArray &m) { output(m); }, nullptr);
        // The program writes a passed-through answer in pieces: joined here as the line on stdout.
        server->setPiecesWriter(
                [this](const auto &head, const char *body, qsizetype size, const auto &tail) {
                    output(head + QByteArray(body, size) + tail);
                });
    }

    // Hands one input line to the server, counting first what it is owed.
    void send(const QByteArray &raw)
    {
        const QByteArray line = (raw.startsWith("\xEF\xBB\xBF") ? raw.mid(3) : raw).trimmed();
        const QJsonDocument d = QJsonDocument::fromJson(line);
        if (d.isObject()) {
            expectMessage(d.object());
        } else if (d.isArray() && !d.array().isEmpty()) {
            bool any = false;
            for (const QJsonValue &element : d.array())
                any = expectMessage(element) || any;
            batchesOwed += any;
        } else if (!line.isEmpty()) {
            expect(QStringLiteral("null"));
        }
        server->handleLine(raw);
    }

    void expect(const QString &key) { ++owed[key]; }

    void checkSettled() const
    {
        for (const auto &[key, count] : owed)
            check(count == 0, ("no response to id " + key.toStdString()).c_str());
        check(batchesOwed == 0, "a batch response is missing");
    }

    // Signals the end of input: the session must end, its callback called once, nothing left
    // pending and every response given.
    void finish()
    {
        int finished = 0;
        server->finishWhenIdle([&finished] { ++finished; }, 2000);
        processUntil([&finished] { return finished > 0; }, 5000, "the session did not end");
        drainEvents(1);
        if (finished != 1)
            fail("the finish callback ran " + std::to_string(finished) + " times");
        check(server->pendingCount() == 0, "requests still pending at the end");
        checkSettled();
        server.reset();
        drainEvents(1);
    }

private:
    // One message (a line's object, or an element of a batch): a request or an invalid message
    // is owed a response, a notification or a client's response none. Returns whether it is owed.
    bool expectMessage(const QJsonValue &element)
    {
        const QJsonObject o = element.toObject();
        const bool hasId = o.contains(u"id");
        if (element.isObject()
            && (o.contains(u"method") ? !hasId
                                      : hasId && (o.contains(u"result") || o.contains(u"error"))))
            return false;
        expect(idKeyOf(o.value(u"id")));
        return true;
    }

    void output(const QByteArray &bytes)
    {
        check(!bytes.isEmpty(), "an empty output line");
        check(!bytes.contains('\n') && !bytes.contains('\r'), "an output line break", bytes);
        written.push_back(bytes);
        QJsonParseError error; // read as a parser that keeps a U+FEFF opening a string reads it
        const QJsonDocument d = QJsonDocument::fromJson(mcp::keepOpeningMarks(bytes), &error);
        if (error.error != QJsonParseError::NoError)
            fail("output that is not JSON: " + error.errorString().toStdString(), bytes);
        check(d.toJson(QJsonDocument::Compact) == bytes, "output that is not compact JSON", bytes);
        if (d.isObject())
            return checkMessage(d.object(), bytes, false);
        check(!d.array().isEmpty(), "an empty batch response", bytes);
        check(batchesOwed-- > 0, "a batch response nobody is owed", bytes);
        for (const QJsonValue &element : d.array()) {
            check(element.isObject(), "a batch response holds a non-object", bytes);
            checkMessage(element.toObject(), bytes, true);
        }
    }

    void checkMessage(const QJsonObject &m, const QByteArray &bytes, bool inBatch)
    {
        auto need = [&bytes](bool ok, const char *what) { check(ok, what, bytes); };
        need(m.value(u"jsonrpc").toString() == QLatin1String("2.0"), "no \"jsonrpc\": \"2.0\"");
        const bool hasResult = m.contains(u"result");
        const bool hasError = m.contains(u"error");
        if (m.contains(u"method")) {
            need(!inBatch && !hasResult && !hasError && !m.contains(u"id"), "a bad notification");
            const QString method = m.value(u"method").toString();
            const bool isProgress = method == QLatin1String("notifications/progress");
            if (!isProgress && method != QLatin1String("notifications/tools/list_changed"))
                fail("an unexpected notification " + method.toStdString(), bytes);
            const QJsonValue params = m.value(u"params");
            need(params.isUndefined() || !params.toObject().isEmpty(), "params not a full object");
            if (isProgress)
                progress.push_back(params.toObject());
            return;
        }
        need(hasResult != hasError, "a response needs exactly one of result and error");
        const QJsonValue id = m.value(u"id");
        need(id.isString() || id.isDouble() || id.isNull(), "a response id missing or bad");
        need(m.size() == 3, "a response with extra members");
        need(!hasResult || m.value(u"result").isObject(), "a result that is not an object");
        if (hasError) {
            need(m.value(u"error").isObject(), "an error that is not an object");
            const QJsonObject error = m.value(u"error").toObject();
            const QJsonValue code = error.value(u"code");
            need(code.isDouble() && code.toDouble() == code.toInt(), "a non-integer error code");
            need(error.value(u"message").isString(), "an error message that is not a string");
            const int c = code.toInt();
            need(!strict || c == -32700 || (c <= -32600 && c >= -32603), "a non-standard code");
            need(!strict || error.size() == 2, "a server error with data or extra members");
        }
        const QString key = idKeyOf(id);
        auto it = owed.find(key);
        if (it == owed.end() || it->second-- == 0)
            fail("a response the client was not owed, id " + key.toStdString(), bytes);
    }

    std::map<QString, int> owed;
    int batchesOwed = 0;
    bool strict;
};

} // namespace ves::fuzz
