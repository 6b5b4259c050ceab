// tst_program.cpp - the built vesk-mcp end to end, with vesk-studio-sim as Vesk Studio where a
// case needs it: every text a user or client sees, byte for byte (the one place that spells them
// out), a whole session, the end of input, and clients that stop reading
#include "support.h"

#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <atomic>
#include <thread>

#include <csignal>

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

using namespace ves::mcp;
using namespace ves::mcp::testing;

namespace {

// A child whose output is collected as it comes; prints its stderr when the test failed.
struct Child
{
    QProcess process;
    QByteArray out, err;
    QList<QJsonObject> messages; // stdout, one parsed line each

    Child()
    {
        QObject::connect(&process, &QProcess::readyReadStandardOutput, &process, [this] {
            out += process.readAllStandardOutput();
            messages.clear();
            for (const QByteArray &line : out.split('\n'))
                if (!line.isEmpty())
                    messages.append(QJsonDocument::fromJson(line).object());
        });
        QObject::connect(&process, &QProcess::readyReadStandardError, &process, [this] {
            err += process.readAllStandardError();
        });
    }
    ~Child()
    {
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished(5000);
        }
        if (QTest::currentTestFailed())
            std::printf(
                    "--- stderr of %s ---\n%s\n", qPrintable(process.program()), err.constData());
    }
    bool start(const QString &program, const QStringList &arguments, const QStringList &env = {})
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        for (const char *name :
             {"USER", "LOGNAME", "VESK_MCP_PIPE", "VESK_MCP_TIMEOUT", "VESK_MCP_VERBOSE"})
            environment.remove(QLatin1String(name));
        environment.insert(QStringLiteral("USERNAME"), QStringLiteral("cli_user"));
        for (const QString &v : env)
            environment.insert(v.section(QLatin1Char('='), 0, 0), v.section(QLatin1Char('='), 1));
        process.setProcessEnvironment(environment);
        process.start(program, arguments);
        return process.waitForStarted(30000);
    }
    bool startSim(const QString &pipe, const QStringList &arguments)
    {
        return start(QStringLiteral(VESK_SIM_PATH), QStringList{"--pipe", pipe} + arguments)
               && waitFor([this] { return err.contains("sim: listening on "); }, 10000);
    }
    void send(const QByteArray &line) { process.write(line + '\n'); }
    QJsonValue withId(const QJsonValue &id) const
    {
        for (const QJsonObject &m : messages)
            if (m.value(QLatin1String("id")) == id)
                return m;
        return QJsonValue::Undefined;
    }
    bool waitId(const QJsonValue &id, int ms = 15000)
    {
        return waitFor([&] { return withId(id).isObject(); }, ms);
    }
    bool finish(int ms = 30000)
    {
        return waitFor([&] { return process.state() == QProcess::NotRunning; }, ms)
               && process.exitStatus() == QProcess::NormalExit;
    }
};

const QString mcpPath = QStringLiteral(VESK_MCP_PATH);

QByteArray callLine(const QByteArray &id, const char *tool, const QByteArray &arguments = "{}")
{
    return R"({"jsonrpc":"2.0","id":)" + id + R"(,"method":"tools/call","params":{"name":")" + tool
           + R"(","arguments":)" + arguments + "}}";
}

// Starts vesk-mcp with each of fds (1 for stdout, 2 for stderr) on a pipe that the test reads
// only when it says so: readEnds gets the read ends, in the same order, or they are closed and
// nobody will ever read the pipes. fillLast fills the last pipe before the start.
bool startOnPipes(Child &child,
                  const QList<int> &fds,
                  const QStringList &arguments,
                  QList<int> *readEnds = nullptr,
                  bool fillLast = false)
{
    QList<int> writeEnds;
    for (int i = 0; i < fds.size(); ++i) {
        int ends[2];
        if (::pipe2(ends, O_CLOEXEC) != 0)
            return false;
        if (fillLast && i == fds.size() - 1) {
            ::fcntl(ends[1], F_SETFL, O_NONBLOCK);
            while (::write(ends[1], "filler\n", 7) == 7) {
            }
            ::fcntl(ends[1], F_SETFL, 0);
        }
        writeEnds.append(ends[1]);
        if (readEnds)
            readEnds->append(ends[0]);
        else
            ::close(ends[0]);
    }
    child.process.setChildProcessModifier([fds, writeEnds] {
        for (qsizetype i = 0; i < fds.size(); ++i)
            ::dup2(writeEnds.at(i), fds.at(i));
    });
    const bool started = child.start(mcpPath, arguments);
    for (int end : writeEnds)
        ::close(end);
    return started;
}

QByteArray readToEnd(int fd)
{
    QByteArray all;
    char buffer[65536];
    for (qint64 n; (n = ::read(fd, buffer, sizeof buffer)) > 0;)
        all.append(buffer, n);
    ::close(fd);
    return all;
}

// The largest amount of memory the process has held (or, with VmRSS:, holds now), in KiB.
qint64 peakKiB(qint64 pid, const QByteArray &field = "VmHWM:")
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n'))
        if (line.startsWith(field))
            return line.mid(field.size()).trimmed().split(' ').first().toLongLong();
    return -1;
}

