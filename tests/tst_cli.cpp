// tst_cli.cpp - the built vesk-mcp end to end: texts, option errors, exit codes, a session on stdio
#include "testsupport.h"

#include "app/options.h"

#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>

#include <algorithm>

#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <unistd.h>
#endif

using namespace ves::mcp;
using namespace ves::mcp::testing;

namespace {

struct Run
{
    bool finished = false; // ended by itself within the wait, not by a crash
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
};

// variables: NAME=value to set, -NAME to remove, on top of this process's environment
QProcessEnvironment environmentWith(const QStringList &variables)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const QString &variable : variables) {
        if (variable.startsWith(QLatin1Char('-'))) {
            environment.remove(variable.mid(1));
        } else {
            const qsizetype equals = variable.indexOf(QLatin1Char('='));
            environment.insert(variable.left(equals), variable.mid(equals + 1));
        }
    }
    return environment;
}

// stdout as parsed lines; every line must be compact JSON ended by a lone LF
bool parseLines(const QByteArray &out, QJsonArray *lines)
{
    if (!out.isEmpty() && !out.endsWith('\n'))
        return false;
    const QList<QByteArray> parts = out.split('\n');
    for (qsizetype i = 0; i + 1 < parts.size(); ++i) {
        const QJsonDocument document = QJsonDocument::fromJson(parts.at(i));
        if (document.isNull() || document.toJson(QJsonDocument::Compact) != parts.at(i))
            return false;
        lines->append(document.isArray() ? QJsonValue(document.array())
                                         : QJsonValue(document.object()));
    }
    return true;
}

const QByteArray initializeLine
        = R"({"jsonrpc":"2.0","id":1,"method":"initialize","params":{"protocolVersion":"2025-06-18","clientInfo":{"name":"tester %1","version":"2.0"}}})"
          "\n";
const QByteArray pingLine = R"({"jsonrpc":"2.0","id":"p","method":"ping"})";

} // namespace

class TestCli : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();
    void informational_data();
    void informational();
    void helpInDirectoryWithPlaceholders();
    void session();
    void logLines_data();
    void logLines();
    void input_data();
    void input();
    void closedStdout();
    void closedStdoutAfterEndOfInput();
    void undrainedStderr();

private:
    Run run(const QStringList &arguments,
            const QByteArray &input,
            const QStringList &variables = {},
            const QString &program = QString(),
            bool endInput = true);
    QString program;
    QByteArray lastStderr;
};

void TestCli::initTestCase()
{
    QVERIFY2(QFileInfo::exists(QStringLiteral(VESK_MCP_PATH)), VESK_MCP_PATH);
    program = QFileInfo(QStringLiteral(VESK_MCP_PATH)).canonicalFilePath();
    // The children inherit a known account and none of the program's own variables.
    qputenv("USERNAME", "cli_user");
    for (const char *name :
         {"USER", "LOGNAME", "VESK_MCP_PIPE", "VESK_MCP_TIMEOUT", "VESK_MCP_VERBOSE"})
        qunsetenv(name);
}

void TestCli::cleanup()
{
    if (QTest::currentTestFailed())
        qWarning("stderr of vesk-mcp:\n%s", lastStderr.constData());
    lastStderr.clear();
}

Run TestCli::run(const QStringList &arguments,
                 const QByteArray &input,
                 const QStringList &variables,
                 const QString &other,
                 bool endInput)
{
    Run result;
    QProcess process;
    process.setProcessEnvironment(environmentWith(variables));
    process.start(other.isEmpty() ? program : other, arguments);
    if (!process.waitForStarted(30000))
        return result;
    process.write(input);
    if (endInput)
        process.closeWriteChannel();
    result.finished
            = process.waitForFinished(60000) && process.exitStatus() == QProcess::NormalExit;
    if (!result.finished) {
        process.kill();
        process.waitForFinished(5000);
    }
    result.exitCode = process.exitCode();
    result.out = process.readAllStandardOutput();
    result.err = process.readAllStandardError();
#ifdef Q_OS_WIN
    // stderr keeps the C runtime's text mode there, which writes each LF as CR LF.
    result.err.replace("\r\n", "\n");
#endif
    lastStderr = result.err;
    return result;
}

