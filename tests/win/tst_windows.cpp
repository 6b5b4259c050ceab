// tst_windows.cpp - what only Windows shows: the named pipe and the Win32 account calls, binary
// stdin, the log without a console, the exit through _exit and the UTF-16 environment
#include "support.h"

#include "io/nativeio.h"
#include "mcp/peeraccount.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QScopeGuard>

#include <cstdio>
#include <cstring>

#include <windows.h>

using namespace ves::mcp;
using namespace ves::mcp::testing;

namespace {

constexpr int longWait = 30000; // a wine process may take seconds to start

// vesk-mcp.exe (or another program) started as an AI client starts it: pipes on all three
// streams, no console window, and not Qt's QT_FORCE_STDERR_LOGGING.
struct Client
{
    QProcess process;
    QByteArray out, err;
    HANDLE stdoutHandle = nullptr; // replaces QProcess's stdout pipe when set
    HANDLE stderrHandle = nullptr; // the same for stderr

    explicit Client(const QStringList &arguments,
                    DWORD flags = CREATE_NO_WINDOW,
                    const QString &program = QString::fromUtf8(VESK_MCP_PATH))
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        for (const char *name : {"QT_FORCE_STDERR_LOGGING", "VESK_MCP_PIPE", "VESK_MCP_VERBOSE"})
            environment.remove(QLatin1String(name));
        process.setProcessEnvironment(environment);
        process.setCreateProcessArgumentsModifier(
                [this, flags](QProcess::CreateProcessArguments *a) {
                    a->flags = (a->flags & ~DWORD(CREATE_NO_WINDOW)) | flags;
                    if (stdoutHandle)
                        a->startupInfo->hStdOutput = stdoutHandle;
                    if (stderrHandle)
                        a->startupInfo->hStdError = stderrHandle;
                    a->inheritHandles = a->inheritHandles || stdoutHandle || stderrHandle;
                });
        QObject::connect(&process, &QProcess::readyReadStandardOutput, [this] {
            out += process.readAllStandardOutput();
        });
        QObject::connect(&process, &QProcess::readyReadStandardError, [this] {
            err += process.readAllStandardError();
        });
        process.setProgram(program);
        process.setArguments(arguments);
    }
    ~Client()
    {
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished(longWait);
        }
        if (QTest::currentTestFailed())
            std::fprintf(stderr,
                         "--- stderr ---\n%s\n--- stdout ---\n%s\n",
                         err.constData(),
                         out.constData());
    }
    bool start()
    {
        process.start();
        return process.waitForStarted(longWait);
    }
    bool finish() // closes stdin, waits for the end by itself
    {
        process.closeWriteChannel();
        const bool ended = QTest::qWaitFor(
                [this] { return process.state() == QProcess::NotRunning; }, longWait);
        return ended && process.exitStatus() == QProcess::NormalExit;
    }
    QJsonValue response(int id) const
    {
        for (const QByteArray &line : out.split('\n'))
            if (QJsonDocument::fromJson(line)["id"] == id)
                return QJsonDocument::fromJson(line).object();
        return QJsonValue::Undefined;
    }
};

// stderr keeps the C runtime's text mode (only stdin and stdout are binary): LF becomes CR LF.
QByteArray crlf(QByteArray text)
{
    return text.replace('\n', "\r\n");
}

// The account calls with faults put in after the real calls, counted.
enum class Fault { None, NoPid, NoProcess, ServerSidByte, ServerSidLonger, NoServerSid, NoOwnSid };
Fault fault = Fault::None;
int opened = 0, closed = 0;

std::uint32_t faultyServerProcessId(native::Handle pipe)
{
    const std::uint32_t pid = native::pipeServerProcessId(pipe);
    return fault == Fault::NoPid ? 0 : pid;
}
native::Handle faultyOpenProcess(std::uint32_t pid)
{
    const native::Handle process = fault == Fault::NoProcess ? 0 : native::openProcessForQuery(pid);
    opened += process != 0;
    return process;
}
void countedCloseProcess(native::Handle process)
{
    ++closed;
    native::closeProcess(process);
}
std::string faultyUserSid(native::Handle process)
{
    std::string sid = native::userSid(process);
    const bool own = process == native::currentProcess();
    if (!own && fault == Fault::ServerSidByte)
        sid.back() = char(sid.back() ^ 1);
    if (!own && fault == Fault::ServerSidLonger)
        sid.append("\x15\0\0\0", 4);
    if ((!own && fault == Fault::NoServerSid) || (own && fault == Fault::NoOwnSid))
        sid.clear();
    return sid;
}

} // namespace