// Reads a child's stdout on a thread of its own, keeping only how much came and whether the
// marker came by.
struct Drain
{
    std::atomic<qint64> bytes{0};
    std::atomic<bool> seen{false};
    std::thread thread;
    // Declared before the child, so that the child is gone (and the pipe closed) first.
    Drain() = default;
    void start(int fd, const QByteArray &marker)
    {
        thread = std::thread([this, fd, marker] {
            QByteArray tail;
            char buffer[65536];
            for (qint64 n; (n = ::read(fd, buffer, sizeof buffer)) > 0; bytes += n) {
                tail = tail.right(marker.size()) + QByteArray(buffer, n);
                seen = seen || tail.contains(marker);
            }
            ::close(fd);
        });
    }
    ~Drain()
    {
        if (thread.joinable())
            thread.join();
    }
};
const QByteArray pingLine = R"({"jsonrpc":"2.0","id":1,"method":"ping"})";

QByteArray initializeLine(const QByteArray &name, const QByteArray &version)
{
    return R"({"jsonrpc":"2.0","id":0,"method":"initialize","params":{"protocolVersion":)"
           R"("2025-06-18","clientInfo":{"name":")"
           + name + R"(","version":")" + version + "\"}}}\n";
}

} // namespace

class TestProgram : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void texts_data();
    void texts();
    void endWithCallOutstanding_data();
    void endWithCallOutstanding();
    void closedStdout_data();
    void closedStdout();
    void refusesAnotherAccount();
    void batchTooLargeToAnswer();
    void stuckClient();
    void stuckApp();
    void memoryAfterLargeAnswers();
    void waitingCallsHoldLittle();
};

void TestProgram::initTestCase()
{
    QVERIFY(QFile::exists(mcpPath));
}

