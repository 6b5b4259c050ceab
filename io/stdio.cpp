// stdio.cpp - reading stdin on a thread of its own, writing stdout and the diagnostic log
#include "io/stdio.h"

#include "io/linecutter.h"
#include "io/nativeio.h"
#include "mcp/mcpserver.h"

#include <QCoreApplication>
#include <QJsonDocument>
#include <QMetaObject>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace ves::mcp {

namespace {

constexpr qint64 maxLine = 0x10000000; // 256 MiB, line end not counted
constexpr int graceMs = 3000;
// Lines read and handed over but not yet handled: beyond this the reader stops reading until
// the main thread catches up. A client that does not read its answers blocks the main thread
// in a write to stdout, and its further requests must then wait in the pipe, not in memory.
constexpr qint64 maxBacklog = 4 << 20;

// The bytes of the lines on their way to the main thread, shared by the reader and the calls
// it posts.
class Backlog
{
public:
    void add(qint64 bytes)
    {
        const std::lock_guard<std::mutex> lock(mutex);
        held += bytes;
    }
    void remove(qint64 bytes)
    {
        {
            const std::lock_guard<std::mutex> lock(mutex);
            held -= bytes;
        }
        drained.notify_one();
    }
    void waitForRoom()
    {
        std::unique_lock<std::mutex> lock(mutex);
        drained.wait(lock, [this] { return held <= maxBacklog; });
    }

private:
    std::mutex mutex;
    std::condition_variable drained;
    qint64 held = 0;
};

// Queues call for the main thread; it runs only if the server still exists then.
void postToServer(const QPointer<McpServer> &server, std::function<void(McpServer *)> call)
{
    QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [server, call = std::move(call)] {
                if (server)
                    call(server.data());
            },
            Qt::QueuedConnection);
}

void readStdin(QPointer<McpServer> server)
{
    LineCutter lines(maxLine);
    QByteArray chunk(65536, Qt::Uninitialized);
    const auto backlog = std::make_shared<Backlog>();
    for (;;) {
        backlog->waitForRoom();
        const long long n = native::readStdin(chunk.data(), size_t(chunk.size()));
        if (n < 1)
            break;
        // The lines of one read travel in one posted call, in order, followed by the rejection
        // when the read brought one: a single wake-up of the main thread per read rather than
        // per line, with the same order of calls on the server.
        std::vector<QByteArray> readLines;
        const bool tooLong = lines.feed(chunk.constData(), n, [&readLines](const QByteArray &line) {
            // The line points into the cutter's buffer: the posted call needs its own copy.
            readLines.emplace_back(line.constData(), line.size());
            return true;
        });
        if (readLines.empty() && !tooLong)
            continue;
        qint64 bytes = 0;
        for (const QByteArray &line : readLines)
            bytes += line.size();
        backlog->add(bytes);
        // The answers leave when the lines of the read are handled, rather than at the end of
        // the event loop's turn, which may hold the lines of many reads.
        postToServer(server,
                     [readLines = std::move(readLines), tooLong, bytes, backlog](McpServer *s) {
                         for (const QByteArray &line : readLines)
                             s->handleLine(line);
                         if (tooLong)
                             s->rejectTooLarge();
                         s->flushOutput();
                         backlog->remove(bytes);
                     });
    }
    const QByteArray rest = lines.takeRest();
    if (!rest.trimmed().isEmpty())
        postToServer(server, [rest](McpServer *s) { s->handleLine(rest); });
    postToServer(server, [](McpServer *s) {
        s->finishWhenIdle([] { QCoreApplication::exit(0); }, graceMs);
    });
}

} // namespace

void startStdinReader(QPointer<McpServer> server)
{
    std::thread(readStdin, std::move(server)).detach();
}

namespace {
std::atomic_bool stdoutFailed{false};
} // namespace

bool stdoutBroken()
{
    return stdoutFailed;
}

namespace {

bool put(const char *data, qsizetype size)
{
    return std::fwrite(data, 1, size_t(size), stdout) == size_t(size);
}

void reportStdoutFailure()
{
    stdoutFailed = true;
    static const char failure[] = "vesk-mcp: cannot write to stdout, exiting\n";
    std::fwrite(failure, 1, sizeof failure - 1, stderr);
    std::fflush(stderr);
    QMetaObject::invokeMethod(
            QCoreApplication::instance(), [] { QCoreApplication::exit(1); }, Qt::QueuedConnection);
}

} // namespace

// Messages go into stdio's buffer; flushStdout sends them when the event loop has done what
// was ready, so the responses of one turn leave together in one write.
void writeStdout(const QByteArray &message)
{
    // Two writes into stdio's buffer rather than a copy of a message that may be many MiB.
    if (!put(message.constData(), message.size()) || std::fputc('\n', stdout) == EOF)
        reportStdoutFailure();
}