class TestWindows : public QObject
{
    Q_OBJECT

private slots:
    void accountCallsOnARealPipe();
    void refusals_data();
    void refusals();
    void relayToTheStandInOverANamedPipe();
    void runs_data();
    void runs();
    void helpIsUtf8WithTheNativePath();
    void closedStdoutEndsWithOne();
    void logReachesStderrWithoutConsole_data();
    void logReachesStderrWithoutConsole();
    void undrainedStderrHoldsNothingUp();
    void consoleEventCancelsAndEnds();
};

// The four platform calls on a pipe this process serves; failures come back as "none".
void TestWindows::accountCallsOnARealPipe()
{
    const QString name = uniquePipeName();
    QLocalServer server;
    QVERIFY(server.listen(name));
    QLocalSocket client;
    client.connectToServer(name);
    QVERIFY(client.waitForConnected(longWait));
    const std::uint32_t pid
            = native::pipeServerProcessId(native::Handle(client.socketDescriptor()));
    QCOMPARE(pid, std::uint32_t(QCoreApplication::applicationPid()));
    const native::Handle process = native::openProcessForQuery(pid);
    QVERIFY(process != 0);
    const std::string serverSid = native::userSid(process);
    native::closeProcess(process);
    const std::string ownSid = native::userSid(native::currentProcess());
    QCOMPARE(serverSid, ownSid);
    // A SID: revision 1, the number of sub-authorities, 6 bytes of authority, 4 per sub-authority.
    QCOMPARE(int(ownSid.at(0)), 1);
    QCOMPARE(ownSid.size(), std::size_t(8 + 4 * static_cast<unsigned char>(ownSid[1])));
    QCOMPARE(native::pipeServerProcessId(0), std::uint32_t(0));
    QCOMPARE(native::pipeServerProcessId(-1), std::uint32_t(0));
    QCOMPARE(native::userSid(0), std::string());
    HANDLE file = CreateFileW(L"NUL", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    QCOMPARE(native::pipeServerProcessId(native::Handle(file)), std::uint32_t(0)); // not a pipe
    CloseHandle(file);
}

void TestWindows::refusals_data()
{
    QTest::addColumn<int>("faultIn");
    QTest::addColumn<bool>("accepted");
    QTest::newRow("same account, through the real calls") << int(Fault::None) << true;
    QTest::newRow("server SID differs in its last byte") << int(Fault::ServerSidByte) << false;
    QTest::newRow("server SID is longer") << int(Fault::ServerSidLonger) << false;
    QTest::newRow("server token cannot be read") << int(Fault::NoServerSid) << false;
    QTest::newRow("own token cannot be read") << int(Fault::NoOwnSid) << false;
    QTest::newRow("server process cannot be opened") << int(Fault::NoProcess) << false;
    QTest::newRow("server process cannot be identified") << int(Fault::NoPid) << false;
}

// Wine gives every process the same SID and grants every OpenProcess: the refusals are reached
// through faults put into the real calls, over a real pipe.
void TestWindows::refusals()
{
    QFETCH(int, faultIn);
    QFETCH(bool, accepted);
    fault = Fault(faultIn);
    const auto noFaultAfterwards = qScopeGuard([] { fault = Fault::None; });
    opened = closed = 0;
    Rig rig;
    QVERIFY(rig.listen());
    rig.server->setAccountProbe({faultyServerProcessId,
                                 faultyOpenProcess,
                                 countedCloseProcess,
                                 native::currentProcess,
                                 faultyUserSid});
    rig.send(R"({"jsonrpc":"2.0","id":5,"method":"tools/call","params":{"name":"add_wall"}})");
    QVERIFY(rig.accept());
    if (accepted) {
        QTRY_VERIFY_WITH_TIMEOUT(rig.studio.received.size() == 1, longWait);
    } else {
        QTRY_COMPARE_WITH_TIMEOUT(rig.sent.size(), 1, longWait);
        QVERIFY(matches(rig.sent.at(0), json(R"({"id":5,"result":{"isError":true}})")));
        QTRY_COMPARE_WITH_TIMEOUT(
                rig.studio.socket->state(), QLocalSocket::UnconnectedState, longWait);
        QVERIFY(rig.studio.received.isEmpty()); // not a byte reached the pipe
    }
    QCOMPARE(rig.server->isConnected(), accepted);
    QCOMPARE(opened, closed); // no process handle left open
}

// Both ends are processes of their own: vesk-studio-sim.exe serves the pipe, the account calls
// name it, and vesk-mcp.exe relays a list, a call and its progress.
void TestWindows::relayToTheStandInOverANamedPipe()
{
    const QString name = uniquePipeName();
    Client sim(
            {QStringLiteral("--pipe"), name}, CREATE_NO_WINDOW, QString::fromUtf8(VESK_SIM_PATH));
    QVERIFY(sim.start());
    QVERIFY(QTest::qWaitFor([&] { return sim.err.contains("sim: listening on "); }, longWait));
    QLocalSocket probe;
    probe.connectToServer(name);
    QVERIFY(probe.waitForConnected(longWait));
    const std::uint32_t pid = native::pipeServerProcessId(native::Handle(probe.socketDescriptor()));
    QCOMPARE(qint64(pid), sim.process.processId());
    probe.disconnectFromServer();

    Client client(
            {QStringLiteral("--pipe"), name, QStringLiteral("--poll-ms"), QStringLiteral("0")});
    QVERIFY(client.start());
    client.process.write(
            R"({"jsonrpc":"2.0","method":"notifications/initialized"})"
            "\n"
            R"({"jsonrpc":"2.0","id":2,"method":"tools/list"})"
            "\n"
            R"({"jsonrpc":"2.0","id":4,"method":"tools/call","params":{"name":"render_preview",)"
            R"("arguments":{"steps":2,"stepMs":10},"_meta":{"progressToken":"tok"}}})"
            "\n");
    QVERIFY(QTest::qWaitFor([&] { return client.response(4).isObject(); }, longWait));
    QVERIFY(client.finish());
    QCOMPARE(client.process.exitCode(), 0);
    QVERIFY(client.err.contains(
            crlf("vesk-mcp: connected to Vesk Studio (" + name.toUtf8() + ")\n")));
    QVERIFY(client.response(2)["result"]["tools"].toArray().size() > 1);
    QCOMPARE(client.response(4)["result"]["isError"], false);
    const qsizetype progress = client.out.indexOf(R"("method":"notifications/progress")");
    QVERIFY(progress >= 0 && progress < client.out.indexOf(R"({"id":4,)"));
    QVERIFY(!client.out.contains('\r'));
}

void TestWindows::runs_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("userName");
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QByteArray>("out");
    QTest::addColumn<QByteArray>("err");
    const QStringList offline{"--pipe", uniquePipeName(), "--poll-ms", "0"};
    // Exit codes go through main's return before a run and through _exit after one.
    QTest::newRow("an unknown option, not ASCII, comes back as UTF-8 with exit code 2")
            << QStringList{QString::fromUtf8("--b\xC3\xB6gus-\xE2\x80\xBA")} << "u" << QByteArray()
            << 2 << QByteArray()
            << crlf("vesk-mcp: unknown option \"--b\xC3\xB6gus-\xE2\x80\xBA\" (see --help)\n");
    QTest::newRow("the end of input ends with 0")
            << offline << "u" << QByteArray(R"({"jsonrpc":"2.0","id":1,"method":"ping"})") << 0
            << QByteArray("{\"id\":1,\"jsonrpc\":\"2.0\",\"result\":{}}\n") << QByteArray();
    // Without binary mode the C runtime would end the input at 0x1A and turn LF into CR LF.
    QTest::newRow("stdin and stdout are binary: 0x1A and a bare CR pass")
            << offline << "u"
            << QByteArray("{\"jsonrpc\":\"2.0\",\"id\":\"a\x1A\rb\",\"method\":\"ping\"}\r\n"
                          "{\"jsonrpc\":\"2.0\",\"id\":8,\"method\":\"ping\"}\r\n")
            << 0
            << QByteArray("{\"id\":\"a\\u001a\\rb\",\"jsonrpc\":\"2.0\",\"result\":{}}\n"
                          "{\"id\":8,\"jsonrpc\":\"2.0\",\"result\":{}}\n")
            << QByteArray();
    // The environment is UTF-16 there: one underscore per UTF-16 unit, not per UTF-8 byte.
    QTest::newRow("a Unicode user name gives the pipe name")
            << QStringList{"--print-pipe-name"} << QString::fromUtf8("Nguyễn a\xF0\x9F\x98\x80z")
            << QByteArray() << 0 << QByteArray("vesk-studio-mcp-Nguy_n_a__z\n") << QByteArray();
}

