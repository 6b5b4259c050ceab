// tst_windows.cpp - vesk-mcp's Win32 side driven for real: named pipes, the account check, binary
// stdin, console-less logging, the help text's bytes and the exit codes of vesk-mcp.exe
#include "rig.h"

#include "io/nativeio.h"
#include "mcp/peeraccount.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLocalServer>
#include <QLocalSocket>
#include <QProcess>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

using namespace ves::mcp;

namespace {

constexpr int longWait = 30000; // a wine process may take seconds to start

QString mcpProgram()
{
    return QString::fromUtf8(VESK_MCP_PATH);
}

// stderr keeps the C runtime's text mode (only stdin and stdout are switched to binary), so each
// LF that the program writes there arrives as CR LF.
QByteArray stderrText(QByteArray text)
{
    return text.replace('\n', "\r\n");
}

QByteArray jsonLine(const QJsonObject &object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Compact) + '\n';
}

const QByteArray initializeLine
        = R"({"jsonrpc":"2.0","id":1,"method":"initialize","params":{"protocolVersion":"2025-06-18",)"
          R"("capabilities":{},"clientInfo":{"name":"win-test","version":"1"}}})"
          "\n";
const QByteArray initializedLine = R"({"jsonrpc":"2.0","method":"notifications/initialized"})"
                                   "\n";

// vesk-mcp.exe started the way an AI client starts it: pipes on all three streams and no console
// window. The test runner's QT_FORCE_STDERR_LOGGING is not passed on: the program's log must reach
// stderr without Qt's help.
class Client
{
public:
    explicit Client(const QStringList &arguments, DWORD creationFlags = CREATE_NO_WINDOW)
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.remove(QStringLiteral("QT_FORCE_STDERR_LOGGING"));
        environment.remove(QStringLiteral("VESK_MCP_PIPE"));
        environment.remove(QStringLiteral("VESK_MCP_TIMEOUT"));
        environment.remove(QStringLiteral("VESK_MCP_VERBOSE"));
        process.setProcessEnvironment(environment);
        process.setCreateProcessArgumentsModifier(
                [this, creationFlags](QProcess::CreateProcessArguments *args) {
                    args->flags = (args->flags & ~DWORD(CREATE_NO_WINDOW)) | creationFlags;
                    if (stdoutHandle) {
                        args->startupInfo->hStdOutput = stdoutHandle;
                        args->inheritHandles = true;
                    }
                });
        QObject::connect(&process, &QProcess::readyReadStandardOutput, [this] {
            out += process.readAllStandardOutput();
        });
        QObject::connect(&process, &QProcess::readyReadStandardError, [this] {
            err += process.readAllStandardError();
        });
        process.setProgram(mcpProgram());
        process.setArguments(arguments);
    }

    ~Client()
    {
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished(longWait);
        }
    }

    bool start()
    {
        process.start();
        return process.waitForStarted(longWait);
    }

    void send(const QByteArray &bytes) { process.write(bytes); }

    // Closes stdin and waits for the end; false when the program does not end by itself.
    bool finish()
    {
        process.closeWriteChannel();
        const bool ended = process.waitForFinished(longWait);
        out += process.readAllStandardOutput();
        err += process.readAllStandardError();
        return ended && process.exitStatus() == QProcess::NormalExit;
    }

    // The first response on stdout whose id is id; an empty object when there is none yet.
    QJsonObject response(const QJsonValue &id) const
    {
        for (const QByteArray &line : out.split('\n')) {
            const QJsonObject message = QJsonDocument::fromJson(line).object();
            if (message.value(QLatin1String("id")) == QJsonValue(id))
                return message;
        }
        return {};
    }

    bool waitForResponse(const QJsonValue &id)
    {
        return QTest::qWaitFor([&] { return !response(id).isEmpty(); }, longWait);
    }

    bool waitForLog(const QByteArray &line)
    {
        return QTest::qWaitFor([&] { return err.contains(line); }, longWait);
    }

    // What to print when a check fails: everything the program said.
    void dump() const
    {
        const QByteArray text = report();
        std::fwrite(text.constData(), 1, std::size_t(text.size()), stderr);
        std::fflush(stderr);
    }
    QByteArray report() const
    {
        return "\n--- vesk-mcp stderr ---\n" + err + "--- vesk-mcp stdout ---\n" + out
               + "--- state: " + QByteArray::number(int(process.state())) + ", exit code "
               + QByteArray::number(process.exitCode()) + '\n';
    }

    QProcess process;
    QByteArray out;
    QByteArray err;
    HANDLE stdoutHandle = nullptr; // replaces QProcess's stdout pipe when set
};