void TestCli::informational_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QStringList>("variables");
    QTest::addColumn<QByteArray>("out"); // @HELP@: the help text for the built program
    QTest::addColumn<QByteArray>("err"); // not empty: exit code 2, else 0

    const QByteArray help = "@HELP@";
    const QByteArray version = "vesk-mcp 0.6.0 (Vesk Studio MCP server; MCP protocol 2025-11-25, "
                               "2025-06-18, 2025-03-26, 2024-11-05)\n";
    const QByteArray none;
    const auto row = [](const char *sentence) -> QTestData & { return QTest::newRow(sentence); };
    const auto invalid = [](const char *option) {
        return "vesk-mcp: invalid value for " + QByteArray(option) + " (see --help)\n";
    };
    const auto unknown = [](const QByteArray &argument) {
        return "vesk-mcp: unknown option \"" + argument + "\" (see --help)\n";
    };
    row("--help prints the help") << QStringList{"--help"} << QStringList() << help << none;
    row("-v prints the version line") << QStringList{"-v"} << QStringList() << version << none;
    row("--print-pipe-name prints the account's name and ignores other pipe settings")
            << QStringList{"--pipe", "given", "--print-pipe-name"}
            << QStringList{QString::fromUtf8("USERNAME=Nguyễn Văn A"), "VESK_MCP_PIPE=env-pipe"}
            << QByteArray("vesk-studio-mcp-Nguy_n_V_n_A\n") << none;
    row("--print-pipe-name falls back to user")
            << QStringList{"--print-pipe-name"} << QStringList{"-USERNAME"}
            << QByteArray("vesk-studio-mcp-user\n") << none;
    row("an invalid timeout is an error")
            << QStringList{"--timeout", "86400.5"} << QStringList() << none << invalid("--timeout");
    row("a non-ASCII argument is reported in UTF-8")
            << QStringList{QString::fromUtf8("bản-vẽ")} << QStringList() << none
            << unknown("b\xe1\xba\xa3n-v\xe1\xba\xbd");
}

void TestCli::informational()
{
    QFETCH(QStringList, arguments);
    QFETCH(QStringList, variables);
    QFETCH(QByteArray, out);
    QFETCH(QByteArray, err);

    if (out == "@HELP@")
        out = helpText(program).toUtf8(); // this process has the child's USERNAME
    // Nothing may be read from stdin: the input stays open until the program has ended.
    const Run result = run(arguments, {}, variables, {}, false);
    QVERIFY(result.finished);
    QCOMPARE(result.out, out);
    QCOMPARE(result.err, err);
    QCOMPARE(result.exitCode, err.isEmpty() ? 0 : 2);
}

void TestCli::helpInDirectoryWithPlaceholders()
{
    QTemporaryDir temporary;
    QVERIFY(temporary.isValid());
    const QString directory = temporary.path() + QStringLiteral("/dir %1 %5 back\\slash %2");
    QVERIFY(QDir().mkpath(directory));
    const QString copy = directory + QStringLiteral("/vesk-mcp");
    QVERIFY(QFile::copy(program, copy));
    const QString path = QFileInfo(copy).canonicalFilePath();

    const Run result = run({"--help"}, {}, {}, copy);
    QVERIFY(result.finished);
    QCOMPARE(result.exitCode, 0);
    const QString text = QString::fromUtf8(result.out);
    QCOMPARE(text, helpText(path));
}

void TestCli::session()
{
    const QString pipe = uniquePipeName();
    const QByteArray input
            = initializeLine + initialized + "\n" + pingLine + "\n"
              + R"({"jsonrpc":"2.0","method":"notifications/initialized","params":null})"
                "\n"
              + call(4, "vesk_status") + "\n";
    const Run result = run({"--pipe", pipe, "--poll-ms", "0"}, input);
    QVERIFY(result.finished);
    QCOMPARE(result.exitCode, 0);

    QJsonArray lines;
    QVERIFY2(parseLines(result.out, &lines), result.out.constData());
    QCOMPARE(lines.size(), 3);
    QCOMPARE(lines.at(0)["id"], 1);
    QCOMPARE(lines.at(0)["result"]["protocolVersion"], "2025-06-18");
    QCOMPARE(lines.at(1), json(R"({"jsonrpc":"2.0","id":"p","result":{}})"));
    QCOMPARE(lines.at(2), QJsonValue(response(4, textResult(notConnected(pipe), false))));

    const QList<QByteArray> log = result.err.split('\n');
    QVERIFY(log.contains("vesk-mcp: client tester %1 2.0, protocol 2025-06-18 (requested "
                         "2025-06-18), pipe "
                         + pipe.toUtf8()));
    QVERIFY(log.contains("vesk-mcp: ignoring an invalid notification"));
    QVERIFY(log.contains("vesk-mcp: Vesk Studio is not reachable (" + pipe.toUtf8() + ")"));
    for (const QByteArray &line : log)
        QVERIFY2(line.isEmpty() || line.startsWith("vesk-mcp: "), line.constData());
}

