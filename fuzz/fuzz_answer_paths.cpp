// fuzz_answer_paths.cpp - one answer from Vesk Studio, two ways to the client: the input is the
// result of a tools/call as the far end writes it
//
// The client calls the same tool twice, once on a line of its own (whose answer may pass through
// unparsed) and once inside a batch (whose answer is always parsed). The far end answers both
// with the input as the result, in Qt's member order or the SDKs' (the first byte chooses), then
// closes. Whatever the bytes, the session keeps its rules; when they are one JSON value (and so
// cannot change the rest of the answer around them), both calls must get the same response: the
// same result, byte for byte, or the same error.
#include "fuzzcommon.h"

#include <QLocalServer>
#include <QLocalSocket>

using namespace ves;

namespace {

QLocalServer *app = nullptr;

const QByteArray calls[] = {
        R"({"jsonrpc":"2.0","id":"a","method":"tools/call","params":{"name":"t"}})",
        R"([{"jsonrpc":"2.0","id":"p","method":"ping"},{"jsonrpc":"2.0","id":"b","method":"tools/call","params":{"name":"t"}}])",
};

// The response to the call on its own line, with its id made the batch member's, and the batch
// member's response. The ping's is first in the batch: it was answered at once.
std::pair<QByteArray, QByteArray> responses(const std::vector<QByteArray> &written)
{
    const QByteArray batchHead = R"([{"id":"p","jsonrpc":"2.0","result":{}},)";
    QByteArray alone, inBatch;
    for (const QByteArray &line : written) {
        if (line.startsWith(batchHead) && line.endsWith(']'))
            inBatch = line.mid(batchHead.size()).chopped(1);
        else if (line.startsWith('{') && !line.startsWith("{\"jsonrpc\"")) // not a notification
            alone = line.contains(R"("id":"a")") ? line : alone;
    }
    fuzz::check(!alone.isEmpty() && !inBatch.isEmpty(), "a response is missing");
    const qsizetype id = alone.indexOf(R"("id":"a")"); // the first: the response's own
    return {alone.replace(id, 8, R"("id":"b")"), inBatch};
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    app = fuzz::initWithFarEnd("vesk-fuzz-paths");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    QByteArray result(reinterpret_cast<const char *>(data) + 1, qsizetype(size) - 1);
    if (result.contains('\n'))
        result.truncate(result.indexOf('\n')); // one line
    const bool sdkOrder = data[0] & 1;

    fuzz::Session session(app->serverName(), 5000, 600000, false);
    mcp::McpServer *server = session.server.get();
    for (const QByteArray &line : fuzz::handshake)
        session.send(line);
    fuzz::processUntil([&] { return server->isConnected() && app->hasPendingConnections(); },
                       5000,
                       "no connection to the in-process far end");
    std::unique_ptr<QLocalSocket> far(app->nextPendingConnection());
    far->setParent(nullptr);
    session.send(calls[0]);
    session.send(calls[1]);
    fuzz::check(server->pendingCount() == 2, "not 2 relayed calls");

    for (const char *id : {"1", "2"}) {
        far->write(sdkOrder ? "{\"result\": " + result + ", \"jsonrpc\": \"2.0\", \"id\": " + id
                                      + "}\n"
                            : "{\"id\":" + QByteArray(id) + ",\"result\":" + result + "}\n");
    }
    far->flush();
    fuzz::processUntil([&] { return far->bytesToWrite() == 0; }, 5000, "the far end cannot write");
    fuzz::drainEvents(4);
    far->abort(); // what it did not answer is answered now, the same way for both
    fuzz::processUntil([&] { return server->pendingCount() == 0 && !server->isConnected(); },
                       5000,
                       "calls still pending after the far end closed");
    fuzz::drainEvents(2);

    const QJsonDocument value = QJsonDocument::fromJson(mcp::keepOpeningMarks('[' + result + ']'));
    if (value.isArray() && value.array().size() == 1) {
        const auto [alone, inBatch] = responses(session.written);
        if (alone != inBatch)
            fuzz::fail("the batch member's response differs: " + inBatch.toStdString(), alone);
    }
    session.finish();
    return 0;
}