// Each row: vesk-mcp's arguments (|-separated, @PIPE@ a fresh pipe), its input (lines; none:
// stdin stays open, as for the informational options), the stand-in's arguments (- for none),
// then stdout and stderr byte for byte and the exit code.
void TestProgram::texts_data()
{
    QTest::addColumn<QString>("arguments");
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QString>("sim");
    QTest::addColumn<QByteArray>("out");
    QTest::addColumn<QByteArray>("err");
    QTest::addColumn<int>("exitCode");
    const auto row = [](const char *sentence,
                        const char *arguments,
                        const QByteArray &input,
                        const char *sim,
                        const QByteArray &out,
                        const QByteArray &err,
                        int exitCode = 0) {
        QTest::newRow(sentence) << QString::fromUtf8(arguments) << input << QString::fromLatin1(sim)
                                << out << err << exitCode;
    };
    const QByteArray none;
    row("--help prints the help, with the program's path as it is",
        "--help",
        none,
        "-",
        R"T(vesk-mcp @VERSION@ - MCP server for Vesk Studio

Connects AI assistants (Claude Code, Claude Desktop and other Model Context
Protocol clients) to a running Vesk Studio. The AI client starts this program
itself and talks to it over stdin/stdout; it is not meant to be used by hand.

Setup:
  1. In Vesk Studio turn on Tools › AI Connection (Công cụ › Kết nối AI).
     The connection is local to this computer and this Windows account.
  2. Register vesk-mcp once with your AI client.

  Claude Code:
    claude mcp add vesk -- "@PATH@"
    (add --scope user before "vesk" to use it in every project)

  Claude Desktop: Settings › Developer › Edit Config, then add to
  claude_desktop_config.json and restart Claude Desktop:
    {
      "mcpServers": {
        "vesk": {
          "command": "@JSONPATH@"
        }
      }
    }

Options:
  --pipe NAME        local pipe of Vesk Studio
                     (default for this account: vesk-studio-mcp-cli_user)
  --timeout SECONDS  longest wait for one tool call (default 120)
  --poll-ms MS       while Vesk Studio is not reachable, retry every MS
                     milliseconds (default 2000, 0 = only on request)
  --verbose          log every message to stderr
  --print-pipe-name  print the pipe name and exit
  -h, --help         show this help
  -v, --version      show the version

Environment: VESK_MCP_PIPE, VESK_MCP_TIMEOUT (seconds), VESK_MCP_VERBOSE=1.

Exit codes: 0 when the client ends the session (closes stdin, or stops the
program with SIGTERM, SIGINT, Ctrl+C, Ctrl+Break or by closing the console;
calls still running in Vesk Studio are cancelled), 1 when stdout cannot be
written, 2 for a bad option.

Everything the AI changes is one undoable step in Vesk Studio. Drawing data
is sent to the AI service you chose and is subject to its terms.
)T",
        none);
    row("-v prints the version line",
        "-v",
        none,
        "-",
        "vesk-mcp @VERSION@ (Vesk Studio MCP server; MCP protocol 2025-11-25, 2025-06-18, "
        "2025-03-26, 2024-11-05)\n",
        none);
    row("--print-pipe-name prints the account's name, not the one given",
        "--pipe|x|--print-pipe-name",
        none,
        "-",
        "vesk-studio-mcp-cli_user\n",
        none);
    row("an invalid value is an error with exit code 2",
        "--timeout|86400.5",
        none,
        "-",
        none,
        "vesk-mcp: invalid value for --timeout (see --help)\n",
        2);
    row("an unknown argument is reported in UTF-8",
        "bản-vẽ",
        none,
        "-",
        none,
        "vesk-mcp: unknown option \"bản-vẽ\" (see --help)\n",
        2);
    row("JSON-RPC errors",
        "--pipe|@PIPE@|--poll-ms|0",
        "{\n[]\n[5]\n{\"jsonrpc\":\"2.0\",\"id\":1}\n{\"jsonrpc\":\"2.0\",\"id\":null,\"method\":"
        "\"a\"}\n"
        "{\"id\":2,\"method\":\"ping\"}\n{\"jsonrpc\":\"2.0\",\"id\":3,\"method\":5}\n"
        "{\"jsonrpc\":\"2.0\",\"id\":4,\"method\":\"ping\",\"params\":[]}\n"
        "{\"jsonrpc\":\"2.0\",\"id\":5,\"method\":\"nope\"}\n"
        "{\"jsonrpc\":\"2.0\",\"id\":6,\"method\":\"tools/call\",\"params\":{}}\n"
        "{\"jsonrpc\":\"2.0\",\"id\":7,\"method\":\"tools/call\",\"params\":{\"name\":\"a\","
        "\"arguments\":5}}\n{\"jsonrpc\":\"2.0\",\"id\":8,\"method\":\"initialize\"}\n"
        "{\"jsonrpc\":\"2.0\",\"id\":true}\n{\"jsonrpc\":\"1.0\",\"method\":\"ping\",\"id\":null}\n"
        "{\"jsonrpc\":\"2.0\",\"id\":9,\"method\":\"Tools/list\",\"params\":[]}\n"
        "{\"jsonrpc\":\"2.0\",\"id\":10,\"method\":\"Tools/list\"}\n"
        "{\"jsonrpc\":\"2.0\",\"id\":11,\"method\":\"tools/call\",\"params\":{\"name\":\"\"}}\n"
        "{\"jsonrpc\":\"2.0\",\"id\":12,\"method\":\"initialize\",\"params\":{\"protocolVersion\":"
        "5}}\n"
        "{\"jsonrpc\":\"2.0\",\"method\":7}\n{\"method\":\"notifications/initialized\"}\n",
        "-",
        R"T({"error":{"code":-32700,"message":"Parse error: unterminated object"},"id":null,"jsonrpc":"2.0"}
{"error":{"code":-32600,"message":"Invalid Request: empty batch"},"id":null,"jsonrpc":"2.0"}
[{"error":{"code":-32600,"message":"Invalid Request"},"id":null,"jsonrpc":"2.0"}]
{"error":{"code":-32600,"message":"Invalid Request: \"method\" is missing"},"id":1,"jsonrpc":"2.0"}
{"error":{"code":-32600,"message":"Invalid Request: \"id\" must be a string or a number"},"id":null,"jsonrpc":"2.0"}
{"error":{"code":-32600,"message":"Invalid Request: \"jsonrpc\" must be \"2.0\""},"id":2,"jsonrpc":"2.0"}
{"error":{"code":-32600,"message":"Invalid Request: \"method\" must be a string"},"id":3,"jsonrpc":"2.0"}
{"error":{"code":-32602,"message":"Invalid params: \"params\" must be an object"},"id":4,"jsonrpc":"2.0"}
{"error":{"code":-32601,"message":"Method not found: nope"},"id":5,"jsonrpc":"2.0"}
{"error":{"code":-32602,"message":"Invalid params: \"name\" (string) is required"},"id":6,"jsonrpc":"2.0"}
{"error":{"code":-32602,"message":"Invalid params: \"arguments\" must be an object"},"id":7,"jsonrpc":"2.0"}
{"error":{"code":-32602,"message":"Invalid params: \"protocolVersion\" (string) is required"},"id":8,"jsonrpc":"2.0"}
{"error":{"code":-32600,"message":"Invalid Request: \"method\" is missing"},"id":null,"jsonrpc":"2.0"}
{"error":{"code":-32600,"message":"Invalid Request: \"id\" must be a string or a number"},"id":null,"jsonrpc":"2.0"}
{"error":{"code":-32602,"message":"Invalid params: \"params\" must be an object"},"id":9,"jsonrpc":"2.0"}
{"error":{"code":-32601,"message":"Method not found: Tools/list"},"id":10,"jsonrpc":"2.0"}
{"error":{"code":-32602,"message":"Invalid params: \"name\" (string) is required"},"id":11,"jsonrpc":"2.0"}
{"error":{"code":-32602,"message":"Invalid params: \"protocolVersion\" (string) is required"},"id":12,"jsonrpc":"2.0"}
)T",
        "vesk-mcp: ignoring an invalid notification\nvesk-mcp: ignoring an invalid notification\n");
    row("a line over 256 MiB is rejected",
        "--pipe|@PIPE@|--poll-ms|0",
        "{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"ping\"}\n" + QByteArray(268435457, 'a') + "\n",
        "-",
        "{\"id\":1,\"jsonrpc\":\"2.0\",\"result\":{}}\n{\"error\":{\"code\":-32700,\"message\":"
        "\"Parse error: message too large\"},\"id\":null,\"jsonrpc\":\"2.0\"}\n",
        none);
    row("initialize, and the tool texts without Vesk Studio",
        "--pipe|@PIPE@|--poll-ms|0",
        "{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"initialize\",\"params\":{\"protocolVersion\":"
        "\"2025-06-18\",\"clientInfo\":{\"name\":\"tester %1\",\"version\":\"2.0\"}}}\n"
        "{\"jsonrpc\":\"2.0\",\"id\":2,\"method\":\"tools/"
        "call\",\"params\":{\"name\":\"vesk_status\"}}\n"
        "{\"jsonrpc\":\"2.0\",\"id\":3,\"method\":\"tools/call\",\"params\":{\"name\":\"a%1\"}}\n"
        "{\"jsonrpc\":\"2.0\",\"id\":4,\"method\":\"tools/list\"}\n",
        "-",
        R"T({"id":1,"jsonrpc":"2.0","result":{"capabilities":{"tools":{"listChanged":true}},"instructions":"Vesk Studio is a 2D CAD application for Windows made for architectural drawings: floor plans with walls, doors, windows, rooms, furniture symbols and dimensions, quick plans built from a plan description, and 3D models generated from the plan. Its interface is in Vietnamese or English. These tools act on the drawing currently open in the running Vesk Studio window.\n- Units: every length and coordinate is in millimetres (mm); angles are in degrees, counter-clockwise from the +X axis; the Y axis points up.\n- Every change made through these tools is one undoable step: the user can press Ctrl+Z, and you can call the undo tool.\n- After drawing or changing something, call the screenshot tool (get_screenshot; get_3d_screenshot for the 3D view) to look at the result and correct mistakes before going on.\n- Saving or exporting never overwrites an existing file unless you pass \"overwrite\": true; do that only when the user asked for it.\n- If vesk_status is the only tool, Vesk Studio is not running or its AI connection is switched off: ask the user to open Vesk Studio and turn on Tools › AI Connection (Vietnamese menu: Công cụ › Kết nối AI). The tool list is refreshed automatically once the connection is on.","protocolVersion":"2025-06-18","serverInfo":{"name":"vesk-studio","title":"Vesk Studio","version":"@VERSION@"}}}
{"id":2,"jsonrpc":"2.0","result":{"content":[{"text":"Vesk Studio chưa kết nối: hãy mở Vesk Studio và bật Công cụ › Kết nối AI, rồi thử lại.\nVesk Studio is not connected: open Vesk Studio and turn on Tools › AI Connection, then try again.\n(local pipe: \\\\.\\pipe\\@PIPE@)","type":"text"}],"isError":false}}
{"id":3,"jsonrpc":"2.0","result":{"content":[{"text":"Công cụ \"a%1\" chưa dùng được. / Tool \"a%1\" is not available.\nVesk Studio chưa kết nối: hãy mở Vesk Studio và bật Công cụ › Kết nối AI, rồi thử lại.\nVesk Studio is not connected: open Vesk Studio and turn on Tools › AI Connection, then try again.\n(local pipe: \\\\.\\pipe\\@PIPE@)","type":"text"}],"isError":true}}
{"id":4,"jsonrpc":"2.0","result":{"tools":[{"annotations":{"destructiveHint":false,"idempotentHint":true,"openWorldHint":false,"readOnlyHint":true,"title":"Vesk Studio connection"},"description":"Check whether Vesk Studio is running with its AI connection (Tools › AI Connection / Công cụ › Kết nối AI) switched on. Call it when the drawing tools are missing; the tool list is refreshed automatically once Vesk Studio is connected.","inputSchema":{"additionalProperties":false,"properties":{},"type":"object"},"name":"vesk_status","title":"Vesk Studio connection"}]}}
)T",
        "vesk-mcp: client tester %1 2.0, protocol 2025-06-18 (requested 2025-06-18), pipe @PIPE@\n"
        "vesk-mcp: Vesk Studio is not reachable (@PIPE@)\n");
    row("the input's edges: blank lines, a last line without LF, its CR, spaces after it",
        "--pipe|@PIPE@|--poll-ms|0",
        "\n\r\n   \n\t\r\n{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"ping\"}\n   \n"
        "{\"jsonrpc\":\"2.0\",\"id\":2,\"method\":\"ping\"}\r",
        "-",
        "{\"id\":1,\"jsonrpc\":\"2.0\",\"result\":{}}\n{\"id\":2,\"jsonrpc\":\"2.0\",\"result\":{}}"
        "\n",
        none);
    const QByteArray id(570, 'x');
    const QByteArray ping = "{\"jsonrpc\":\"2.0\",\"method\":\"ping\",\"id\":\"" + id + "\"}";
    const QByteArray pong = "{\"id\":\"" + id + "\",\"jsonrpc\":\"2.0\",\"result\":{}}";
    row("--verbose traces each message, cut to 600 bytes and its size",
        "--verbose|--pipe|@PIPE@|--poll-ms|0",
        "\xEF\xBB\xBF\n" + ping + "\n{\"jsonrpc\":\"2.0\",\"id\":1,\"result\":{}}\n",
        "-",
        pong + "\n",
        "vesk-mcp: <- " + ping.left(600) + "... (" + QByteArray::number(ping.size())
                + " bytes)\nvesk-mcp: -> " + pong.left(600) + "... ("
                + QByteArray::number(pong.size())
                + " bytes)\nvesk-mcp: <- {\"jsonrpc\":\"2.0\",\"id\":1,\"result\":{}}\n"
                  "vesk-mcp: ignoring a response from the client\n");
    row("connected, the status tool says so, and an answer passes through",
        "--pipe|@PIPE@",
        "{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"tools/"
        "call\",\"params\":{\"name\":\"vesk_status\"}}\n"
                + callLine("2", "list_elements") + "\n",
        "",
        R"T({"id":1,"jsonrpc":"2.0","result":{"content":[{"text":"Vesk Studio đã kết nối, sẵn sàng nhận lệnh.\nVesk Studio is connected and ready.","type":"text"}],"isError":false}}
{"id":2,"jsonrpc":"2.0","result":{"content":[{"text":"The plan is empty.","type":"text"}],"isError":false}}
)T",
        "vesk-mcp: connected to Vesk Studio (@PIPE@)\nvesk-mcp: Vesk Studio is reachable\n");
    row("a call without answer times out",
        "--pipe|@PIPE@|--timeout|1",
        callLine("1", "add_wall") + "\n",
        "--never-answer",
        R"T({"id":1,"jsonrpc":"2.0","result":{"content":[{"text":"Vesk Studio không trả lời trong 1 giây (công cụ \"add_wall\"); có thể ứng dụng đang bận hoặc đang mở một hộp thoại.\nVesk Studio did not answer within 1 s (tool \"add_wall\"); it may be busy or showing a dialog. Check its window, then try again or take a screenshot to see the current state.","type":"text"}],"isError":true}}
)T",
        "vesk-mcp: connected to Vesk Studio (@PIPE@)\nvesk-mcp: Vesk Studio is reachable\n"
        "vesk-mcp: no answer to tools/call add_wall within 1 s\n");
    row("a call lost with the connection",
        "--pipe|@PIPE@|--poll-ms|0",
        callLine("1", "add_wall") + "\n",
        "--close-on-call",
        R"T({"id":1,"jsonrpc":"2.0","result":{"content":[{"text":"Mất kết nối với Vesk Studio khi đang chạy \"add_wall\"; thao tác có thể chưa xong.\nThe connection to Vesk Studio was closed while \"add_wall\" was running; the operation may not have completed.\nVesk Studio chưa kết nối: hãy mở Vesk Studio và bật Công cụ › Kết nối AI, rồi thử lại.\nVesk Studio is not connected: open Vesk Studio and turn on Tools › AI Connection, then try again.\n(local pipe: \\\\.\\pipe\\@PIPE@)","type":"text"}],"isError":true}}
)T",
        "vesk-mcp: connected to Vesk Studio (@PIPE@)\nvesk-mcp: Vesk Studio is reachable\n"
        "vesk-mcp: connection to Vesk Studio closed (QLocalSocket: Remote closed)\n"
        "vesk-mcp: Vesk Studio is not reachable (@PIPE@)\n");
}