void TestWindows::runs()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, userName);
    QFETCH(QByteArray, input);
    QFETCH(int, exitCode);
    QFETCH(QByteArray, out);
    QFETCH(QByteArray, err);
    Client client(arguments);
    QProcessEnvironment environment = client.process.processEnvironment();
    environment.insert(QStringLiteral("USERNAME"), userName);
    client.process.setProcessEnvironment(environment);
    QVERIFY(client.start());
    client.process.write(input);
    QVERIFY(client.finish());
    QCOMPARE(client.process.exitCode(), exitCode);
    QCOMPARE(client.out, out);
    QCOMPARE(client.err, err);
}

// Redirected, the help is UTF-8 without a byte-order mark, with LF line ends, and names the
// program by its native path (doubled backslashes in the JSON).
void TestWindows::helpIsUtf8WithTheNativePath()
{
    Client client({QStringLiteral("--help")});
    QVERIFY(client.start());
    QVERIFY(client.finish());
    const QString path = QDir::toNativeSeparators(
            QFileInfo(QString::fromUtf8(VESK_MCP_PATH)).absoluteFilePath());
    QString doubled = path;
    doubled.replace(QLatin1String("\\"), QLatin1String("\\\\"));
    const QString help = QString::fromUtf8(client.out);
    QVERIFY(client.out.startsWith("vesk-mcp ") && !client.out.contains('\r'));
    QVERIFY(client.out.contains("Tools \xE2\x80\xBA AI Connection (C\xC3\xB4ng c\xE1\xBB\xA5"));
    QVERIFY(help.contains("claude mcp add vesk -- \"" + path + "\"\n", Qt::CaseInsensitive));
    QVERIFY(help.contains("\"command\": \"" + doubled + "\"\n", Qt::CaseInsensitive));
}