void TestCli::logLines_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QStringList>("variables");
    QTest::addColumn<int>("size"); // of the request line; 0: nothing is traced

    QTest::newRow("no traces by default") << QStringList{} << QStringList{} << 0;
    QTest::newRow("VESK_MCP_VERBOSE=1 traces, a message of 600 bytes whole")
            << QStringList{} << QStringList{"VESK_MCP_VERBOSE=1"} << 600;
    QTest::newRow("VESK_MCP_VERBOSE=true does not trace")
            << QStringList{} << QStringList{"VESK_MCP_VERBOSE=true"} << 0;
    QTest::newRow("--verbose traces, a message of 601 bytes cut to 600")
            << QStringList{"--verbose"} << QStringList{} << 601;
}

// The request and its answer are traced, shortened to 600 bytes and their size; a string id
// padded with a three-byte character lets the cut fall inside it. Blank lines and a lone
// byte-order mark leave no trace.
void TestCli::logLines()
{
    QFETCH(QStringList, arguments);
    QFETCH(QStringList, variables);
    QFETCH(int, size);

    const QByteArray head = R"({"jsonrpc":"2.0","method":"ping","id":")";
    QByteArray id;
    while (head.size() + id.size() + 2 + 3 <= qMax(size, 100))
        id += "\xE1\xBA\xBF"; // ế
    id += QByteArray(qMax(size, 100) - head.size() - id.size() - 2, 'x');
    const QByteArray request = head + id + "\"}";
    const QByteArray response = R"({"id":")" + id + R"(","jsonrpc":"2.0","result":{}})";
    const QByteArray clientResponse = R"({"jsonrpc":"2.0","id":1,"result":{}})";
    const auto shortened = [](const QByteArray &bytes) {
        if (bytes.size() <= 600)
            return bytes;
        return QString::fromUtf8(bytes.left(600)).toUtf8() + "... ("
               + QByteArray::number(bytes.size()) + " bytes)";
    };

    const Run result = run(arguments + QStringList{"--pipe", uniquePipeName(), "--poll-ms", "0"},
                           "   \n\xEF\xBB\xBF\n" + request + "\n" + clientResponse + "\n\t\r\n",
                           variables);
    QVERIFY(result.finished);
    QCOMPARE(result.exitCode, 0);
    QCOMPARE(result.out, response + "\n");
    if (size == 0) {
        QCOMPARE(result.err, QByteArray());
        return;
    }
    QCOMPARE(result.err,
             "vesk-mcp: <- " + shortened(request) + "\nvesk-mcp: -> " + shortened(response)
                     + "\nvesk-mcp: <- " + clientResponse
                     + "\nvesk-mcp: ignoring a response from the client\n");
}

void TestCli::input_data()
{
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QByteArray>("expected"); // the stdout lines as one JSON array

    const QByteArray ping1 = R"({"jsonrpc":"2.0","id":1,"method":"ping"})";
    const QByteArray pong1 = R"({"jsonrpc":"2.0","id":1,"result":{}})";
    QTest::newRow("no input ends at once with nothing written") << QByteArray() << QByteArray("[]");
    QTest::newRow("blank lines only write nothing")
            << QByteArray("\n\r\n   \n\t\r\n") << QByteArray("[]");
    QTest::newRow("an unterminated last line is still answered") << ping1 << "[" + pong1 + "]";
    QTest::newRow("an unterminated last line loses its CR") << ping1 + "\r"
                                                            << "[" + pong1 + "]";
    QTest::newRow("a last line of spaces is not answered") << ping1 + "\n   "
                                                           << "[" + pong1 + "]";
}

void TestCli::input()
{
    QFETCH(QByteArray, input);
    QFETCH(QByteArray, expected);

    const Run result = run({"--pipe", uniquePipeName(), "--poll-ms", "0"}, input);
    QVERIFY(result.finished);
    QCOMPARE(result.exitCode, 0);
    QJsonArray lines;
    QVERIFY2(parseLines(result.out, &lines), result.out.constData());
    QCOMPARE(QJsonValue(lines), json(expected));
    QCOMPARE(result.err, QByteArray());
}