void TestProgram::texts()
{
    QFETCH(QString, arguments);
    QFETCH(QByteArray, input);
    QFETCH(QString, sim);
    QFETCH(QByteArray, out);
    QFETCH(QByteArray, err);
    QFETCH(int, exitCode);

    const QByteArray pipe = uniquePipeName().toUtf8();
    // The help from a copy in a directory whose name holds placeholders and a backslash.
    QTemporaryDir temporary;
    QVERIFY(QDir().mkpath(temporary.path() + QStringLiteral("/dir %1 %5 back\\slash")));
    const QString program = temporary.path() + QStringLiteral("/dir %1 %5 back\\slash/vesk-mcp");
    QVERIFY(QFile::copy(mcpPath, program));
    QByteArray jsonPath = program.toUtf8();
    jsonPath.replace("\\", "\\\\");
    for (QByteArray *text : {&out, &err})
        text->replace("@PIPE@", pipe)
                .replace("@JSONPATH@", jsonPath)
                .replace("@PATH@", program.toUtf8())
                .replace("@VERSION@", programVersion);

    Child far;
    if (sim != QLatin1String("-")) {
        QVERIFY(far.startSim(QString::fromUtf8(pipe), sim.split(' ', Qt::SkipEmptyParts)));
    }
    Child mcp;
    QVERIFY(mcp.start(program, arguments.replace("@PIPE@", pipe).split('|')));
    if (!input.isEmpty()) {
        mcp.process.write(input);
        mcp.process.closeWriteChannel();
    }
    QVERIFY(mcp.finish());
    QCOMPARE(mcp.out, out);
    QCOMPARE(mcp.err, err);
    QCOMPARE(mcp.process.exitCode(), exitCode);
}

