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
    fuzz::Session session(absentPipe, 50, 1000, true);
    // The reader's work: lines (each valid only during the call, so copied), too-long rejections,
    // then the rest at the end of input. A short limit, so that inputs of a few KiB reach the
    // too-large path as well.
    mcp::LineCutter lines(1024);
    if (lines.feed(reinterpret_cast<const char *>(data), qint64(size), [&](const QByteArray &line) {
            session.send(QByteArray(line.constData(), line.size()));
            return true;
        })) {
        session.expect(QStringLiteral("null"));
        session.server->rejectTooLarge();
    }
    const QByteArray rest = lines.takeRest();
    if (!rest.trimmed().isEmpty())
        session.send(rest);
    session.finish();
    return 0;
}
