// fuzz_client_line.cpp - fuzzing what the client sends: the input is standard input, cut into
// lines as the reader thread cuts it, each line handed to McpServer::handleLine
//
// Vesk Studio is absent (a pipe name nobody serves), so every request is answered by the server
// itself: each one exactly once, every output line compact JSON, and only the five standard
// error codes. The end of input is then signalled and must end the session.
#include "fuzzcommon.h"

#include "io/linecutter.h"

#include <QLocalServer>

using namespace ves;

namespace {
QString absentPipe;
}

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzz::initApplication();
    absentPipe = QStringLiteral("vesk-fuzz-absent-%1").arg(QCoreApplication::applicationPid());
    QLocalServer::removeServer(absentPipe);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz::Ledger ledger;
    fuzz::OutputChecker checker(&ledger, true);
    auto server = fuzz::makeServer(absentPipe, 50, 1000, checker);

    // The reader's work: lines, too-long rejections, then the rest at the end of input. A short
    // limit, so that inputs of a few KiB reach the too-large path as well.
    mcp::LineCutter lines(1024);
    auto handle = [&](const QByteArray &line) {
        ledger.expectLine(line);
        server->handleLine(line);
        return true;
    };
    const auto *bytes = reinterpret_cast<const char *>(data);
    // A line is valid only during the call: each is copied.
    if (lines.feed(bytes, qint64(size), [&](const QByteArray &l) {
            return handle(QByteArray(l.constData(), l.size()));
        })) {
        ledger.expect(QStringLiteral("null"));
        server->rejectTooLarge();
    }
    const QByteArray rest = lines.takeRest();
    if (!rest.trimmed().isEmpty())
        handle(rest);

    fuzz::finishSession(*server);
    fuzz::check(server->pendingCount() == 0, "requests still pending without Vesk Studio");
    ledger.checkSettled();
    server.reset();
    fuzz::drainEvents(1);
    return 0;
}
