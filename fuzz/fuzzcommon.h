// fuzzcommon.h - what the fuzz targets share: the Qt application, failure reports, the checks on
// every line that the server writes to the client, and the count of answers each request is owed
#pragma once

#include "mcp/mcpserver.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEvent>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <map>
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

inline void quietMessages(QtMsgType, const QMessageLogContext &, const QString &) {}

// One application object for the whole run; Qt's own warnings are not what is tested.
inline void initApplication()
{
    static int argc = 1;
    static char name[] = "vesk-fuzz";
    static char *argv[] = {name, nullptr};
    if (!QCoreApplication::instance()) {
        qInstallMessageHandler(quietMessages);
        new QCoreApplication(argc, argv);
    }
}

// Runs the event loop until done() holds or timeoutMs passed; returns done().
inline bool processUntil(const std::function<bool()> &done, int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > timeoutMs)
            return done();
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
    return true;
}

inline void drainEvents(int rounds = 3)
{
    for (int i = 0; i < rounds; ++i) {
        QCoreApplication::processEvents(QEventLoop::AllEvents);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
}

// The key of a JSON-RPC id in the ledger: strings and numbers kept apart.
inline QString idKeyOf(const QJsonValue &id)
{
    if (id.isString())
        return QStringLiteral("s:") + id.toString();
    if (id.isDouble())
        return QStringLiteral("n:") + QString::number(id.toDouble(), 'g', 17);
    return QStringLiteral("null");
}

// Counts the responses that the client is owed, from the JSON-RPC 2.0 rules alone, and ticks
// them off as they come. The "null" key collects the responses that cannot name a request.
struct Ledger
{
    std::map<QString, int> owed;
    int batchesOwed = 0;

    void expect(const QString &key) { ++owed[key]; }

    // What one message (a line's object, or an element of a batch) is owed: a request gets one
    // response, a notification or a client's response none.
    void expectMessage(const QJsonValue &element, bool *needsAnswer)
    {
        *needsAnswer = false;
        if (!element.isObject()) {
            expect(QStringLiteral("null"));
            *needsAnswer = true;
            return;
        }
        const QJsonObject o = element.toObject();
        const bool hasId = o.contains(QLatin1String("id"));
        const QJsonValue id = o.value(QLatin1String("id"));
        const bool usable = id.isString() || id.isDouble();
        if (!o.contains(QLatin1String("method"))) {
            if (hasId
                && (o.contains(QLatin1String("result")) || o.contains(QLatin1String("error"))))
                return;
        } else if (!hasId) {
            return;
        }
        expect(usable ? idKeyOf(id) : QStringLiteral("null"));
        *needsAnswer = true;
    }

    // What one input line, as handed to handleLine, is owed.
    void expectLine(const QByteArray &raw)
    {
        QByteArray line = raw;
        if (line.startsWith("\xEF\xBB\xBF"))
            line.remove(0, 3);
        line = line.trimmed();
        if (line.isEmpty())
            return;
        QJsonParseError error;
        const QJsonDocument d = QJsonDocument::fromJson(line, &error);
        if (error.error != QJsonParseError::NoError || !(d.isArray() || d.isObject())) {
            expect(QStringLiteral("null"));
            return;
        }
        bool needs = false;
        if (d.isObject()) {
            expectMessage(d.object(), &needs);
            return;
        }
        const QJsonArray batch = d.array();
        if (batch.isEmpty()) {
            expect(QStringLiteral("null"));
            return;
        }
        bool any = false;
        for (const QJsonValue &element : batch) {
            expectMessage(element, &needs);
            any = any || needs;
        }
        if (any)
            ++batchesOwed;
    }

    void answered(const QJsonValue &id, const QByteArray &line)
    {
        // Ids are compared as doubles, as they travel: 12345678901234567890 comes back as
        // 12345678901234567000, the same double.
        const QString key = idKeyOf(id);
        auto it = owed.find(key);
        if (it == owed.end() || it->second == 0)
            fail("a response the client was not owed, id " + key.toStdString(), line);
        --it->second;
    }

    void checkSettled() const
    {
        for (const auto &[key, count] : owed) {
            if (count != 0)
                fail("id " + key.toStdString() + " is owed " + std::to_string(count)
                     + " more response(s)");
        }
        if (batchesOwed != 0)
            fail(std::to_string(batchesOwed) + " batch response(s) missing or extra");
    }
};

// Checks one message that the server wrote to the client: compact JSON on one line, a JSON-RPC
// 2.0 response, batch of responses or notification. With strict set, every error must be one of
// the server's own (the five codes, no data); results and errors relayed from Vesk Studio may be
// anything. Ticks responses off the ledger.
class OutputChecker
{
public:
    explicit OutputChecker(Ledger *ledger, bool strict)
        : ledger(ledger)
        , strict(strict)
    {}

    int lines = 0;
    int notifications = 0;
    std::map<QString, int> notificationsByMethod;
    std::vector<QJsonObject> progress; // params of each progress notification, in order
    int piecesWritten = 0;             // messages that came through the pieces writer

    void operator()(const QByteArray &bytes)
    {
        ++lines;
        if (bytes.isEmpty())
            fail("an empty output line");
        if (bytes.contains('\n') || bytes.contains('\r'))
            fail("an output message holds a line break", bytes);
        QJsonParseError error;
        const QJsonDocument d = QJsonDocument::fromJson(bytes, &error);
        if (error.error != QJsonParseError::NoError)
            fail("output that is not JSON: " + error.errorString().toStdString(), bytes);
        if (d.toJson(QJsonDocument::Compact) != bytes)
            fail("output that is not compact JSON", bytes);
        if (d.isObject()) {
            checkMessage(d.object(), bytes, false);
        } else if (d.isArray()) {
            const QJsonArray batch = d.array();
            if (batch.isEmpty())
                fail("an empty batch response", bytes);
            if (ledger) {
                if (ledger->batchesOwed == 0)
                    fail("a batch response nobody is owed", bytes);
                --ledger->batchesOwed;
            }
            for (const QJsonValue &element : batch) {
                if (!element.isObject())
                    fail("a batch response holds a non-object", bytes);
                checkMessage(element.toObject(), bytes, true);
            }
        } else {
            fail("output that is neither object nor array", bytes);
        }
    }

private:
    void checkMessage(const QJsonObject &m, const QByteArray &bytes, bool inBatch)
    {
        if (m.value(QLatin1String("jsonrpc")) != QJsonValue(QLatin1String("2.0")))
            fail("a message without \"jsonrpc\": \"2.0\"", bytes);
        const bool hasResult = m.contains(QLatin1String("result"));
        const bool hasError = m.contains(QLatin1String("error"));
        const bool hasMethod = m.contains(QLatin1String("method"));
        if (hasMethod) {
            if (inBatch || hasResult || hasError || m.contains(QLatin1String("id")))
                fail("a notification that is not one", bytes);
            const QString method = m.value(QLatin1String("method")).toString();
            if (method != QLatin1String("notifications/progress")
                && method != QLatin1String("notifications/tools/list_changed"))
                fail("an unexpected notification " + method.toStdString(), bytes);
            if (m.contains(QLatin1String("params"))
                && (!m.value(QLatin1String("params")).isObject()
                    || m.value(QLatin1String("params")).toObject().isEmpty()))
                fail("notification params that are not a non-empty object", bytes);
            ++notifications;
            ++notificationsByMethod[method];
            if (method == QLatin1String("notifications/progress"))
                progress.push_back(m.value(QLatin1String("params")).toObject());
            return;
        }
        if (hasResult == hasError)
            fail("a response needs exactly one of result and error", bytes);
        if (!m.contains(QLatin1String("id")))
            fail("a response without id", bytes);
        const QJsonValue id = m.value(QLatin1String("id"));
        if (!(id.isString() || id.isDouble() || id.isNull()))
            fail("a response id that is neither string, number nor null", bytes);
        if (m.size() != 3)
            fail("a response with extra members", bytes);
        if (hasResult && !m.value(QLatin1String("result")).isObject())
            fail("a result that is not an object", bytes);
        if (hasError) {
            const QJsonValue e = m.value(QLatin1String("error"));
            if (!e.isObject())
                fail("an error that is not an object", bytes);
            const QJsonObject error = e.toObject();
            const QJsonValue code = error.value(QLatin1String("code"));
            if (!code.isDouble() || code.toDouble() != double(code.toInt()))
                fail("an error code that is not an integer", bytes);
            if (!error.value(QLatin1String("message")).isString())
                fail("an error message that is not a string", bytes);
            if (strict) {
                const int c = code.toInt();
                if (c != -32700 && c != -32600 && c != -32601 && c != -32602 && c != -32603)
                    fail("an error code of the server's own that is not standard", bytes);
                if (error.contains(QLatin1String("data")) || error.size() != 2)
                    fail("a server error with data or extra members", bytes);
            }
        }
        if (ledger)
            ledger->answered(id, bytes);
    }

    Ledger *ledger;
    bool strict;
};

// A server whose every line to the client goes through checker. The program writes a
// passed-through answer in pieces: they are joined here as the line on stdout.
inline std::unique_ptr<mcp::McpServer> makeServer(mcp::ServerOptions options,
                                                  OutputChecker &checker)
{
    auto server = std::make_unique<mcp::McpServer>(
            std::move(options), [&checker](const QByteArray &m) { checker(m); }, nullptr);
    server->setPiecesWriter([&checker](const QByteArray &head,
                                       const char *body,
                                       qsizetype size,
                                       const QByteArray &tail) {
        ++checker.piecesWritten;
        checker(head + QByteArray(body, size) + tail);
    });
    return server;
}

} // namespace ves::fuzz