void writeStdoutPieces(const QByteArray &head,
                       const char *body,
                       qsizetype size,
                       const QByteArray &tail)
{
    if (!put(head.constData(), head.size()) || !put(body, size)
        || !put(tail.constData(), tail.size()) || std::fputc('\n', stdout) == EOF)
        reportStdoutFailure();
}

void flushStdout()
{
    if (std::fflush(stdout) != 0)
        reportStdoutFailure();
}

void printText(const QString &text, std::FILE *stream)
{
    if (native::writeConsole(
                stream, reinterpret_cast<const char16_t *>(text.utf16()), size_t(text.size())))
        return;
    const QByteArray bytes = text.toUtf8();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream);
    std::fflush(stream);
}

namespace {
constexpr qsizetype logLimit = 600;    // bytes of a message shown in the log
constexpr qsizetype maxLogLine = 4096; // bytes of a log line, its line feed included
} // namespace

QByteArray abbreviate(const QByteArray &bytes)
{
    if (bytes.size() <= logLimit)
        return bytes;
    return bytes.left(logLimit) + "... (" + QByteArray::number(bytes.size()) + " bytes)";
}

void McpServer::sendToClient(const QJsonObject &message)
{
    writeToClient(QJsonDocument(message).toJson(QJsonDocument::Compact));
}

void McpServer::writeToClient(const QByteArray &bytes)
{
    if (verbose)
        log(QStringLiteral("-> ") + QString::fromUtf8(abbreviate(bytes)));
    out(bytes);
}

void McpServer::writeToClient(const QByteArray &head,
                              const char *body,
                              qsizetype size,
                              const QByteArray &tail)
{
    const qsizetype total = head.size() + size + tail.size();
    if (verbose) {
        // What abbreviate() makes of the whole message, from its first bytes only.
        QByteArray shown = head;
        shown.append(body, std::min(size, logLimit)).append(tail);
        if (total > logLimit) {
            shown.truncate(logLimit);
            shown += "... (" + QByteArray::number(total) + " bytes)";
        }
        log(QStringLiteral("-> ") + QString::fromUtf8(shown));
    }
    if (outPieces) {
        outPieces(head, body, size, tail);
        return;
    }
    QByteArray message;
    message.reserve(total);
    message.append(head).append(body, size).append(tail);
    out(message);
}

QString shortened(const QString &field)
{
    return field.size() <= logLimit / 3 ? field : QString::fromUtf8(abbreviate(field.toUtf8()));
}

namespace {

// A log line's control characters, shown as escapes: a peer's text with a line feed or a
// terminal's escape sequence in it must neither start a line of its own in the log nor act on
// the terminal showing it.
QString escapeControls(const QString &text)
{
    const auto isControl = [](QChar c) {
        return c.unicode() < 0x20 || (c.unicode() >= 0x7f && c.unicode() <= 0x9f);
    };
    if (std::none_of(text.begin(), text.end(), isControl))
        return text;
    QString escaped;
    escaped.reserve(text.size() + 16);
    for (const QChar c : text) {
        if (!isControl(c))
            escaped += c;
        else if (c == QLatin1Char('\n'))
            escaped += QLatin1String("\\n");
        else if (c == QLatin1Char('\r'))
            escaped += QLatin1String("\\r");
        else if (c == QLatin1Char('\t'))
            escaped += QLatin1String("\\t");
        else
            escaped += QStringLiteral("\\x%1").arg(c.unicode(), 2, 16, QLatin1Char('0'));
    }
    return escaped;
}

} // namespace

void McpServer::log(const QString &text)
{
    if (!native::errorStreamReady())
        return; // dropped rather than wait for a reader that may never come
    static const QByteArray prefix = "vesk-mcp: ";
    QByteArray line = prefix + escapeControls(text).toUtf8();
    // At most one pipe buffer's worth, the room errorStreamReady() vouches for.
    if (line.size() >= maxLogLine) {
        const QByteArray tail
                = "... (" + QByteArray::number(line.size() - prefix.size()) + " bytes)";
        qsizetype cut = maxLogLine - 1 - tail.size();
        while ((line.at(cut) & 0xc0) == 0x80) // not inside a character
            --cut;
        line.truncate(cut);
        line += tail;
    }
    line += '\n';
    std::fwrite(line.constData(), 1, size_t(line.size()), stderr);
    std::fflush(stderr);
}

void McpServer::trace(const QString &text) const
{
    if (verbose)
        log(text);
}

} // namespace ves::mcp
