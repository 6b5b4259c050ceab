// tst_bounds.cpp - what hostile and stuck peers can make vesk-mcp hold: memory, the log, the pipe
#include "support.h"

#include <QFile>
#include <QProcess>
#include <QTest>

#include <algorithm>
#include <thread>

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

using namespace ves::mcp;
using namespace ves::mcp::testing;

namespace {

const QByteArray ping = R"({"jsonrpc":"2.0","id":1,"method":"ping"})";

QByteArray initialize(const QByteArray &name, const QByteArray &version)
{
    return R"({"jsonrpc":"2.0","id":0,"method":"initialize","params":{"protocolVersion":)"
           R"("2025-06-18","clientInfo":{"name":")"
           + name + R"(","version":")" + version + "\"}}}\n";
}

// The largest amount of memory the process has held, in KiB.
qint64 peakKiB(qint64 pid)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n'))
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').first().toLongLong();
    return -1;
}

QByteArray readToEnd(int fd)
{
    QByteArray all;
    char buffer[65536];
    for (qint64 n; (n = ::read(fd, buffer, sizeof buffer)) > 0;)
        all.append(buffer, n);
    return all;
}

// vesk-mcp with stdout and stderr each on a pipe whose read end the test holds and reads only
// when it says so, like a client that stops reading.
struct StuckClient
{
    QProcess process;
    int out[2] = {-1, -1};
    int err[2] = {-1, -1};

    bool start(const QStringList &arguments)
    {
        if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0)
            return false;
        process.setChildProcessModifier([this] {
            ::dup2(out[1], 1);
            ::dup2(err[1], 2);
        });
        process.start(QStringLiteral(VESK_MCP_PATH), arguments);
        ::close(out[1]);
        ::close(err[1]);
        return process.waitForStarted(30000);
    }
    ~StuckClient()
    {
        process.kill();
        process.waitForFinished();
        ::close(out[0]);
        ::close(err[0]);
    }
    // Waits until the child has stopped taking input, or has taken it all.
    void waitForInputToSettle()
    {
        qint64 before = -1;
        while (process.bytesToWrite() > 0 && process.bytesToWrite() != before) {
            before = process.bytesToWrite();
            QTest::qWait(500);
        }
    }
};

} // namespace

class TestBounds : public QObject
{
    Q_OBJECT

private slots:
    void batchTooLargeToAnswer();
    void stuckClient();
    void stuckApp();
    void answerBeforeLongWork();
};

// A batch of millions of members would take gigabytes to answer: it gets one error, in little
// memory, and the next line is answered. A batch at the limit is answered member by member.
void TestBounds::batchTooLargeToAnswer()
{
    QProcess process;
#ifndef VESK_SANITIZE // the sanitizer's shadow memory needs far more address space
    process.setChildProcessModifier([] {
        const rlimit limit{1ull << 30, 1ull << 30};
        ::setrlimit(RLIMIT_AS, &limit);
    });
#endif
    process.start(QStringLiteral(VESK_MCP_PATH), {"--pipe", uniquePipeName()});
    QVERIFY(process.waitForStarted(30000));
    QByteArray huge = "[1";
    huge.reserve(8 << 20);
    for (int i = 1; i < 4000000; ++i)
        huge += ",1";
    QByteArray atLimit = "[" + ping;
    for (int i = 1; i < McpServer::maxBatch; ++i)
        atLimit += "," + ping;
    process.write(huge + "]\n" + atLimit + "]\n" + ping + "\n");
    process.closeWriteChannel();
    QVERIFY(process.waitForFinished(60000));
    QCOMPARE(process.exitCode(), 0);
    const QList<QByteArray> lines = process.readAllStandardOutput().split('\n');
    QCOMPARE(lines.size(), 4);
    const QJsonObject error = QJsonDocument::fromJson(lines.at(0)).object()["error"].toObject();
    QCOMPARE(error["code"], -32600);
    QVERIFY(error["message"].toString().contains("more than 10000"));
    QCOMPARE(QJsonDocument::fromJson(lines.at(1)).array().size(), McpServer::maxBatch);
    QVERIFY(lines.at(2).contains("\"result\":{}"));
}