void TestProgram::endWithCallOutstanding_data()
{
    QTest::addColumn<int>("signal"); // 0: the client closes stdin
    QTest::addColumn<QByteArray>("logged");
    QTest::newRow("the end of input waits up to a grace of 3 s")
            << 0 << QByteArray("input closed, 1 request(s) left unanswered");
    QTest::newRow("SIGTERM ends at once") << SIGTERM
                                          << QByteArray("SIGTERM received, 1 request(s) left "
                                                        "unanswered");
    QTest::newRow("SIGINT ends at once") << SIGINT
                                         << QByteArray("SIGINT received, 1 request(s) left "
                                                       "unanswered");
}

// A call Vesk Studio never answers: however the session ends, Vesk Studio is told to cancel
// it, and the program ends with 0.
void TestProgram::endWithCallOutstanding()
{
    QFETCH(int, signal);
    QFETCH(QByteArray, logged);
    const QString pipe = uniquePipeName();
    Child sim, mcp;
    QVERIFY(sim.startSim(pipe, {"--never-answer"}));
    QVERIFY(mcp.start(mcpPath, {"--pipe", pipe}));
    mcp.send(callLine("1", "add_wall"));
    QTRY_VERIFY(sim.out.contains("add_wall"));
    QElapsedTimer clock;
    clock.start();
    if (signal == 0)
        mcp.process.closeWriteChannel();
    else
        ::kill(pid_t(mcp.process.processId()), signal);
    QVERIFY(mcp.finish()); // a normal exit: not killed by the signal
    QVERIFY2(signal != 0 || clock.elapsed() >= 3000, "ended before the grace period");
    QCOMPARE(mcp.process.exitCode(), 0);
    QVERIFY(mcp.err.contains("vesk-mcp: " + logged + "\n"));
    QVERIFY(mcp.out.isEmpty());
    QTRY_VERIFY(sim.out.contains(R"({"method":"notifications/cancelled","params":{"reason":)"
                                 R"("vesk-mcp is shutting down","requestId":1}})"));
}

