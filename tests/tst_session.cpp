// tst_session.cpp - vesk-mcp end to end: the built program against vesk-studio-sim
#include "testsupport.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>

#ifndef VESK_SIM_PATH
#define VESK_SIM_PATH "" // the stand-in is not built: every case is skipped
#endif

using namespace ves::mcp::testing;

namespace {

// A child process whose output lines are collected as they come; on a failed test it prints
// its stderr.
struct Child
{
    QString name;
    QProcess process;
    QByteArray out;
    QByteArray err;
    QList<QByteArray> lines; // complete stdout lines
    QList<QJsonObject> messages;

    explicit Child(const QString &name)
        : name(name)
    {
        QObject::connect(&process, &QProcess::readyReadStandardOutput, &process, [this] {
            out += process.readAllStandardOutput();
            for (qsizetype n; (n = out.indexOf('\n')) >= 0; out.remove(0, n + 1)) {
                lines.append(out.left(n));
                messages.append(QJsonDocument::fromJson(out.left(n)).object());
            }
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
        err += process.readAllStandardError();
        if (QTest::currentTestFailed())
            std::printf("--- stderr of %s ---\n%s\n", qPrintable(name), err.constData());
    }
    int logged(const QString &line) const
    {
        return int(QString::fromUtf8(err).split(QLatin1Char('\n')).count(line));
    }
    bool waitLogged(const QString &line, int times = 1, int ms = 10000)
    {
        return QTest::qWaitFor([&] { return logged(line) >= times; }, ms);
    }
    bool finish(int ms = 20000)
    {
        return QTest::qWaitFor([&] { return process.state() == QProcess::NotRunning; }, ms);
    }
};

// vesk-mcp as an MCP client starts it.
struct Mcp : Child
{
    Mcp()
        : Child(QStringLiteral("vesk-mcp"))
    {}
    bool start(const QStringList &arguments)
    {
        process.start(QStringLiteral(VESK_MCP_PATH), arguments);
        return process.waitForStarted(10000);
    }
    void send(const QByteArray &line) { process.write(line + '\n'); }
    QJsonValue withId(const QJsonValue &id) const
    {
        for (const QJsonObject &m : messages)
            if (m.contains(QLatin1String("id")) && m.value(QLatin1String("id")) == id)
                return m;
        return QJsonValue::Undefined;
    }
    bool waitId(const QJsonValue &id, int ms = 15000)
    {
        return QTest::qWaitFor([&] { return !withId(id).isUndefined(); }, ms);
    }
    int log(const QString &line) const { return logged(QStringLiteral("vesk-mcp: ") + line); }
};

// The stand-in for Vesk Studio; its stdout is every line it received.
struct Sim : Child
{
    Sim()
        : Child(QStringLiteral("vesk-studio-sim"))
    {}
    bool start(const QStringList &arguments,
               const QString &program = QString(),
               const QStringList &before = {})
    {
        if (program.isEmpty())
            process.start(QStringLiteral(VESK_SIM_PATH), arguments);
        else
            process.start(program, before + QStringList{QStringLiteral(VESK_SIM_PATH)} + arguments);
        return process.waitForStarted(10000)
               && QTest::qWaitFor([this] { return err.contains("sim: listening on "); }, 10000);
    }
};

QByteArray toolCall(const QByteArray &id,
                    const char *tool,
                    const QByteArray &arguments = "{}",
                    const QByteArray &more = {})
{
    return R"({"jsonrpc":"2.0","id":)" + id + R"(,"method":"tools/call","params":{"name":")" + tool
           + R"(","arguments":)" + arguments + more + "}}";
}

const QByteArray initialize
        = R"({"jsonrpc":"2.0","id":"init","method":"initialize","params":{"protocolVersion":"2025-06-18","clientInfo":{"name":"session-test","version":"1.0"},"capabilities":{}}})";
QStringList toolNames(const QJsonValue &response)
{
    QStringList names;
    for (const QJsonValue &tool : response["result"]["tools"].toArray())
        names.append(tool["name"].toString());
    return names;
}

} // namespace

class TestSession : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void wholeSession();
    void timeout();
    void endOfInputWithCallOutstanding();
    void refusesAnotherAccount();
};

void TestSession::initTestCase()
{
    QVERIFY(QFile::exists(QStringLiteral(VESK_MCP_PATH)));
    if (QByteArray(VESK_SIM_PATH).isEmpty())
        QSKIP("vesk-studio-sim is not built");
}