// stdout is a pipe whose reader is gone: the failed write is reported and ends the program with
// 1 (there is no SIGPIPE to kill it first).
void TestWindows::closedStdoutEndsWithOne()
{
    SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE readEnd = nullptr, writeEnd = nullptr;
    QVERIFY(CreatePipe(&readEnd, &writeEnd, &inheritable, 0));
    CloseHandle(readEnd);
    Client client({QStringLiteral("--pipe"),
                   uniquePipeName(),
                   QStringLiteral("--poll-ms"),
                   QStringLiteral("0")});
    client.stdoutHandle = writeEnd;
    const bool started = client.start();
    CloseHandle(writeEnd); // the child holds the only copy now
    QVERIFY(started);
    client.process.write(R"({"jsonrpc":"2.0","id":1,"method":"ping"})"
                         "\n");
    QVERIFY(QTest::qWaitFor([&] { return client.process.state() == QProcess::NotRunning; },
                            longWait));
    QCOMPARE(client.process.exitCode(), 1);
    QVERIFY(client.err.startsWith(crlf("vesk-mcp: cannot write to stdout, exiting\n")));
}

void TestWindows::logReachesStderrWithoutConsole_data()
{
    QTest::addColumn<quint32>("creationFlags");
    QTest::newRow("console without window (CREATE_NO_WINDOW)") << quint32(CREATE_NO_WINDOW);
    QTest::newRow("no console at all (DETACHED_PROCESS)") << quint32(DETACHED_PROCESS);
}

