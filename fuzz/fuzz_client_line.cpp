// fuzz_client_line.cpp - fuzzing what the client sends: the input is standard input, cut into
// lines as the reader thread cuts it, each line handed to McpServer::handleLine
//
// Vesk Studio is absent (a pipe name nobody serves), so every request is answered by the server
// itself: each one exactly once, every output line compact JSON, and only the five standard
// error codes. The end of input is then signalled and must end the session.
#include "fuzzcommon.h"

#include "io/linecutter.h"

#include <QLocalServer>

#include <memory>

using namespace ves;

namespace {

// A short limit, so that inputs of a few KiB reach the too-large path as well.
constexpr qint64 maxLine = 1024;

QString absentPipe()
{
    static const QString name
            = QStringLiteral("vesk-fuzz-absent-%1").arg(QCoreApplication::applicationPid());
    return name;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzz::initApplication();
    QLocalServer::removeServer(absentPipe());
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz::Ledger ledger;
    fuzz::OutputChecker checker(&ledger, true);

    mcp::ServerOptions options;
    options.pipeName = absentPipe();
    options.connectTimeoutMs = 50;
    options.pollMs = 0;
    options.callTimeoutMs = 1000;
    auto server = fuzz::makeServer(options, checker);

    // The reader's work: lines, too-long rejections, then the rest at the end of input.
    mcp::LineCutter lines(maxLine);
    const bool tooLong = lines.feed(
            reinterpret_cast<const char *>(data), qint64(size), [&](const QByteArray &line) {
                const QByteArray copy(line.constData(), line.size());
                ledger.expectLine(copy);
                server->handleLine(copy);
                return true;
            });
    if (tooLong) {
        ledger.expect(QStringLiteral("null"));
        server->rejectTooLarge();
    }
    const QByteArray rest = lines.takeRest();
    if (!rest.trimmed().isEmpty()) {
        ledger.expectLine(rest);
        server->handleLine(rest);
    }

    int finished = 0;
    server->finishWhenIdle([&finished] { ++finished; }, 2000);
    if (!fuzz::processUntil([&finished] { return finished > 0; }, 5000))
        fuzz::fail("the session did not end after the end of input");
    fuzz::drainEvents(1);
    if (finished != 1)
        fuzz::fail("the finish callback ran " + std::to_string(finished) + " times");
    if (server->pendingCount() != 0)
        fuzz::fail("requests still pending without Vesk Studio");
    ledger.checkSettled();
    server.reset();
    fuzz::drainEvents(1);
    return 0;
}