#ifdef Q_OS_UNIX
namespace {

// Starts vesk-mcp with its stdout on a pipe whose reader is already gone.
bool startWithClosedStdout(QProcess &process, const QStringList &arguments)
{
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0)
        return false;
    ::close(fds[0]); // nobody will ever read
    const int writeEnd = fds[1];
    process.setChildProcessModifier([writeEnd] { ::dup2(writeEnd, 1); });
    process.start(QFileInfo(QStringLiteral(VESK_MCP_PATH)).canonicalFilePath(), arguments);
    const bool started = process.waitForStarted(30000);
    ::close(writeEnd);
    return started;
}

} // namespace
#endif

// The client has gone away: writing the answer fails, which ends the program with 1 while its
// input is still open.
void TestCli::closedStdout()
{
#ifdef Q_OS_UNIX
    QProcess process;
    QVERIFY(startWithClosedStdout(process, {"--pipe", uniquePipeName(), "--poll-ms", "0"}));
    process.write(pingLine + "\n");
    QVERIFY(process.waitForFinished(60000));
    lastStderr = process.readAllStandardError();
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(lastStderr, QByteArray("vesk-mcp: cannot write to stdout, exiting\n"));
    QCOMPARE(process.exitCode(), 1);
#else
    QSKIP("needs a pipe whose reader is gone");
#endif
}

// A client that pipes stderr and never reads it: once the pipe is full the log must give way,
// not stop the program in the middle of a write.
void TestCli::undrainedStderr()
{
#ifdef Q_OS_UNIX
    int fds[2];
    QVERIFY(::pipe2(fds, O_CLOEXEC) == 0);
    const int writeEnd = fds[1];
    QProcess process;
    process.setChildProcessModifier([writeEnd] { ::dup2(writeEnd, 2); });
    process.start(QFileInfo(QStringLiteral(VESK_MCP_PATH)).canonicalFilePath(),
                  {"--verbose", "--pipe", uniquePipeName(), "--poll-ms", "0"});
    QVERIFY(process.waitForStarted(30000));
    ::close(writeEnd);
    const int pings = 3000; // two trace lines each: several times what a pipe holds
    QByteArray input;
    for (int i = 0; i < pings; ++i)
        input += pingLine + "\n";
    process.write(input);
    process.closeWriteChannel();
    const bool finished = process.waitForFinished(60000);
    if (!finished)
        process.kill();
    ::close(fds[0]);
    QVERIFY2(finished, "vesk-mcp blocked on its log");
    QCOMPARE(process.exitCode(), 0);
    QCOMPARE(process.readAllStandardOutput().count("\"result\":{}"), pings);
#else
    QSKIP("needs a POSIX pipe left unread");
#endif
}

// The same failure after the end of input: the last answer, from Vesk Studio, cannot be
// written, and the idle finish that follows at once must not turn the exit code into 0.
void TestCli::closedStdoutAfterEndOfInput()
{
#ifdef Q_OS_UNIX
    const QString pipe = uniquePipeName();
    QLocalServer app;
    QLocalServer::removeServer(pipe);
    QVERIFY(app.listen(pipe));
    QTemporaryDir temporary;
    QFile input(temporary.filePath(QStringLiteral("input")));
    QVERIFY(input.open(QIODevice::WriteOnly));
    input.write(R"({"jsonrpc":"2.0","id":1,"method":"tools/call","params":{"name":"draw"}})"
                "\n");
    input.close();

    QProcess process;
    process.setStandardInputFile(input.fileName());
    QVERIFY(startWithClosedStdout(process, {"--pipe", pipe, "--poll-ms", "0"}));
    QTRY_VERIFY_WITH_TIMEOUT(app.hasPendingConnections(), 30000);
    QLocalSocket *far = app.nextPendingConnection();
    QTRY_VERIFY_WITH_TIMEOUT(far->canReadLine(), 30000);
    const QJsonObject request = QJsonDocument::fromJson(far->readLine()).object();
    const QJsonObject answer{{"id", request.value("id")},
                             {"result", QJsonObject{{"content", QJsonArray()}}}};
    far->write(QJsonDocument(answer).toJson(QJsonDocument::Compact) + '\n');
    far->flush();
    QTRY_COMPARE_WITH_TIMEOUT(process.state(), QProcess::NotRunning, 30000);
    lastStderr = process.readAllStandardError();
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QVERIFY(lastStderr.contains("vesk-mcp: cannot write to stdout, exiting\n"));
    QCOMPARE(process.exitCode(), 1);
#else
    QSKIP("needs a pipe whose reader is gone");
#endif
}

QTEST_GUILESS_MAIN(TestCli)
#include "tst_cli.moc"