// Without a console window Qt sends its own logging to OutputDebugString (the control case: this
// program with --qt-log-probe); the program's log must still reach stderr.
void TestWindows::logReachesStderrWithoutConsole()
{
    QFETCH(quint32, creationFlags);
    Client qtProgram({QStringLiteral("--qt-log-probe")},
                     creationFlags,
                     QCoreApplication::applicationFilePath());
    QVERIFY(qtProgram.start());
    QVERIFY(qtProgram.finish());
    QVERIFY(qtProgram.out.startsWith("console window: no")
            && !qtProgram.err.contains("qt-log-probe"));

    const QString name = uniquePipeName(); // nobody serves it
    Client client({QStringLiteral("--verbose"), QStringLiteral("--pipe"), name}, creationFlags);
    QVERIFY(client.start());
    client.process.write(R"({"jsonrpc":"2.0","method":"notifications/initialized"})"
                         "\n");
    QVERIFY(QTest::qWaitFor(
            [&] {
                return client.err.contains(
                        crlf("vesk-mcp: Vesk Studio is not reachable (" + name.toUtf8() + ")\n"));
            },
            longWait));
    QVERIFY(client.finish());
    QVERIFY(client.err.startsWith(
            crlf("vesk-mcp: <- {\"jsonrpc\":\"2.0\",\"method\":\"notifications/initialized\"}\n")));
}

// A client that pipes stderr and never reads it: once the pipe is full the log drops lines, and
// the answers and the end of input go on.
void TestWindows::undrainedStderrHoldsNothingUp()
{
    SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE readEnd = nullptr, writeEnd = nullptr;
    QVERIFY(CreatePipe(&readEnd, &writeEnd, &inheritable, 4096));
    const auto closeRead = qScopeGuard([readEnd] { CloseHandle(readEnd); }); // never read
    Client client({QStringLiteral("--verbose"), QStringLiteral("--pipe"), uniquePipeName()});
    client.stderrHandle = writeEnd;
    const bool started = client.start();
    CloseHandle(writeEnd);
    QVERIFY(started);
    const int pings = 2000; // two log lines each, far more than the pipe holds
    client.process.write(QByteArray(R"({"jsonrpc":"2.0","id":1,"method":"ping"})"
                                    "\n")
                                 .repeated(pings));
    QVERIFY(client.finish());
    QCOMPARE(client.process.exitCode(), 0);
    QCOMPARE(client.out.count('\n'), pings);
}

// Ctrl+Break (Ctrl+C and closing the console take the same way) while Vesk Studio works on a
// call: it is told to cancel, and the program ends with 0.
void TestWindows::consoleEventCancelsAndEnds()
{
    const QString name = uniquePipeName();
    Client sim({QStringLiteral("--pipe"), name, QStringLiteral("--never-answer")},
               CREATE_NO_WINDOW,
               QString::fromUtf8(VESK_SIM_PATH));
    QVERIFY(sim.start());
    QVERIFY(QTest::qWaitFor([&] { return sim.err.contains("sim: listening on "); }, longWait));
    if (!GetConsoleWindow())
        AllocConsole(); // events travel through a console the two processes share
    Client client({QStringLiteral("--pipe"), name}, CREATE_NEW_PROCESS_GROUP);
    QVERIFY(client.start());
    client.process.write(
            R"({"jsonrpc":"2.0","id":1,"method":"tools/call","params":{"name":"undo"}})"
            "\n");
    QVERIFY(QTest::qWaitFor([&] { return sim.out.contains("undo"); }, longWait));
    if (!GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, DWORD(client.process.processId())))
        QSKIP("no console control events here");
    QVERIFY(QTest::qWaitFor([&] { return client.process.state() == QProcess::NotRunning; },
                            longWait));
    QCOMPARE(client.process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(client.process.exitCode(), 0);
    QVERIFY(client.err.contains(
            crlf("vesk-mcp: Ctrl+Break received, 1 request(s) left unanswered\n")));
    QVERIFY(QTest::qWaitFor(
            [&] {
                return sim.out.contains(R"("reason":"vesk-mcp is shutting down","requestId":1)");
            },
            longWait));
}

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    if (argc == 2 && std::strcmp(argv[1], "--qt-log-probe") == 0) {
        qWarning("qt-log-probe");
        std::printf("console window: %s\n", GetConsoleWindow() ? "yes" : "no");
        return 0;
    }
    TestWindows test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}
#include "tst_windows.moc"