// On failure, everything the child said goes to stderr first: QtTest cuts long messages.
#define CHILD_VERIFY(condition, client)                                                            \
    do {                                                                                           \
        const bool holds = (condition);                                                            \
        if (!holds)                                                                                \
            (client).dump();                                                                       \
        QVERIFY2(holds, #condition);                                                               \
    } while (false)

// The text of a tool result's first content item.
QString resultText(const QJsonObject &response)
{
    return response.value(QLatin1String("result"))
            .toObject()
            .value(QLatin1String("content"))
            .toArray()
            .first()
            .toObject()
            .value(QLatin1String("text"))
            .toString();
}

// Vesk Studio's end of the pipe in this process: records the requests it receives and answers
// "tools/call" and "tools/list" at once.
class FarEnd
{
public:
    FarEnd()
    {
        QObject::connect(&server, &QLocalServer::newConnection, [this] {
            while (QLocalSocket *s = server.nextPendingConnection()) {
                sockets.append(s);
                QObject::connect(s, &QLocalSocket::readyRead, [this, s] { readFrom(s); });
            }
        });
    }

    bool listen(const QString &name)
    {
        QLocalServer::removeServer(name);
        return server.listen(name);
    }

    QLocalServer server;
    QList<QLocalSocket *> sockets; // children of server
    QList<QJsonObject> requests;
    QByteArray received; // every byte read from any client
    QJsonObject callResult{
            {QLatin1String("content"),
             QJsonArray{QJsonObject{{QLatin1String("type"), QLatin1String("text")},
                                    {QLatin1String("text"),
                                     QString::fromUtf8("Đã vẽ tường W1.\nWall W1 drawn.")}}}},
            {QLatin1String("isError"), false},
            {QLatin1String("structuredContent"),
             QJsonObject{{QLatin1String("id"), QLatin1String("W1")}}}};

private:
    void readFrom(QLocalSocket *s)
    {
        const QByteArray bytes = s->readAll();
        received += bytes;
        pending[s] += bytes;
        for (int end; (end = pending[s].indexOf('\n')) >= 0;) {
            const QJsonObject request = QJsonDocument::fromJson(pending[s].left(end)).object();
            pending[s].remove(0, end + 1);
            requests.append(request);
            const QJsonValue id = request.value(QLatin1String("id"));
            const QString method = request.value(QLatin1String("method")).toString();
            if (method == QLatin1String("tools/call"))
                s->write(jsonLine(
                        {{QLatin1String("id"), id}, {QLatin1String("result"), callResult}}));
            else if (method == QLatin1String("tools/list"))
                s->write(jsonLine(
                        {{QLatin1String("id"), id},
                         {QLatin1String("result"),
                          QJsonObject{{QLatin1String("tools"),
                                       QJsonArray{QJsonObject{
                                               {QLatin1String("name"), QLatin1String("add_wall")},
                                               {QLatin1String("inputSchema"),
                                                QJsonObject{{QLatin1String("type"),
                                                             QLatin1String("object")}}}}}}}}}));
            s->flush();
        }
    }

    QHash<QLocalSocket *, QByteArray> pending;
};

// Sends descriptor 2 to a file while it lives, so that McpServer::log, which writes with fwrite to
// stderr, can be read back in this process.
class StderrCapture
{
public:
    StderrCapture()
    {
        std::fflush(stderr);
        saved = _dup(2);
        const int file = _wopen(reinterpret_cast<const wchar_t *>(path().utf16()),
                                _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY,
                                _S_IREAD | _S_IWRITE);
        _dup2(file, 2);
        _close(file);
    }
    ~StderrCapture() { restore(); }

    // Ends the capture and returns what was written.
    QByteArray take()
    {
        restore();
        QFile file(path());
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("(capture lost)");
    }

private:
    QString path() const { return directory.filePath(QStringLiteral("stderr.txt")); }
    void restore()
    {
        if (saved < 0)
            return;
        std::fflush(stderr);
        _dup2(saved, 2);
        _close(saved);
        saved = -1;
    }

    QTemporaryDir directory;
    int saved = -1;
};

// The account check's system calls with faults put in: every call is counted, and the user SID of
// one side can be altered after the real call has read it.
enum class Fault { None, NoPid, NoProcess, ServerSidByte, ServerSidLonger, NoServerSid, NoOwnSid };
Fault fault = Fault::None;
int openCalls = 0;
int opened = 0;
int closed = 0;
int sidReads = 0;

std::uint32_t probeServerProcessId(native::Handle pipe)
{
    const std::uint32_t pid = native::pipeServerProcessId(pipe);
    return fault == Fault::NoPid ? 0 : pid;
}

native::Handle probeOpenProcess(std::uint32_t pid)
{
    ++openCalls;
    if (fault == Fault::NoProcess)
        return 0;
    const native::Handle process = native::openProcessForQuery(pid);
    if (process != 0)
        ++opened;
    return process;
}

void probeCloseProcess(native::Handle process)
{
    ++closed;
    native::closeProcess(process);
}

std::string probeUserSid(native::Handle process)
{
    ++sidReads;
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
    void initTestCase();
    void accountCallsOnARealPipe();
    void toolCallRelayedOverANamedPipe();
    void standInInAnotherProcess();
    void refusals_data();
    void refusals();
    void stdinIsBinary();
    void helpIsUtf8WhenRedirected();
    void pipeNameFromAUnicodeUserName_data();
    void pipeNameFromAUnicodeUserName();
    void exitCodes_data();
    void exitCodes();
    void closedStdoutEndsWithOne();
    void logReachesStderrWithoutConsole_data();
    void logReachesStderrWithoutConsole();
};

void TestWindows::initTestCase()
{
    QVERIFY2(QFileInfo::exists(mcpProgram()), qPrintable(mcpProgram()));
}

// The four platform calls on a pipe that this process serves and connects to.
void TestWindows::accountCallsOnARealPipe()
{
    const QString name = uniquePipeName();
    QLocalServer server;
    QLocalServer::removeServer(name);
    QVERIFY(server.listen(name));
    QLocalSocket client;
    client.connectToServer(name);
    QVERIFY(client.waitForConnected(longWait));

    const auto pipe = native::Handle(client.socketDescriptor());
    QVERIFY(pipe != 0 && pipe != -1);
    const std::uint32_t pid = native::pipeServerProcessId(pipe);
    QCOMPARE(pid, std::uint32_t(QCoreApplication::applicationPid()));

    const native::Handle process = native::openProcessForQuery(pid);
    QVERIFY(process != 0);
    const std::string serverSid = native::userSid(process);
    native::closeProcess(process);
    const std::string ownSid = native::userSid(native::currentProcess());
    QVERIFY(!ownSid.empty());
    QCOMPARE(serverSid, ownSid);
    // A SID: revision 1, the number of sub-authorities, 6 bytes of authority, 4 per sub-authority.
    QCOMPARE(int(ownSid[0]), 1);
    QCOMPARE(ownSid.size(), std::size_t(8 + 4 * static_cast<unsigned char>(ownSid[1])));

    // Failures come back as "none", never as a wrong answer.
    QCOMPARE(native::pipeServerProcessId(0), std::uint32_t(0));
    QCOMPARE(native::pipeServerProcessId(-1), std::uint32_t(0));
    QCOMPARE(native::userSid(0), std::string());
    QTemporaryDir directory;
    const QString filePath = QDir::toNativeSeparators(directory.filePath(QStringLiteral("f")));
    HANDLE file = CreateFileW(reinterpret_cast<const wchar_t *>(filePath.utf16()),
                              GENERIC_READ | GENERIC_WRITE,
                              0,
                              nullptr,
                              CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL,
                              nullptr);
    QVERIFY(file != INVALID_HANDLE_VALUE);
    const std::uint32_t filePid = native::pipeServerProcessId(native::Handle(file));
    CloseHandle(file);
    QCOMPARE(filePid, std::uint32_t(0));
}

// A whole tool call: vesk-mcp.exe connects to this process's pipe, the real account check accepts
// it, the request goes out with the program's own id and the answer comes back unchanged.
void TestWindows::toolCallRelayedOverANamedPipe()
{
    const QString name = uniquePipeName();
    FarEnd app;
    QVERIFY(app.listen(name));
    Client client(
            {QStringLiteral("--pipe"), name, QStringLiteral("--poll-ms"), QStringLiteral("0")});
    QVERIFY2(client.start(), qPrintable(client.process.errorString()));

    client.send(initializeLine + initializedLine);
    client.send(R"({"jsonrpc":"2.0","id":2,"method":"tools/list"})"
                "\n");
    client.send(R"({"jsonrpc":"2.0","id":"call-3","method":"tools/call","params":)"
                R"({"name":"add_wall","arguments":{"x1":0,"y1":0,"x2":5000,"y2":0}}})"
                "\n");
    CHILD_VERIFY(client.waitForResponse(2), client);
    const QByteArray connectedLine
            = stderrText("vesk-mcp: connected to Vesk Studio (" + name.toUtf8() + ")\n");
    CHILD_VERIFY(client.waitForLog(connectedLine), client);
    CHILD_VERIFY(client.waitForResponse(QLatin1String("call-3")), client);
    CHILD_VERIFY(client.finish(), client);
    QCOMPARE(client.process.exitCode(), 0);
    CHILD_VERIFY(!client.err.contains("refusing pipe"), client);

    // the tool list: the application's tool with the status tool merged in
    QStringList names;
    const QJsonArray tools = client.response(2)
                                     .value(QLatin1String("result"))
                                     .toObject()
                                     .value(QLatin1String("tools"))
                                     .toArray();
    for (const QJsonValue &tool : tools)
        names.append(tool.toObject().value(QLatin1String("name")).toString());
    QCOMPARE(names, QStringList({QStringLiteral("add_wall"), QStringLiteral("vesk_status")}));

    // the call went out as {"id", "method", "params"} and its result came back unchanged
    QJsonObject call;
    for (const QJsonObject &request : app.requests) {
        if (request.value(QLatin1String("method")) == QJsonValue(QLatin1String("tools/call")))
            call = request;
    }
    QCOMPARE(call.keys(),
             QStringList(
                     {QStringLiteral("id"), QStringLiteral("method"), QStringLiteral("params")}));
    QVERIFY(call.value(QLatin1String("id")).toInt() > 0);
    const QJsonObject params = call.value(QLatin1String("params")).toObject();
    QCOMPARE(params.value(QLatin1String("name")).toString(), QStringLiteral("add_wall"));
    QCOMPARE(params.value(QLatin1String("arguments")).toObject().value(QLatin1String("x2")).toInt(),
             5000);
    QCOMPARE(client.response(QLatin1String("call-3")).value(QLatin1String("result")).toObject(),
             app.callResult);
    QVERIFY(!client.out.contains('\r'));
}

// Both ends are wine (or Windows) processes of their own: vesk-studio-sim.exe serves the pipe, and
// the account calls name it, not this process; vesk-mcp.exe relays a call with progress to it.
void TestWindows::standInInAnotherProcess()
{
#ifndef VESK_SIM_PATH
    QSKIP("vesk-studio-sim is not part of this build");
#else
    const QString name = uniquePipeName();
    QProcess sim;
    QByteArray simErr;
    connect(&sim, &QProcess::readyReadStandardError, this, [&] {
        simErr += sim.readAllStandardError();
    });
    sim.setCreateProcessArgumentsModifier(
            [](QProcess::CreateProcessArguments *args) { args->flags |= CREATE_NO_WINDOW; });
    sim.start(QString::fromUtf8(VESK_SIM_PATH), {QStringLiteral("--pipe"), name});
    const auto stopSim = qScopeGuard([&] {
        sim.kill();
        sim.waitForFinished(longWait);
    });
    QVERIFY2(sim.waitForStarted(longWait), qPrintable(sim.errorString()));
    QVERIFY2(QTest::qWaitFor([&] { return simErr.contains("sim: listening on "); }, longWait),
             simErr.constData());

    QLocalSocket probe;
    probe.connectToServer(name);
    QVERIFY(probe.waitForConnected(longWait));
    const std::uint32_t pid = native::pipeServerProcessId(native::Handle(probe.socketDescriptor()));
    QCOMPARE(qint64(pid), sim.processId());
    QVERIFY(pid != std::uint32_t(QCoreApplication::applicationPid()));
    const native::Handle process = native::openProcessForQuery(pid);
    QVERIFY(process != 0);
    const std::string simSid = native::userSid(process);
    native::closeProcess(process);
    QVERIFY(!simSid.empty());
    QCOMPARE(simSid, native::userSid(native::currentProcess()));
    probe.disconnectFromServer();

    Client client(
            {QStringLiteral("--pipe"), name, QStringLiteral("--poll-ms"), QStringLiteral("0")});
    QVERIFY2(client.start(), qPrintable(client.process.errorString()));
    client.send(initializeLine + initializedLine);
    client.send(
            R"({"jsonrpc":"2.0","id":2,"method":"tools/list"})"
            "\n"
            R"({"jsonrpc":"2.0","id":3,"method":"tools/call","params":{"name":"add_wall",)"
            R"("arguments":{"x1":0,"y1":0,"x2":4000,"y2":0}}})"
            "\n"
            R"({"jsonrpc":"2.0","id":4,"method":"tools/call","params":{"name":"render_preview",)"
            R"("arguments":{"steps":2,"stepMs":10},"_meta":{"progressToken":"tok"}}})"
            "\n");
    CHILD_VERIFY(client.waitForResponse(4), client);
    CHILD_VERIFY(client.waitForResponse(3), client);
    CHILD_VERIFY(client.waitForResponse(2), client);
    CHILD_VERIFY(client.err.contains(stderrText("vesk-mcp: connected to Vesk Studio ("
                                                + name.toUtf8() + ")\n")),
                 client);
    CHILD_VERIFY(client.finish(), client);
    QCOMPARE(client.process.exitCode(), 0);

    QStringList names;
    const QJsonArray tools = client.response(2)
                                     .value(QLatin1String("result"))
                                     .toObject()
                                     .value(QLatin1String("tools"))
                                     .toArray();
    for (const QJsonValue &tool : tools)
        names.append(tool.toObject().value(QLatin1String("name")).toString());
    CHILD_VERIFY(names.contains(QLatin1String("add_wall")), client);
    CHILD_VERIFY(names.contains(QLatin1String("vesk_status")), client);
    for (int id : {3, 4}) {
        const QJsonObject result = client.response(id).value(QLatin1String("result")).toObject();
        CHILD_VERIFY(result.value(QLatin1String("isError")) == QJsonValue(false), client);
        CHILD_VERIFY(!resultText(client.response(id)).isEmpty(), client);
    }
    // progress reached the client under the client's token, before the call's answer
    int progress = 0;
    for (const QByteArray &line : client.out.split('\n')) {
        const QJsonObject message = QJsonDocument::fromJson(line).object();
        if (message.value(QLatin1String("id")) == QJsonValue(4))
            break;
        if (message.value(QLatin1String("method"))
                    == QJsonValue(QLatin1String("notifications/progress"))
            && message.value(QLatin1String("params"))
                               .toObject()
                               .value(QLatin1String("progressToken"))
                       == QJsonValue(QLatin1String("tok")))
            ++progress;
    }
    CHILD_VERIFY(progress >= 1, client);
#endif
}

void TestWindows::refusals_data()
{
    QTest::addColumn<int>("faultIn");
    QTest::addColumn<QString>("reason"); // %1 = the server's pid; empty = accepted
    QTest::addColumn<int>("sidReadsExpected");

    QTest::newRow("same account, through the real calls") << int(Fault::None) << QString() << 2;
    QTest::newRow("server SID differs in its last byte")
            << int(Fault::ServerSidByte)
            << QStringLiteral("server process %1 belongs to another account") << 2;
    QTest::newRow("server SID is longer")
            << int(Fault::ServerSidLonger)
            << QStringLiteral("server process %1 belongs to another account") << 2;
    QTest::newRow("server token cannot be read")
            << int(Fault::NoServerSid)
            << QStringLiteral("server process %1 belongs to another account") << 2;
    QTest::newRow("own token cannot be read")
            << int(Fault::NoOwnSid)
            << QStringLiteral("server process %1 belongs to another account") << 2;
    QTest::newRow("server process cannot be opened")
            << int(Fault::NoProcess) << QStringLiteral("cannot open server process %1") << 0;
    QTest::newRow("server process cannot be identified")
            << int(Fault::NoPid) << QStringLiteral("cannot identify the server process") << 0;
}

// The account check in this process over a real pipe, with faults put in through AccountProbe:
// wine gives every process the same SID and grants every OpenProcess, so the refusals can only be
// reached this way. The server end is this process, so its pid is ours.
void TestWindows::refusals()
{
    QFETCH(int, faultIn);
    QFETCH(QString, reason);
    QFETCH(int, sidReadsExpected);
    fault = Fault(faultIn);
    const auto noFaultAfterwards = qScopeGuard([] { fault = Fault::None; });
    openCalls = opened = closed = sidReads = 0;

    Rig rig;
    QVERIFY(rig.listen());
    QByteArray received;
    QLocalSocket *peer = nullptr;
    connect(&rig.app, &QLocalServer::newConnection, this, [&] {
        peer = rig.app.nextPendingConnection();
        connect(peer, &QLocalSocket::readyRead, this, [&] { received += peer->readAll(); });
    });
    AccountProbe probe;
    probe.serverProcessId = probeServerProcessId;
    probe.openProcess = probeOpenProcess;
    probe.closeProcess = probeCloseProcess;
    probe.userSid = probeUserSid;
    rig.server->setAccountProbe(probe);

    StderrCapture capture;
    rig.send(R"({"jsonrpc":"2.0","id":5,"method":"tools/call","params":{"name":"add_wall"}})");
    const bool accepted = reason.isEmpty();
    if (accepted)
        QTRY_VERIFY_WITH_TIMEOUT(received.contains("\"tools/call\""), longWait);
    else
        QTRY_COMPARE_WITH_TIMEOUT(rig.sent.size(), 1, longWait);
    const QByteArray log = capture.take();

    QCOMPARE(openCalls, fault == Fault::NoPid ? 0 : 1);
    QCOMPARE(opened, closed); // no process handle left open
    QCOMPARE(sidReads, sidReadsExpected);
    QCOMPARE(rig.server->isConnected(), accepted);
    const QByteArray pid = QByteArray::number(QCoreApplication::applicationPid());
    if (accepted) {
        QVERIFY2(log.contains("vesk-mcp: connected to Vesk Studio (" + rig.pipeName.toUtf8()
                              + ")\n"),
                 log.constData());
        QVERIFY2(!log.contains("refusing"), log.constData());
        return;
    }
    const QByteArray refusal
            = "vesk-mcp: refusing pipe " + rig.pipeName.toUtf8() + ": "
              + QString(reason).replace(QLatin1String("%1"), QString::fromLatin1(pid)).toUtf8()
              + '\n';
    QVERIFY2(log.contains(refusal), log.constData());
    QCOMPARE(log.count("refusing pipe"), 1);
    QVERIFY2(!log.contains("connected to Vesk Studio ("), log.constData());
    // answered without Vesk Studio, and not a byte reached the pipe
    const QJsonObject response = rig.last();
    QCOMPARE(response.value(QLatin1String("id")).toInt(), 5);
    QVERIFY(resultText(response).contains(QLatin1String("Tool \"add_wall\" is not available.")));
    // The server end learns of the connection on its own time; by then the client end is gone.
    QTRY_VERIFY_WITH_TIMEOUT(peer != nullptr, longWait);
    QTRY_COMPARE_WITH_TIMEOUT(peer->state(), QLocalSocket::UnconnectedState, longWait);
    QCOMPARE(received, QByteArray());
}

// Without binary mode the C runtime ends the input at a 0x1A byte. The tool name carries one (and
// a bare CR) inside its string and must come back whole; the ping after it must still be read.
void TestWindows::stdinIsBinary()
{
    Client client({QStringLiteral("--pipe"),
                   uniquePipeName(), // nobody serves it
                   QStringLiteral("--poll-ms"),
                   QStringLiteral("0")});
    QVERIFY2(client.start(), qPrintable(client.process.errorString()));
    client.send("{\"jsonrpc\":\"2.0\",\"id\":7,\"method\":\"tools/call\",\"params\":"
                "{\"name\":\"a\x1A\rb\",\"arguments\":{}}}\r\n"
                "{\"jsonrpc\":\"2.0\",\"id\":8,\"method\":\"ping\"}\r\n");
    CHILD_VERIFY(client.finish(), client);
    QCOMPARE(client.process.exitCode(), 0);
    const QString expected
            = QStringLiteral("Tool \"a") + QChar(0x1A) + QStringLiteral("\rb\" is not available.");
    CHILD_VERIFY(resultText(client.response(7)).contains(expected), client);
    QCOMPARE(client.response(8).value(QLatin1String("result")).toObject(), QJsonObject());
    CHILD_VERIFY(!client.out.contains('\r'), client); // stdout is binary too
    CHILD_VERIFY(client.out.endsWith("}\n"), client);
}

// Redirected, the help text is UTF-8 without a byte-order mark, lines end in LF, and the paths
// for the registration commands are the program's own, in native form.
void TestWindows::helpIsUtf8WhenRedirected()
{
    Client client({QStringLiteral("--help")});
    QVERIFY2(client.start(), qPrintable(client.process.errorString()));
    CHILD_VERIFY(client.finish(), client);
    QCOMPARE(client.process.exitCode(), 0);
    const QByteArray &help = client.out;
    QVERIFY2(help.startsWith("vesk-mcp 0.6.0 - MCP server for Vesk Studio\n\n"), help.constData());
    QVERIFY(help.endsWith("is sent to the AI service you chose and is subject to its terms.\n"));
    QVERIFY(!help.contains('\r'));
    QCOMPARE(help.count("\xE2\x80\xBA"), 4); // U+203A
    QVERIFY(help.contains(
            "Tools \xE2\x80\xBA AI Connection (C\xC3\xB4ng c\xE1\xBB\xA5 \xE2\x80\xBA "
            "K\xE1\xBA\xBFt n\xE1\xBB\x91i AI).\n"));
    QVERIFY(help.contains(
            "  Claude Desktop: Settings \xE2\x80\xBA Developer \xE2\x80\xBA Edit Config"));

    const QString path = QDir::toNativeSeparators(QFileInfo(mcpProgram()).absoluteFilePath());
    QVERIFY2(path.contains(QLatin1Char('\\')) && !path.contains(QLatin1Char('/')),
             qPrintable(path));
    const QString text = QString::fromUtf8(help);
    QVERIFY2(text.contains(QLatin1String("    claude mcp add vesk -- \"") + path
                                   + QLatin1String("\"\n"),
                           Qt::CaseInsensitive),
             help.constData());
    QString doubled = path;
    doubled.replace(QLatin1String("\\"), QLatin1String("\\\\"));
    QVERIFY2(text.contains(QLatin1String("          \"command\": \"") + doubled
                                   + QLatin1String("\"\n"),
                           Qt::CaseInsensitive),
             help.constData());
    QVERIFY(client.err.isEmpty());
}

void TestWindows::pipeNameFromAUnicodeUserName_data()
{
    QTest::addColumn<QString>("userName");
    QTest::addColumn<QByteArray>("expected");
    QTest::newRow("Vietnamese letters and spaces")
            << QString::fromUtf8("Nguyễn Văn A") << QByteArray("vesk-studio-mcp-Nguy_n_V_n_A\n");
    QTest::newRow("a character outside the BMP is two UTF-16 units")
            << QString::fromUtf8("a\xF0\x9F\x98\x80z") << QByteArray("vesk-studio-mcp-a__z\n");
}

// Windows keeps the environment in UTF-16, and the program reads USERNAME from there: one
// underscore per UTF-16 unit, not per UTF-8 byte.
void TestWindows::pipeNameFromAUnicodeUserName()
{
    QFETCH(QString, userName);
    QFETCH(QByteArray, expected);
    Client client({QStringLiteral("--print-pipe-name")});
    QProcessEnvironment environment = client.process.processEnvironment();
    environment.insert(QStringLiteral("USERNAME"), userName);
    client.process.setProcessEnvironment(environment);
    QVERIFY2(client.start(), qPrintable(client.process.errorString()));
    CHILD_VERIFY(client.finish(), client);
    QCOMPARE(client.process.exitCode(), 0);
    QCOMPARE(client.out, expected);
}

void TestWindows::exitCodes_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QByteArray>("expectedErr"); // exact
    QTest::addColumn<QByteArray>("expectedOut"); // exact

    QTest::newRow("unknown option")
            << QStringList{QStringLiteral("--bogus")} << QByteArray() << 2
            << QByteArray("vesk-mcp: unknown option \"--bogus\" (see --help)\n") << QByteArray();
    QTest::newRow("unknown option, not ASCII, comes back as UTF-8")
            << QStringList{QString::fromUtf8("--b\xC3\xB6gus-\xE2\x80\xBA")} << QByteArray() << 2
            << QByteArray("vesk-mcp: unknown option \"--b\xC3\xB6gus-\xE2\x80\xBA\" (see --help)\n")
            << QByteArray();
    QTest::newRow("invalid value")
            << QStringList{QStringLiteral("--timeout"), QStringLiteral("abc")} << QByteArray() << 2
            << QByteArray("vesk-mcp: invalid value for --timeout (see --help)\n") << QByteArray();
    QTest::newRow("version") << QStringList{QStringLiteral("-v")} << QByteArray() << 0
                             << QByteArray()
                             << QByteArray("vesk-mcp 0.6.0 (Vesk Studio MCP server; MCP protocol "
                                           "2025-11-25, 2025-06-18, 2025-03-26, 2024-11-05)\n");
    QTest::newRow("end of input") << QStringList{QStringLiteral("--pipe"),
                                                 uniquePipeName(),
                                                 QStringLiteral("--poll-ms"),
                                                 QStringLiteral("0")}
                                  << QByteArray(R"({"jsonrpc":"2.0","id":1,"method":"ping"})") << 0
                                  << QByteArray()
                                  << QByteArray(R"({"id":1,"jsonrpc":"2.0","result":{}})"
                                                "\n");
}

