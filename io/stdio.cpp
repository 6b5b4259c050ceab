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
#include <chrono>
#include <condition_variable>
#include <deque>
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
// What a waiting line costs beside its bytes: its QByteArray in the posted call and the heap
// block behind it. Counted, so that a flood of tiny lines is held to the same memory as a few
// long ones.
constexpr qint64 lineOverhead = 64;

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
        lines.releaseLargeBuffer(); // large requests are rare: their room goes back at once
        if (readLines.empty() && !tooLong)
            continue;
        qint64 bytes = 0;
        for (const QByteArray &line : readLines)
            bytes += line.size() + lineOverhead;
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
                         // What handling a message of many MiB took goes back to the system.
                         if (bytes > (4 << 20))
                             native::releaseFreedMemory();
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
QPointer<McpServer> stopTarget; // read on the main thread only
} // namespace

void startStopWatcher(QPointer<McpServer> server)
{
    stopTarget = std::move(server);
    native::watchStopRequests([](const char *what) {
        const QString name = QString::fromLatin1(what);
        QMetaObject::invokeMethod(
                QCoreApplication::instance(),
                [name] {
                    if (stopTarget)
                        stopTarget->stop(name, [] { QCoreApplication::exit(0); });
                },
                Qt::QueuedConnection);
        // A main thread stuck in a write to a client that reads no more never takes the call:
        // the request still ends the process, after the same grace as the end of input.
        std::this_thread::sleep_for(std::chrono::milliseconds(graceMs));
        native::exitNow(stdoutBroken() ? 1 : 0);
    });
}

namespace {
std::atomic_bool stdoutFailed{false};
} // namespace

bool stdoutBroken()
{
    return stdoutFailed;
}

namespace {

// A large message leaves in writes of 256 KiB: the client's reader is woken at the end of each
// and reads while the next is written. One write of many MiB fills the pipe before the reader is
// woken and waits until it has emptied it, so the two take turns instead.
bool put(const char *data, qsizetype size)
{
    constexpr qsizetype step = 256 << 10;
    for (; size > step; data += step, size -= step) {
        if (std::fwrite(data, 1, size_t(step), stdout) != size_t(step))
            return false;
    }
    return std::fwrite(data, 1, size_t(size), stdout) == size_t(size);
}

void reportStdoutFailure()
{
    stdoutFailed = true;
    McpServer::log(QStringLiteral("cannot write to stdout, exiting"));
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
constexpr qsizetype logLimit = 600;      // bytes of a message shown in the log
constexpr qsizetype maxLogLine = 4096;   // bytes of a log line, its line feed included
constexpr qint64 maxQueuedLog = 1 << 20; // bytes of log lines waiting for stderr
constexpr int logStallMs = 500; // at the end, how long stderr may take nothing before we go
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

namespace {

// The log leaves through a thread of its own, so that no write to stderr can stop the program: a
// client may pipe stderr and never read it, and a full pipe cannot be seen in advance on every
// system. Lines wait in a queue of at most maxQueuedLog bytes; beyond it they are dropped and
// counted, and the count is logged once there is room again.
class LogWriter
{
public:
    void post(QByteArray line)
    {
        {
            const std::lock_guard<std::mutex> lock(mutex);
            if (queuedBytes + line.size() > maxQueuedLog) {
                ++dropped;
                return;
            }
            if (dropped > 0) {
                push("vesk-mcp: " + QByteArray::number(dropped) + " log line(s) dropped\n");
                dropped = 0;
            }
            push(std::move(line));
            if (!started) {
                started = true;
                std::thread([this] { run(); }).detach();
            }
        }
        wake.notify_one();
    }

    // Waits until the queue is written, or until stderr has taken nothing for stallMs.
    void drain(int stallMs)
    {
        std::unique_lock<std::mutex> lock(mutex);
        quint64 seen = written;
        while (!lines.empty() || busy) {
            if (!progress.wait_for(lock, std::chrono::milliseconds(stallMs), [&] {
                    return written != seen || (lines.empty() && !busy);
                }))
                return; // stuck: nobody reads stderr
            seen = written;
        }
    }

private:
    void push(QByteArray line)
    {
        queuedBytes += line.size();
        lines.push_back(std::move(line));
    }
    void run()
    {
        std::unique_lock<std::mutex> lock(mutex);
        for (;;) {
            wake.wait(lock, [this] { return !lines.empty(); });
            const QByteArray line = std::move(lines.front());
            lines.pop_front();
            busy = true;
            lock.unlock();
            std::fwrite(line.constData(), 1, size_t(line.size()), stderr);
            std::fflush(stderr);
            lock.lock();
            busy = false;
            queuedBytes -= line.size();
            ++written;
            progress.notify_all();
        }
    }

    std::mutex mutex;
    std::condition_variable wake, progress;
    std::deque<QByteArray> lines;
    qint64 queuedBytes = 0; // the queue's and the line being written
    quint64 dropped = 0;
    quint64 written = 0;
    bool busy = false;
    bool started = false;
};

LogWriter &logWriter()
{
    static LogWriter *writer = new LogWriter; // never destroyed: its thread may be in a write
    return *writer;
}

} // namespace

void flushLog()
{
    logWriter().drain(logStallMs);
}

void McpServer::log(const QString &text)
{
    static const QByteArray prefix = "vesk-mcp: ";
    QByteArray line = prefix + escapeControls(text).toUtf8();
    // A bounded line: one peer's text cannot fill the log's queue on its own.
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
    logWriter().post(std::move(line));
}

void McpServer::trace(const QString &text) const
{
    if (verbose)
        log(text);
}

} // namespace ves::mcp