void TestProgram::closedStdout_data()
{
    QTest::addColumn<bool>("afterEndOfInput");
    QTest::addColumn<bool>("stderrFull"); // a pipe nobody reads, already full
    QTest::newRow("a failed write ends the program with 1 while its input is open")
            << false << false;
    QTest::newRow("the finish after the end of input keeps the exit code 1") << true << false;
    QTest::newRow("a full stderr does not hold up the end") << false << true;
}

// The client has gone away: writing an answer fails, which ends the program with 1.
void TestProgram::closedStdout()
{
    QFETCH(bool, afterEndOfInput);
    QFETCH(bool, stderrFull);
    const QString pipe = uniquePipeName();
    QLocalServer app;
    QVERIFY(app.listen(pipe));
    Child mcp;
    QTemporaryFile input;
    QVERIFY(input.open());
    input.write(callLine("1", "draw") + "\n");
    input.close();
    if (afterEndOfInput)
        mcp.process.setStandardInputFile(input.fileName());
    QList<int> readEnds; // stderr's, never read
    QVERIFY(startOnPipes(mcp,
                         stderrFull ? QList<int>{1, 2} : QList<int>{1},
                         {"--pipe", pipe, "--poll-ms", "0"},
                         stderrFull ? &readEnds : nullptr,
                         stderrFull));
    if (stderrFull)
        ::close(readEnds.takeFirst()); // stdout: gone
    if (afterEndOfInput) {             // the answer comes from Vesk Studio after the end of input
        QTRY_VERIFY_WITH_TIMEOUT(app.hasPendingConnections(), 30000);
        QLocalSocket *far = app.nextPendingConnection();
        QTRY_VERIFY_WITH_TIMEOUT(far->canReadLine(), 30000);
        far->write("{\"id\":1,\"result\":{}}\n");
        far->flush();
    } else {
        mcp.send(R"({"jsonrpc":"2.0","id":"p","method":"ping"})");
    }
    QVERIFY(mcp.finish());
    QVERIFY(stderrFull || mcp.err.endsWith("vesk-mcp: cannot write to stdout, exiting\n"));
    QCOMPARE(mcp.process.exitCode(), 1);
}

// A pipe of another account gets not a byte: a link to its socket file and the file itself are
// refused before connecting, and its server process after (the file made this account's).
void TestProgram::refusesAnotherAccount()
{
    const QString setpriv = QStandardPaths::findExecutable(QStringLiteral("setpriv"));
    if (::getuid() != 0 || setpriv.isEmpty())
        QSKIP("needs root, setpriv and the stand-in to serve the pipe from another account");
    QTemporaryDir dir;
    QVERIFY(QFile::setPermissions(dir.path(), QFileDevice::Permissions(0x7777)));
    const QString pipe = dir.filePath("pipe"), link = dir.filePath("link");
    Child sim;
    QVERIFY(sim.start(
            setpriv,
            {"--reuid=65534", "--regid=65534", "--clear-groups", VESK_SIM_PATH, "--pipe", pipe}));
    QVERIFY(waitFor([&] { return sim.err.contains("sim: listening on "); }, 10000));
    QVERIFY(QFile::link(pipe, link));
    const QString refusals[] = {"socket file " + link + " is a symbolic link",
                                "socket file " + pipe + " belongs to another account",
                                QStringLiteral("server process %1 belongs to another account")
                                        .arg(sim.process.processId())};
    for (const QString &reason : refusals) {
        const QString path = reason.contains(link) ? link : pipe;
        if (reason.startsWith(QLatin1String("server")))
            QCOMPARE(::chown(QFile::encodeName(pipe).constData(), 0, 0), 0);
        Child mcp;
        QVERIFY(mcp.start(mcpPath, {"--pipe", path}));
        mcp.send(callLine("1", "add_wall"));
        QVERIFY(mcp.waitId(1));
        QCOMPARE(mcp.withId(1)["result"]["isError"], true);
        QTRY_VERIFY(mcp.err.contains("vesk-mcp: refusing pipe " + path.toUtf8() + ": "
                                     + reason.toUtf8() + "\n"));
        QVERIFY(!mcp.err.contains("connected to"));
    }
    QTRY_VERIFY(sim.err.contains("sim: client 1 disconnected"));
    QVERIFY(!sim.err.contains("sim: client 2"));
    QVERIFY2(sim.out.isEmpty(), sim.out.constData()); // not a byte reached it
}