// Exit codes go through _exit (after a run) and main's return (before one).
void TestWindows::exitCodes()
{
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, input);
    QFETCH(int, exitCode);
    QFETCH(QByteArray, expectedErr);
    QFETCH(QByteArray, expectedOut);

    Client client(arguments);
    QVERIFY2(client.start(), qPrintable(client.process.errorString()));
    client.send(input);
    CHILD_VERIFY(client.finish(), client);
    QCOMPARE(client.process.exitCode(), exitCode);
    QCOMPARE(client.err, stderrText(expectedErr));
    QCOMPARE(client.out, expectedOut);
}

// stdout is a pipe whose reader is gone: the first response fails to be written, which is
// reported on stderr and ends the program with 1 (there is no SIGPIPE to kill it first).
void TestWindows::closedStdoutEndsWithOne()
{
    SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE readEnd = nullptr;
    HANDLE writeEnd = nullptr;
    QVERIFY(CreatePipe(&readEnd, &writeEnd, &inheritable, 0));
    CloseHandle(readEnd);

    Client client({QStringLiteral("--pipe"),
                   uniquePipeName(),
                   QStringLiteral("--poll-ms"),
                   QStringLiteral("0")});
    client.stdoutHandle = writeEnd;
    const bool started = client.start();
    CloseHandle(writeEnd); // the child holds the only copy now
    QVERIFY2(started, qPrintable(client.process.errorString()));
    client.send(R"({"jsonrpc":"2.0","id":1,"method":"ping"})"
                "\n");
    CHILD_VERIFY(QTest::qWaitFor([&] { return client.process.state() == QProcess::NotRunning; },
                                 longWait),
                 client);
    client.err += client.process.readAllStandardError();
    QCOMPARE(client.process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(client.process.exitCode(), 1);
    CHILD_VERIFY(client.err.startsWith(stderrText("vesk-mcp: cannot write to stdout, exiting\n")),
                 client);
}

void TestWindows::logReachesStderrWithoutConsole_data()
{
    QTest::addColumn<quint32>("creationFlags");
    QTest::newRow("console without window (CREATE_NO_WINDOW)") << quint32(CREATE_NO_WINDOW);
    QTest::newRow("no console at all (DETACHED_PROCESS)") << quint32(DETACHED_PROCESS);
}

// Started without a console window, as AI clients start it, Qt would send its own logging to
// OutputDebugString; the program's log must still be on stderr, byte for byte.
void TestWindows::logReachesStderrWithoutConsole()
{
    QFETCH(quint32, creationFlags);

    // First the trap itself: a Qt program started this way has no console window, and what it
    // logs through Qt does not reach stderr.
    Client qtProgram({QStringLiteral("--qt-log-probe")}, creationFlags);
    qtProgram.process.setProgram(QCoreApplication::applicationFilePath());
    QVERIFY2(qtProgram.start(), qPrintable(qtProgram.process.errorString()));
    CHILD_VERIFY(qtProgram.finish(), qtProgram);
    CHILD_VERIFY(qtProgram.out.startsWith("console window: no"), qtProgram);
    CHILD_VERIFY(!qtProgram.err.contains("qt-log-probe"), qtProgram);

    const QString name = uniquePipeName(); // nobody serves it
    Client client({QStringLiteral("--verbose"), QStringLiteral("--pipe"), name}, creationFlags);
    QVERIFY2(client.start(), qPrintable(client.process.errorString()));
    client.send(initializeLine + initializedLine);
    CHILD_VERIFY(client.waitForLog(stderrText("vesk-mcp: Vesk Studio is not reachable ("
                                              + name.toUtf8() + ")\n")),
                 client);
    CHILD_VERIFY(client.finish(), client);
    QCOMPARE(client.process.exitCode(), 0);
    CHILD_VERIFY(client.err.contains(stderrText("vesk-mcp: <- " + initializeLine)), client);
    CHILD_VERIFY(client.err.contains("vesk-mcp: -> {\"id\":1,\"jsonrpc\":\"2.0\",\"result\":{"),
                 client);
    CHILD_VERIFY(client.err.endsWith("\r\n"), client);
    for (const QByteArray &line : client.err.split('\n')) {
        if (!line.isEmpty())
            CHILD_VERIFY(line.startsWith("vesk-mcp: ") && line.endsWith('\r'), client);
    }
    QVERIFY(!client.response(1).isEmpty());
}

// With --qt-log-probe this program only logs a line through Qt and tells whether it has a console
// window: the control case of logReachesStderrWithoutConsole.
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