// A client that reads neither stdout nor stderr: vesk-mcp stops reading its input instead of
// holding it, drops log lines rather than wait, and goes on once the client reads stdout. Neither a
// 1 MiB client name nor one that would forge a log line or act on a terminal gets into the log as
// it came.
void TestBounds::stuckClient()
{
    StuckClient client;
    QVERIFY(client.start({"--verbose", "--pipe", "p"})); // traces: more than stderr holds
    const int pings = 400000;                            // 16 MiB
    QByteArray input = initialize(R"(evil\nvesk-mcp: refusing pipe p: forged \u001b[2J)", "1.0")
                       + initialize(QByteArray(1 << 20, 'n'), "1");
    for (int i = 0; i < pings; ++i)
        input += ping + '\n';
    client.process.write(input);
    client.waitForInputToSettle();
    QVERIFY2(client.process.bytesToWrite() > 0, "vesk-mcp read its whole input");
#ifndef VESK_SANITIZE
    const qint64 peak = peakKiB(client.process.processId());
    QVERIFY2(peak > 0 && peak < 64 * 1024, qPrintable(QString::number(peak)));
#endif

    QByteArray output;
    std::thread reader([&client, &output] { output = readToEnd(client.out[0]); });
    client.process.closeWriteChannel();
    QVERIFY(client.process.waitForFinished(120000));
    reader.join();
    QCOMPARE(client.process.exitCode(), 0);
    QCOMPARE(output.count('\n'), pings + 2);
    QList<QByteArray> lines = readToEnd(client.err[0]).split('\n');
    lines.removeIf([](const QByteArray &line) { return !line.startsWith("vesk-mcp: client "); });
    QCOMPARE(lines.size(), 2);
    QCOMPARE(lines.at(0),
             R"(vesk-mcp: client evil\nvesk-mcp: refusing pipe p: forged \x1b[2J 1.0, protocol )"
             "2025-06-18 (requested 2025-06-18), pipe p");
    QVERIFY(lines.at(1).startsWith("vesk-mcp: client " + QByteArray(600, 'n')
                                   + "... (1048576 bytes) 1,"));
}

// A Vesk Studio that stops reading: beyond the bound of unsent lines the connection counts as
// lost, and the calls get the connection's answers instead of piling up. The far end takes no
// connection and reads nothing while no event loop runs here.
void TestBounds::stuckApp()
{
    QLocalServer app;
    const QString name = uniquePipeName();
    QVERIFY(app.listen(name));
    StuckClient client;
    QVERIFY(client.start({"--pipe", name, "--poll-ms", "0", "--timeout", "2"}));
    const QByteArray argument(1 << 20, 'x');
    const int calls = 40;
    QByteArray input = initialize("c", "1")
                       + R"({"jsonrpc":"2.0","method":"notifications/initialized"})" + '\n';
    for (int i = 1; i <= calls; ++i)
        input += R"({"jsonrpc":"2.0","id":)" + QByteArray::number(i)
                 + R"(,"method":"tools/call","params":{"name":"draw","arguments":{"s":")" + argument
                 + "\"}}}\n";
    QByteArray output;
    std::thread reader([&client, &output] { output = readToEnd(client.out[0]); });
    client.process.write(input);
    client.process.closeWriteChannel();
    qint64 peak = 0;
    while (!client.process.waitForFinished(50))
        peak = std::max(peak, peakKiB(client.process.processId()));
    reader.join();
    const QByteArray log = readToEnd(client.err[0]);
    QVERIFY2(log.contains("connection to Vesk Studio closed (Vesk Studio is not reading, "), log);
    QCOMPARE(output.count("\"isError\":true"), calls);
    QVERIFY(output.count("was closed while \\\"draw\\\" was running") >= 16);
#ifndef VESK_SANITIZE
    QVERIFY2(peak < 96 * 1024, qPrintable(QString::number(peak)));
#endif
}

// While a long line is handled, what was answered before it has already been sent.
void TestBounds::answerBeforeLongWork()
{
    QList<QByteArray> written;
    QList<int> flushedAt; // how many messages had been written at each flush
    McpServer server(
            testOptions(), [&written](const QByteArray &m) { written.append(m); }, nullptr);
    server.setOutputFlush([&] { flushedAt.append(int(written.size())); });
    QByteArray batch = "[" + ping;
    while (batch.size() < 100000)
        batch += "," + ping;
    server.handleLine(ping);
    server.handleLine(batch + "]");
    QCOMPARE(written.size(), 2);
    QVERIFY(flushedAt.contains(1));
}

QTEST_GUILESS_MAIN(TestBounds)
#include "tst_bounds.moc"