// A batch of millions of members would take gigabytes to answer: it gets one error, in little
// memory, and the next line is answered. A batch at the limit is answered member by member.
void TestProgram::batchTooLargeToAnswer()
{
    Child mcp;
#ifndef VESK_SANITIZE // the sanitizer's shadow memory needs far more address space
    mcp.process.setChildProcessModifier([] {
        const rlimit limit{1ull << 30, 1ull << 30};
        ::setrlimit(RLIMIT_AS, &limit);
    });
#endif
    QVERIFY(mcp.start(mcpPath, {"--pipe", uniquePipeName()}));
    QByteArray huge = "[1" + QByteArray(",1").repeated(4000000) + "]\n";
    const QByteArray atLimit = "[" + pingLine + ("," + pingLine).repeated(McpServer::maxBatch - 1);
    mcp.process.write(huge + atLimit + "]\n" + pingLine + "\n");
    mcp.process.closeWriteChannel();
    QVERIFY(mcp.finish(60000));
    QCOMPARE(mcp.process.exitCode(), 0);
    const QList<QByteArray> lines = mcp.out.split('\n');
    QCOMPARE(lines.size(), 4);
    QVERIFY(matches(json(lines.at(0)),
                    json(R"({"id":null,"error":{"code":-32600,)"
                         R"("message":"Invalid Request: batch of more than )"
                         R"(10000 messages"}})")));
    QCOMPARE(json(lines.at(1)).toArray().size(), McpServer::maxBatch);
    QVERIFY(lines.at(2).contains("\"result\":{}"));
}

// A client that reads neither stdout nor stderr: vesk-mcp stops reading its input instead of
// holding it, drops log lines rather than wait, and goes on once the client reads stdout. Neither
// a 1 MiB client name nor one that would forge a log line or act on a terminal gets into the log
// as it came.
void TestProgram::stuckClient()
{
    Child mcp;
    QList<int> readEnds;
    QVERIFY(startOnPipes(mcp, {1, 2}, {"--verbose", "--pipe", "p"}, &readEnds)); // verbose: more
    const int pings
            = 400000; // 16 MiB                                             than stderr holds
    mcp.process.write(initializeLine(R"(evil\nvesk-mcp: refusing pipe p: forged \u001b[2J)", "1.0")
                      + initializeLine(QByteArray(1 << 20, 'n'), "1")
                      + (pingLine + '\n').repeated(pings));
    for (qint64 before = -1; mcp.process.bytesToWrite() != before;) { // until it stops taking
        before = mcp.process.bytesToWrite();
        QTest::qWait(500);
    }
    QVERIFY2(mcp.process.bytesToWrite() > 0, "vesk-mcp read its whole input");
#ifndef VESK_SANITIZE
    const qint64 peak = peakKiB(mcp.process.processId());
    QVERIFY2(peak > 0 && peak < 64 * 1024, qPrintable(QString::number(peak)));
#endif
    QByteArray output;
    std::thread reader([&] { output = readToEnd(readEnds.at(0)); });
    mcp.process.closeWriteChannel();
    const bool finished = mcp.finish(120000);
    reader.join();
    QVERIFY(finished);
    QCOMPARE(mcp.process.exitCode(), 0);
    QCOMPARE(output.count('\n'), pings + 2);
    QList<QByteArray> lines = readToEnd(readEnds.at(1)).split('\n');
    lines.removeIf([](const QByteArray &line) { return !line.startsWith("vesk-mcp: client "); });
    QCOMPARE(lines.size(), 2);
    QCOMPARE(lines.at(0),
             R"(vesk-mcp: client evil\nvesk-mcp: refusing pipe p: forged \x1b[2J 1.0, protocol )"
             "2025-06-18 (requested 2025-06-18), pipe p");
    QVERIFY(lines.at(1).startsWith("vesk-mcp: client " + QByteArray(600, 'n')
                                   + "... (1048576 bytes) 1,"));
    // Lines of two bytes cost more than their bytes while they wait: the bound holds for them too.
    Child tiny;
    QVERIFY(startOnPipes(tiny, {1}, {"--pipe", "p"}, &readEnds));
    tiny.process.write(QByteArray("1\n").repeated(4 << 20));
    for (qint64 before = -1; tiny.process.bytesToWrite() != before;) {
        before = tiny.process.bytesToWrite();
        QTest::qWait(500);
    }
    QVERIFY2(tiny.process.bytesToWrite() > 0, "vesk-mcp read its whole input");
#ifndef VESK_SANITIZE
    QVERIFY2(peakKiB(tiny.process.processId()) < 96 * 1024,
             qPrintable(QString::number(peakKiB(tiny.process.processId()))));
#endif
}

