// fuzz_app_stream.cpp - fuzzing what Vesk Studio sends: the input is the byte stream that the far
// end of the pipe writes while requests are waiting for it
//
// A QLocalServer in this process plays Vesk Studio. For each input a fresh McpServer connects
// to it, the client initialises and sends three requests that are relayed (application ids 1 to
// 3, one of them inside a batch with a ping), then the far end writes the input and finally
// closes. Whatever the bytes were, every output line is compact JSON-RPC, no request is answered
// twice, and once the far end has gone every request has had exactly one answer.
#include "fuzzcommon.h"

#include <QLocalServer>
#include <QLocalSocket>

#include <memory>

using namespace ves;

namespace {

QLocalServer *app = nullptr;

const QByteArray clientLines[] = {
        R"({"jsonrpc":"2.0","id":0,"method":"initialize","params":{"protocolVersion":"2025-06-18","clientInfo":{"name":"fuzz","version":"1"}}})",
        R"({"jsonrpc":"2.0","method":"notifications/initialized"})",
};

const QByteArray relayedLines[] = {
        R"({"jsonrpc":"2.0","id":"a","method":"tools/call","params":{"name":"render_preview","arguments":{"steps":3},"_meta":{"progressToken":"p1"}}})",
        R"({"jsonrpc":"2.0","id":7,"method":"tools/list"})",
        R"([{"jsonrpc":"2.0","id":"ping","method":"ping"},{"jsonrpc":"2.0","id":9,"method":"tools/call","params":{"name":"add_wall","arguments":{"x1":0,"y1":0,"x2":1000,"y2":0,"thickness":200}}}])",
};

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzz::initApplication();
    app = new QLocalServer;
    const QString name = QStringLiteral("vesk-fuzz-app-%1").arg(QCoreApplication::applicationPid());
    QLocalServer::removeServer(name);
    if (!app->listen(name))
        fuzz::fail("cannot listen on " + name.toStdString());
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz::Ledger ledger;
    fuzz::OutputChecker checker(&ledger, false);

    mcp::ServerOptions options;
    options.pipeName = app->serverName();
    options.connectTimeoutMs = 5000;
    options.pollMs = 0;
    options.callTimeoutMs = 600000; // no time-out may answer in the far end's place
    auto server = fuzz::makeServer(options, checker);

    for (const QByteArray &line : clientLines) {
        ledger.expectLine(line);
        server->handleLine(line);
    }
    if (!fuzz::processUntil([&] { return server->isConnected() && app->hasPendingConnections(); },
                            5000))
        fuzz::fail("no connection to the in-process far end");
    std::unique_ptr<QLocalSocket> far(app->nextPendingConnection());
    far->setParent(nullptr);

    for (const QByteArray &line : relayedLines) {
        ledger.expectLine(line);
        server->handleLine(line);
    }
    if (server->pendingCount() != 3)
        fuzz::fail("expected 3 relayed requests, have " + std::to_string(server->pendingCount()));

    far->write(reinterpret_cast<const char *>(data), qint64(size));
    far->flush();
    if (!fuzz::processUntil([&] { return far->bytesToWrite() == 0; }, 5000))
        fuzz::fail("the far end could not write the input");
    fuzz::drainEvents(4);

    // The far end goes away: whatever is still waiting is answered now.
    far->abort();
    if (!fuzz::processUntil([&] { return server->pendingCount() == 0 && !server->isConnected(); },
                            5000))
        fuzz::fail("requests still pending after the far end closed");
    fuzz::drainEvents(2);
    ledger.checkSettled();

    // The progress notifications that reached the client are exactly those in the complete
    // lines of the input, in order and unchanged: the framing, read here in the plainest way.
    std::vector<QJsonObject> expected;
    const QByteArray stream(reinterpret_cast<const char *>(data), qsizetype(size));
    qsizetype start = 0;
    for (qsizetype lf = stream.indexOf('\n'); lf >= 0;
         start = lf + 1, lf = stream.indexOf('\n', start)) {
        QByteArray line = stream.mid(start, lf - start);
        if (line.endsWith('\r'))
            line.chop(1);
        QJsonParseError error;
        const QJsonDocument d = QJsonDocument::fromJson(line, &error);
        if (error.error != QJsonParseError::NoError || !d.isObject())
            continue;
        const QJsonObject m = d.object();
        if (m.value(QLatin1String("method")) == QJsonValue(QLatin1String("notifications/progress")))
            expected.push_back(m.value(QLatin1String("params")).toObject());
    }
    if (checker.progress != expected)
        fuzz::fail("progress reaching the client: " + std::to_string(checker.progress.size())
                   + " notification(s), the input holds " + std::to_string(expected.size()));

    static const bool verbose = qEnvironmentVariableIsSet("VESK_FUZZ_VERBOSE");
    if (verbose)
        std::fprintf(stdout,
                     "vesk-fuzz: %d lines, %d in pieces, %d notifications\n",
                     checker.lines,
                     checker.piecesWritten,
                     checker.notifications);

    int finished = 0;
    server->finishWhenIdle([&finished] { ++finished; }, 2000);
    if (!fuzz::processUntil([&finished] { return finished > 0; }, 5000))
        fuzz::fail("the session did not end after the end of input");
    server.reset();
    far.reset();
    fuzz::drainEvents(1);
    return 0;
}