void TestSession::wholeSession()
{
    const QString pipe = ves::mcp::uniquePipeName();
    Sim sim;
    QVERIFY(sim.start({"--pipe", pipe, "--page-size", "4", "--error-on", "add_opening"}));
    Mcp mcp;
    QVERIFY(mcp.start({"--pipe", pipe}));
    mcp.send(initialize);
    mcp.send(initialized);
    mcp.send(R"({"jsonrpc":"2.0","id":1,"method":"tools/list"})");
    QVERIFY(mcp.waitId(1));
    QCOMPARE(mcp.withId("init")["result"]["protocolVersion"], "2025-06-18");
    QCOMPARE(mcp.withId("init")["result"]["capabilities"],
             object(R"({"tools":{"listChanged":true}})"));

    // Vesk Studio's pages, with the status tool once, at the end of the first.
    QStringList names = toolNames(mcp.withId(1));
    QCOMPARE(names.size(), 5);
    QCOMPARE(names.last(), "vesk_status");
    QJsonValue cursor = mcp.withId(1)["result"]["nextCursor"];
    for (int page = 2; cursor.isString(); ++page) {
        QVERIFY(page < 10);
        mcp.send(
                R"({"jsonrpc":"2.0","id":)" + QByteArray::number(page * 10)
                + R"(,"method":"tools/list","params":{"cursor":)"
                + QJsonDocument(QJsonArray{cursor}).toJson(QJsonDocument::Compact).mid(1).chopped(1)
                + "}}");
        QVERIFY(mcp.waitId(page * 10));
        const QStringList more = toolNames(mcp.withId(page * 10));
        QVERIFY(!more.contains("vesk_status"));
        names += more;
        cursor = mcp.withId(page * 10)["result"]["nextCursor"];
    }
    for (const char *tool :
         {"add_wall", "add_opening", "list_elements", "undo", "render_preview", "enable_furniture"})
        QVERIFY2(names.contains(tool), tool);
    QCOMPARE(names.count("vesk_status"), 1);

    mcp.send(toolCall("2", "add_wall", R"({"x1":0,"y1":0,"x2":4000,"y2":0})"));
    mcp.send(toolCall("3", "add_opening", R"({"wall":"W1"})"));
    mcp.send(toolCall("4", "list_elements"));
    mcp.send(toolCall("5", "vesk_status"));
    mcp.send(R"({"jsonrpc":"2.0","id":6,"method":"ping"})");
    QVERIFY(mcp.waitId(2) && mcp.waitId(3) && mcp.waitId(4) && mcp.waitId(5) && mcp.waitId(6));
    QCOMPARE(mcp.withId(2)["result"]["isError"], false);
    QVERIFY(mcp.withId(2)["result"]["content"][0]["text"].toString().contains("W1"));
    QCOMPARE(
            mcp.withId(3)["error"],
            object(R"({"code":-32000,"message":"Drawing is locked","data":{"tool":"add_opening"}})"));
    QVERIFY(mcp.withId(4)["result"]["content"][0]["text"].toString().contains("W1"));
    QCOMPARE(mcp.withId(5)["result"], textResult(connectedText, false));

    mcp.process.closeWriteChannel();
    QVERIFY(mcp.finish());
    QCOMPARE(mcp.process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(mcp.process.exitCode(), 0);
    QCOMPARE(mcp.log("client session-test 1.0, protocol 2025-06-18 (requested 2025-06-18), pipe "
                     + pipe),
             1);
    QCOMPARE(mcp.log("connected to Vesk Studio (" + pipe + ")"), 1);
    for (const QByteArray &line : mcp.lines) // every response compact, on a line of its own
        QCOMPARE(QJsonDocument::fromJson(line).toJson(QJsonDocument::Compact), line);

    // What reached Vesk Studio: own ids in order, no jsonrpc member, no vesk_status call.
    QTRY_VERIFY(sim.lines.size() >= 3);
    QCOMPARE(sim.messages.first(), object(R"({"id":1,"method":"tools/list","params":{}})"));
    QCOMPARE(
            sim.messages.at(sim.messages.size() - 3),
            object(R"({"id":)" + QByteArray::number(sim.messages.size() - 2)
                   + R"(,"method":"tools/call","params":{"name":"add_wall","arguments":{"x1":0,"y1":0,"x2":4000,"y2":0}}})"));
    for (int i = 0; i < sim.messages.size(); ++i) {
        QCOMPARE(sim.messages.at(i)["id"], i + 1);
        QVERIFY(!sim.lines.at(i).contains("jsonrpc") && !sim.lines.at(i).contains("vesk_status"));
    }
}

void TestSession::timeout()
{
    const QString pipe = ves::mcp::uniquePipeName();
    Sim sim;
    QVERIFY(sim.start({"--pipe", pipe, "--never-answer"}));
    Mcp mcp;
    QVERIFY(mcp.start({"--pipe", pipe, "--timeout", "1.5"}));
    mcp.send(toolCall("1", "add_wall", R"({"x1":0,"y1":0,"x2":1,"y2":0})"));
    QVERIFY(mcp.waitId(1));
    QCOMPARE(mcp.withId(1)["result"], textResult(timeoutText("add_wall", 2), true));
    QVERIFY(mcp.waitLogged("vesk-mcp: no answer to tools/call add_wall within 2 s"));
    QTRY_COMPARE(sim.messages.size(), 2);
    QCOMPARE(
            sim.messages.at(1),
            object(R"({"method":"notifications/cancelled","params":{"requestId":1,"reason":"timeout"}})"));
    QVERIFY(sim.waitLogged("sim: dropped request 1 (cancelled: timeout)"));
}

void TestSession::endOfInputWithCallOutstanding()
{
    const QString pipe = ves::mcp::uniquePipeName();
    Sim sim;
    QVERIFY(sim.start({"--pipe", pipe, "--never-answer"}));
    Mcp mcp;
    QVERIFY(mcp.start({"--pipe", pipe}));
    mcp.send(toolCall("1", "add_wall", R"({"x1":0,"y1":0,"x2":1,"y2":0})"));
    QTRY_COMPARE(sim.messages.size(), 1);
    QElapsedTimer clock;
    clock.start();
    mcp.process.closeWriteChannel();
    QVERIFY(mcp.finish());
    qInfo("vesk-mcp ended %lld ms after the end of its input", qlonglong(clock.elapsed()));
    QVERIFY2(clock.elapsed() >= 2500, "ended before the grace period");
    QCOMPARE(mcp.process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(mcp.process.exitCode(), 0);
    QCOMPARE(mcp.log("input closed, 1 request(s) left unanswered"), 1);
    QVERIFY(mcp.withId(1).isUndefined());
}

void TestSession::refusesAnotherAccount()
{
    if (::getuid() != 0)
        QSKIP("needs root to start the stand-in under another account (setpriv)");
    const QString setpriv = QStandardPaths::findExecutable(QStringLiteral("setpriv"));
    if (setpriv.isEmpty())
        QSKIP("setpriv is not installed");
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QVERIFY(QFile::setPermissions(dir.path(), QFileDevice::Permissions(0x7777)));
    const QString pipe = dir.filePath("pipe");
    Sim sim;
    QVERIFY(sim.start(
            {"--pipe", pipe}, setpriv, {"--reuid=65534", "--regid=65534", "--clear-groups"}));
    Mcp mcp;
    QVERIFY(mcp.start({"--pipe", pipe}));
    mcp.send(toolCall("1", "add_wall", R"({"x1":0,"y1":0,"x2":1,"y2":0})"));
    QVERIFY(mcp.waitId(1));
    const QString refusal = QStringLiteral("refusing pipe %1: server process %2 belongs to another "
                                           "account")
                                    .arg(pipe)
                                    .arg(sim.process.processId());
    QVERIFY(mcp.waitLogged("vesk-mcp: " + refusal)); // stderr may trail stdout
    QCOMPARE(mcp.log(refusal), 1);
    QCOMPARE(mcp.withId(1)["result"]["isError"], true);
    QVERIFY(mcp.withId(1)["result"]["content"][0]["text"].toString().endsWith(notConnected(pipe)));
    QCOMPARE(mcp.log("connected to Vesk Studio (" + pipe + ")"), 0);
    QVERIFY(sim.waitLogged("sim: client 1 disconnected"));
    QVERIFY2(sim.lines.isEmpty(), sim.lines.value(0).constData()); // not a byte reached it
}

QTEST_GUILESS_MAIN(TestSession)
#include "tst_session.moc"