// A Vesk Studio that takes one connection and then reads nothing, leaving the next ones in its
// backlog: each connection is cut off once its bytes stop moving, calls beyond the bound of what
// waiting calls hold are refused at once, and every call is answered in bounded memory. No event
// loop runs here meanwhile, so the far end takes no connection and reads nothing.
void TestProgram::stuckApp()
{
    QLocalServer app;
    const QString pipe = uniquePipeName();
    QVERIFY(app.listen(pipe));
    Child mcp;
    QList<int> readEnds;
    QVERIFY(startOnPipes(mcp, {1, 2}, {"--pipe", pipe, "--poll-ms", "0"}, &readEnds));
    mcp.process.write(initializeLine("c", "1")
                      + R"({"jsonrpc":"2.0","method":"notifications/initialized"})" + '\n');
    // Two waves of calls, each on a connection of its own; input stays open until every call
    // of a wave is answered, as a client's does.
    const int waves[] = {600, 100};
    int calls = 0;
    QByteArray output;
    qint64 peak = 0;
    ::fcntl(readEnds.at(0), F_SETFL, O_NONBLOCK);
    for (const int wave : waves) {
        for (const int end = calls + wave; calls < end;)
            mcp.send(callLine(QByteArray::number(++calls),
                              "draw",
                              "{\"s\":\"" + QByteArray(1 << 20, 'x') + "\"}"));
        QElapsedTimer clock;
        clock.start();
        while (output.count('\n') < calls + 1 && clock.elapsed() < 60000) {
            mcp.process.waitForBytesWritten(50);
            peak = std::max(peak, peakKiB(mcp.process.processId()));
            char buffer[65536];
            for (qint64 n; (n = ::read(readEnds.at(0), buffer, sizeof buffer)) > 0;)
                output.append(buffer, n);
        }
    }
    mcp.process.closeWriteChannel();
    QVERIFY(mcp.finish());
    const QByteArray log = readToEnd(readEnds.at(1));
    QVERIFY2(log.count("connection to Vesk Studio closed (Vesk Studio is not reading, ") == 2, log);
    QVERIFY(output.count("Too many requests waiting for Vesk Studio (more than 64 MiB held)") > 0);
    QVERIFY(output.count("was closed while \\\"draw\\\" was running") > 0);
    QCOMPARE(output.count('\n'), calls + 1);
#ifndef VESK_SANITIZE
    QVERIFY2(peak < 400 * 1024, qPrintable(QString::number(peak)));
#endif
}

// After a large answer the idle program gives its memory back, whether the answer passed
// through or was given up on as invalid JSON.
void TestProgram::memoryAfterLargeAnswers()
{
    QLocalServer app;
    const QString pipe = uniquePipeName();
    QVERIFY(app.listen(pipe));
    Drain out;
    Child mcp;
    QList<int> readEnds;
    QVERIFY(startOnPipes(mcp, {1}, {"--pipe", pipe, "--poll-ms", "0"}, &readEnds));
    out.start(readEnds.at(0), "\"id\":\"end\"");
    const QByteArray answers[] = {R"({"id":1,"result":{"content":[{"type":"text","text":")"
                                          + QByteArray(128 << 20, 'x') + "\"}]}}\n",
                                  R"({"id":2,"result":{"content":[{"type":"text","text":")"
                                          + QByteArray(60000000, '\x01') + "\"}]}}\n"};
    for (int i = 1; i <= 2; ++i) {
        mcp.send(callLine(QByteArray::number(i), "render"));
        if (i == 1) {
            QVERIFY(waitFor([&] { return app.hasPendingConnections(); }));
            app.nextPendingConnection();
        }
        QLocalSocket *far = app.findChild<QLocalSocket *>();
        QVERIFY(waitFor([&] { return far->canReadLine(); }));
        far->readAll();
        far->write(answers[i - 1]);
        QVERIFY(waitFor([&] { return far->bytesToWrite() == 0; }, 60000));
        mcp.send(R"({"jsonrpc":"2.0","id":"end","method":"ping"})");
        QVERIFY(waitFor([&] { return out.seen.exchange(false); }, 60000));
#ifndef VESK_SANITIZE
        QTRY_VERIFY2(peakKiB(mcp.process.processId(), "VmRSS:") < 64 * 1024,
                     qPrintable(QStringLiteral("answer %1: %2 KiB")
                                        .arg(i)
                                        .arg(peakKiB(mcp.process.processId(), "VmRSS:"))));
#endif
    }
    QVERIFY(out.bytes > 128 << 20);
    mcp.process.closeWriteChannel();
    QVERIFY(mcp.finish());
}

// Calls with 1 MiB ids and tool names to a Vesk Studio that takes them and never answers: what
// waits for an answer is held once and compactly, and beyond its bound a call is refused at once.
void TestProgram::waitingCallsHoldLittle()
{
    const QString pipe = uniquePipeName();
    Drain out;
    Child sim, mcp;
    sim.process.setStandardOutputFile(QProcess::nullDevice());
    QVERIFY(sim.start(QStringLiteral(VESK_SIM_PATH), {"--pipe", pipe, "--never-answer"}));
    QVERIFY(waitFor([&] { return sim.err.contains("sim: listening on "); }, 10000));
    QList<int> readEnds;
    QVERIFY(startOnPipes(mcp, {1}, {"--pipe", pipe, "--poll-ms", "0"}, &readEnds));
    out.start(readEnds.at(0), "\"id\":\"end\"");
    const QByteArray big(1 << 20, 'i');
    for (int i = 0; i < 200; ++i)
        mcp.send(callLine('"' + big + QByteArray::number(i) + '"', big.constData()));
    mcp.send(R"({"jsonrpc":"2.0","id":"end","method":"ping"})");
    QVERIFY(waitFor([&] { return out.seen.load(); }, 60000));
    // Refusals carry their 1 MiB ids back; the calls taken get no answer.
    QVERIFY(out.bytes > 100 << 20 && out.bytes < 190 << 20);
#ifndef VESK_SANITIZE
    const qint64 peak = peakKiB(mcp.process.processId());
    QVERIFY2(peak < 150 * 1024, qPrintable(QString::number(peak)));
#endif
}

QTEST_GUILESS_MAIN(TestProgram)
#include "tst_program.moc"
