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

using namespace ves;

namespace {

QLocalServer *app = nullptr;

const QByteArray relayedLines[] = {
        R"({"jsonrpc":"2.0","id":"a","method":"tools/call","params":{"name":"render_preview","arguments":{"steps":3},"_meta":{"progressToken":"p1"}}})",
        R"({"jsonrpc":"2.0","id":7,"method":"tools/list"})",
        R"([{"jsonrpc":"2.0","id":"ping","method":"ping"},{"jsonrpc":"2.0","id":9,"method":"tools/call","params":{"name":"add_wall","arguments":{"x1":0,"y1":0,"x2":1000,"y2":0,"thickness":200}}}])",
};

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    app = fuzz::initWithFarEnd("vesk-fuzz-app");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // A long call time-out: no time-out may answer in the far end's place.
    fuzz::Session session(app->serverName(), 5000, 600000, false);
    mcp::McpServer *server = session.server.get();
    for (const QByteArray &line : fuzz::handshake)
        session.send(line);
    fuzz::processUntil([&] { return server->isConnected() && app->hasPendingConnections(); },
                       5000,
                       "no connection to the in-process far end");
    std::unique_ptr<QLocalSocket> far(app->nextPendingConnection());
    far->setParent(nullptr);
    for (const QByteArray &line : relayedLines)
        session.send(line);
    fuzz::check(server->pendingCount() == 3, "not 3 relayed requests");

    const QByteArray stream(reinterpret_cast<const char *>(data), qsizetype(size));
    far->write(stream);
    far->flush();
    fuzz::processUntil([&] { return far->bytesToWrite() == 0; }, 5000, "the far end cannot write");
    fuzz::drainEvents(4);

    // The far end goes away: whatever is still waiting is answered now.
    far->abort();
    fuzz::processUntil([&] { return server->pendingCount() == 0 && !server->isConnected(); },
                       5000,
                       "requests still pending after the far end closed");
    fuzz::drainEvents(2);
    session.checkSettled();

    // The progress notifications that reached the client are exactly those in the complete
    // lines of the input, in order and unchanged: the framing, read here in the plainest way.
    std::vector<QJsonObject> expected;
    QList<QByteArray> lines = stream.split('\n');
    lines.removeLast(); // not ended by a line feed
    for (QByteArray &line : lines) {
        if (line.endsWith('\r'))
            line.chop(1);
        const QJsonObject m = QJsonDocument::fromJson(line).object();
        if (m.value(u"method").toString() == QLatin1String("notifications/progress"))
            expected.push_back(m.value(u"params").toObject());
    }
    if (session.progress != expected)
        fuzz::fail("progress reaching the client: " + std::to_string(session.progress.size())
                   + " notification(s), the input holds " + std::to_string(expected.size()));

    session.finish();
    return 0;
}
