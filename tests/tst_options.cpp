// tst_options.cpp - the environment, the command line, the pipe name, the help and version texts
#include "rig.h"

#include "app/options.h"

#include <QDir>
#include <QTest>

#include <limits>
#include <map>

using namespace ves::mcp;

namespace {

// Sets exactly the given NAME=value variables among those the program reads, and puts the
// environment back as it was when it goes out of scope.
class Environment
{
public:
    explicit Environment(const QStringList &settings)
    {
        for (const char *name : names) {
            saved[name] = {qEnvironmentVariableIsSet(name), qgetenv(name)};
            qunsetenv(name);
        }
        for (const QString &setting : settings) {
            const qsizetype equals = setting.indexOf(QLatin1Char('='));
            qputenv(setting.left(equals).toUtf8().constData(), setting.mid(equals + 1).toUtf8());
        }
    }
    ~Environment()
    {
        for (const auto &[name, value] : saved) {
            if (value.first)
                qputenv(name, value.second);
            else
                qunsetenv(name);
        }
    }
    Environment(const Environment &) = delete;
    Environment &operator=(const Environment &) = delete;

private:
    static constexpr const char *names[] = {
            "VESK_MCP_PIPE", "VESK_MCP_TIMEOUT", "VESK_MCP_VERBOSE", "USERNAME", "USER", "LOGNAME"};
    std::map<const char *, std::pair<bool, QByteArray>> saved;
};

QString invalid(const char *option)
{
    return QStringLiteral("vesk-mcp: invalid value for %1 (see --help)\n")
            .arg(QLatin1String(option));
}

QString unknown(const QString &argument)
{
    return QStringLiteral("vesk-mcp: unknown option \"") + argument
           + QStringLiteral("\" (see --help)\n");
}

constexpr int intMax = std::numeric_limits<int>::max();

} // namespace

class TestOptions : public QObject
{
    Q_OBJECT

private slots:
    void startValues();
    void commandLine_data();
    void commandLine();
    void environment_data();
    void environment();
    void zeroTimeoutBecomesTheDefault();
    void serverFillsInTheDefaults();
    void pipeName_data();
    void pipeName();
    void versionLine();
    void helpText();
};

void TestOptions::startValues()
{
    Environment environment({});
    ServerOptions options;
    applyEnvironment(options);
    const CommandLine command = applyCommandLine(options, {});
    QCOMPARE(command.action, CommandLine::Run);
    QCOMPARE(command.error, QString());
    QCOMPARE(options.pipeName, QString());
    QCOMPARE(options.callTimeoutMs, 120000);
    QCOMPARE(options.connectTimeoutMs, 5000);
    QCOMPARE(options.pollMs, 2000);
    QCOMPARE(options.verbose, false);
    QCOMPARE(options.version, QStringLiteral("0.6.0"));
}

void TestOptions::commandLine_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("action");
    QTest::addColumn<QString>("error");
    QTest::addColumn<int>("timeoutMs");
    QTest::addColumn<int>("pollMs");
    QTest::addColumn<bool>("verbose");
    QTest::addColumn<QString>("pipe");

    const int run = CommandLine::Run, help = CommandLine::Help, version = CommandLine::Version,
              name = CommandLine::PrintPipeName, error = CommandLine::Error;
    const QString none;
    const auto row = [](const char *sentence) -> QTestData & { return QTest::newRow(sentence); };

    row("a timeout of 86400 seconds is accepted") << QStringList{"--timeout", "86400"} << run
                                                  << none << 86400000 << 2000 << false << none;
    for (const char *value : {"86400.5", "0", "-5", "abc", "", "inf", "nan", "1e9"}) {
        QTest::addRow("a timeout of '%s' seconds is an invalid value", value)
                << QStringList{"--timeout", value} << error << invalid("--timeout") << 120000
                << 2000 << false << none;
    }
    row("a timeout without its value is an invalid value")
            << QStringList{"--timeout"} << error << invalid("--timeout") << 120000 << 2000 << false
            << none;
    row("a timeout of 0.0005 seconds gives 0 ms")
            << QStringList{"--timeout", "0.0005"} << run << none << 0 << 2000 << false << none;
    row("a timeout of 1.9999 seconds is truncated to 1999 ms")
            << QStringList{"--timeout", "1.9999"} << run << none << 1999 << 2000 << false << none;
    row("a timeout in exponent form is a decimal number")
            << QStringList{"--timeout", "1.5e1"} << run << none << 15000 << 2000 << false << none;
    row("a poll interval of 0 turns automatic retries off")
            << QStringList{"--poll-ms", "0"} << run << none << 120000 << 0 << false << none;
    row("the largest 32-bit poll interval is accepted")
            << QStringList{"--poll-ms", "2147483647"} << run << none << 120000 << intMax << false
            << none;
    for (const char *value : {"1.5", "-1", "2147483648", "abc", "0x10", ""}) {
        QTest::addRow("a poll interval of '%s' is an invalid value", value)
                << QStringList{"--poll-ms", value} << error << invalid("--poll-ms") << 120000
                << 2000 << false << none;
    }
    row("a poll interval without its value is an invalid value")
            << QStringList{"--poll-ms"} << error << invalid("--poll-ms") << 120000 << 2000 << false
            << none;
    row("a pipe name made only of spaces is an invalid value")
            << QStringList{"--pipe", "   "} << error << invalid("--pipe") << 120000 << 2000 << false
            << none;
    row("a pipe option without its value is an invalid value")
            << QStringList{"--pipe"} << error << invalid("--pipe") << 120000 << 2000 << false
            << none;
    row("a pipe name is trimmed at both ends")
            << QStringList{"--pipe", "  abc  "} << run << none << 120000 << 2000 << false << "abc";
    row("the pipe option takes the next argument whatever it looks like")
            << QStringList{"--pipe", "--verbose"} << run << none << 120000 << 2000 << false
            << "--verbose";
    row("the verbose option sets verbose")
            << QStringList{"--verbose"} << run << none << 120000 << 2000 << true << none;
    row("a repeated option takes the last value") << QStringList{"--timeout",
                                                                 "5",
                                                                 "--pipe",
                                                                 "a",
                                                                 "--timeout",
                                                                 "7",
                                                                 "--pipe",
                                                                 "b",
                                                                 "--poll-ms",
                                                                 "9",
                                                                 "--poll-ms",
                                                                 "10"}
                                                  << run << none << 7000 << 10 << false << "b";
    row("options left of an error are applied and the error ends the line")
            << QStringList{"--timeout", "5", "--poll-ms", "x", "--pipe", "late"} << error
            << invalid("--poll-ms") << 5000 << 2000 << false << none;
    row("an unknown option before help is an error")
            << QStringList{"--bogus", "--help"} << error << unknown("--bogus") << 120000 << 2000
            << false << none;
    row("help before an unknown option prints the help")
            << QStringList{"--help", "--bogus"} << help << none << 120000 << 2000 << false << none;
    row("help before an invalid value prints the help")
            << QStringList{"-h", "--timeout", "abc"} << help << none << 120000 << 2000 << false
            << none;
    row("the DOS form of help prints the help")
            << QStringList{"/?"} << help << none << 120000 << 2000 << false << none;
    row("options left of version are applied")
            << QStringList{"--verbose", "--timeout", "3", "-v", "--timeout", "abc"} << version
            << none << 3000 << 2000 << true << none;
    row("the long form of version prints the version")
            << QStringList{"--version"} << version << none << 120000 << 2000 << false << none;
    row("print-pipe-name ends the line before a value that is missing")
            << QStringList{"--pipe", "x", "--print-pipe-name", "--pipe"} << name << none << 120000
            << 2000 << false << "x";
    for (const char *argument :
         {"--HELP", "-V", "--Verbose", "--pipe=x", "--timeout=5", "run", "-", "--", "", "Nguyễn"}) {
        QTest::addRow("the argument '%s' is an unknown option", argument)
                << QStringList{QString::fromUtf8(argument), "--help"} << error
                << unknown(QString::fromUtf8(argument)) << 120000 << 2000 << false << none;
    }
}

void TestOptions::commandLine()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, action);
    QFETCH(QString, error);
    QFETCH(int, timeoutMs);
    QFETCH(int, pollMs);
    QFETCH(bool, verbose);
    QFETCH(QString, pipe);

    Environment environment({});
    ServerOptions options;
    const CommandLine command = applyCommandLine(options, arguments);
    QCOMPARE(int(command.action), action);
    QCOMPARE(command.error, error);
    QCOMPARE(options.callTimeoutMs, timeoutMs);
    QCOMPARE(options.pollMs, pollMs);
    QCOMPARE(options.verbose, verbose);
    QCOMPARE(options.pipeName, pipe);
    QCOMPARE(options.connectTimeoutMs, 5000);
}

void TestOptions::environment_data()
{
    QTest::addColumn<QStringList>("variables");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("timeoutMs");
    QTest::addColumn<bool>("verbose");
    QTest::addColumn<QString>("pipe");

    const QString none;
    const auto row = [](const char *sentence) -> QTestData & { return QTest::newRow(sentence); };
    row("the command line timeout overrides the variable")
            << QStringList{"VESK_MCP_TIMEOUT=30"} << QStringList{"--timeout", "10"} << 10000
            << false << none;
    row("a timeout variable of 30 gives 30000 ms")
            << QStringList{"VESK_MCP_TIMEOUT=30"} << QStringList{} << 30000 << false << none;
    row("the timeout variable has no upper bound of a day")
            << QStringList{"VESK_MCP_TIMEOUT=100000"} << QStringList{} << 100000000 << false
            << none;
    row("a timeout variable of 0.0005 gives 0 ms")
            << QStringList{"VESK_MCP_TIMEOUT=0.0005"} << QStringList{} << 0 << false << none;
    row("a timeout variable of 2.0009 is truncated")
            << QStringList{"VESK_MCP_TIMEOUT=2.0009"} << QStringList{} << 2000 << false << none;
    for (const char *value : {"abc", "0", "-5", "", "nan", "-inf", "30s"}) {
        QTest::addRow("a timeout variable of '%s' is ignored", value)
                << QStringList{QStringLiteral("VESK_MCP_TIMEOUT=") + QLatin1String(value)}
                << QStringList{} << 120000 << false << none;
    }
    row("the largest timeout that fits is kept exactly")
            << QStringList{"VESK_MCP_TIMEOUT=2147483.646"} << QStringList{} << 2147483646 << false
            << none;
    for (const char *value : {"2147483.647", "2147484", "1e300", "inf"}) {
        QTest::addRow("a timeout variable of '%s' is capped at the largest int", value)
                << QStringList{QStringLiteral("VESK_MCP_TIMEOUT=") + QLatin1String(value)}
                << QStringList{} << intMax << false << none;
    }
    row("verbose variable 1 turns verbose on")
            << QStringList{"VESK_MCP_VERBOSE=1"} << QStringList{} << 120000 << true << none;
    for (const char *value : {"true", "yes", "01", " 1", "1 ", "", "0"}) {
        QTest::addRow("verbose variable '%s' leaves verbose off", value)
                << QStringList{QStringLiteral("VESK_MCP_VERBOSE=") + QLatin1String(value)}
                << QStringList{} << 120000 << false << none;
    }
    row("the verbose option wins over a verbose variable of 0")
            << QStringList{"VESK_MCP_VERBOSE=0"} << QStringList{"--verbose"} << 120000 << true
            << none;
    row("the pipe variable is taken without trimming")
            << QStringList{"VESK_MCP_PIPE=  spaced name "} << QStringList{} << 120000 << false
            << "  spaced name ";
    row("the pipe option overrides the pipe variable")
            << QStringList{"VESK_MCP_PIPE=from-env"} << QStringList{"--pipe", "from-line"} << 120000
            << false << "from-line";
}

void TestOptions::environment()
{
    QFETCH(QStringList, variables);
    QFETCH(QStringList, arguments);
    QFETCH(int, timeoutMs);
    QFETCH(bool, verbose);
    QFETCH(QString, pipe);

    Environment environment(variables);
    ServerOptions options;
    applyEnvironment(options);
    QCOMPARE(applyCommandLine(options, arguments).action, CommandLine::Run);
    QCOMPARE(options.callTimeoutMs, timeoutMs);
    QCOMPARE(options.verbose, verbose);
    QCOMPARE(options.pipeName, pipe);
    QCOMPARE(options.pollMs, 2000);
}

// "--timeout 0.0005" gives 0 ms, which the server must replace by its default: a relayed call
// then waits for Vesk Studio instead of timing out at the next turn of the event loop.
void TestOptions::zeroTimeoutBecomesTheDefault()
{
    ServerOptions options = testOptions();
    QCOMPARE(applyCommandLine(options, {"--timeout", "0.0005"}).action, CommandLine::Run);
    QCOMPARE(options.callTimeoutMs, 0);
    Rig rig(options);
    QVERIFY(rig.listen());
    rig.send(R"({"jsonrpc":"2.0","id":1,"method":"tools/call","params":{"name":"draw_wall"}})");
    QTRY_VERIFY(rig.app.hasPendingConnections());
    QLocalSocket *far = rig.app.nextPendingConnection();
    QTRY_VERIFY(far->canReadLine());
    const QJsonObject request = QJsonDocument::fromJson(far->readLine()).object();
    QCOMPARE(request.value("method").toString(), QStringLiteral("tools/call"));
    const QJsonObject answer{{"id", request.value("id")},
                             {"result", QJsonObject{{"answered", true}}}};
    far->write(QJsonDocument(answer).toJson(QJsonDocument::Compact) + '\n');
    QTRY_COMPARE(rig.sent.size(), 1);
    QCOMPARE(rig.last(), McpServer::makeResult(1, QJsonObject{{"answered", true}}));
}

void TestOptions::serverFillsInTheDefaults()
{
    Environment environment({"USERNAME=Alice"});
    ServerOptions options = testOptions();
    options.pipeName.clear();
    options.version.clear();
    Rig rig(options);
    QVERIFY(rig.server->notConnectedText().endsWith(
            QStringLiteral("(local pipe: \\\\.\\pipe\\vesk-studio-mcp-Alice)")));
    rig.send(R"({"jsonrpc":"2.0","id":1,"method":"initialize","params":{"protocolVersion":"x"}})");
    QCOMPARE(rig.last()["result"].toObject()["serverInfo"].toObject()["version"].toString(),
             QStringLiteral("0.2.0"));
}

void TestOptions::pipeName_data()
{
    QTest::addColumn<QStringList>("variables");
    QTest::addColumn<QString>("expected");

    const QString hundred = QStringLiteral("0123456789").repeated(10);
    QTest::newRow("the user name keeps its letter case")
            << QStringList{"USERNAME=Alice"} << "vesk-studio-mcp-Alice";
    QTest::newRow("spaces and Vietnamese letters become underscores")
            << QStringList{QString::fromUtf8("USERNAME=Nguyễn Văn A")}
            << "vesk-studio-mcp-Nguy_n_V_n_A";
    QTest::newRow("a blank USERNAME falls to USER")
            << QStringList{"USERNAME=   ", "USER=bob", "LOGNAME=carl"} << "vesk-studio-mcp-bob";
    QTest::newRow("USER comes before LOGNAME")
            << QStringList{"USER=bob", "LOGNAME=carl"} << "vesk-studio-mcp-bob";
    QTest::newRow("LOGNAME is the last resort")
            << QStringList{"USER=", "LOGNAME=carl"} << "vesk-studio-mcp-carl";
    QTest::newRow("a dot becomes an underscore")
            << QStringList{"USERNAME=anna.maria"} << "vesk-studio-mcp-anna_maria";
    QTest::newRow("hyphens, underscores and digits are kept")
            << QStringList{"USERNAME=a-b_c9"} << "vesk-studio-mcp-a-b_c9";
    QTest::newRow("a domain backslash and an at sign become underscores")
            << QStringList{"USERNAME=CORP\\x@y"} << "vesk-studio-mcp-CORP_x_y";
    QTest::newRow("the name is trimmed before filtering")
            << QStringList{"USERNAME=\t Bob \n"} << "vesk-studio-mcp-Bob";
    QTest::newRow("a name that filters to underscores only is still taken")
            << QStringList{"USERNAME=...", "USER=bob"} << "vesk-studio-mcp-___";
    QTest::newRow("no variable at all gives user") << QStringList{} << "vesk-studio-mcp-user";
    QTest::newRow("three blank variables give user")
            << QStringList{"USERNAME= ", "USER=", "LOGNAME=\t"} << "vesk-studio-mcp-user";
    QTest::newRow("a name of 100 characters is cut to 64")
            << QStringList{QStringLiteral("USERNAME=") + hundred}
            << QStringLiteral("vesk-studio-mcp-") + hundred.left(64);
    QTest::newRow("a character outside the BMP gives two underscores")
            << QStringList{QString::fromUtf8("USERNAME=a\xF0\x9F\x98\x80z")}
            << "vesk-studio-mcp-a__z";
    QTest::newRow("the cut counts UTF-16 units after filtering")
            << QStringList{QString::fromUtf8("USERNAME=\xF0\x9F\x98\x80") + QString(70, 'k')}
            << QStringLiteral("vesk-studio-mcp-__") + QString(62, 'k');
}

void TestOptions::pipeName()
{
    QFETCH(QStringList, variables);
    QFETCH(QString, expected);

    Environment environment(variables);
    const QString name = defaultPipeName();
    QCOMPARE(name, expected);
    QVERIFY(name.size() <= 80);
}

void TestOptions::versionLine()
{
    QCOMPARE(ves::mcp::versionLine(),
             QStringLiteral("vesk-mcp 0.6.0 (Vesk Studio MCP server; MCP protocol 2025-11-25, "
                            "2025-06-18, 2025-03-26, 2024-11-05)\n"));
}

// The text is compared whole, with a path that holds placeholders and a backslash: neither may be
// filled in again, and the JSON form doubles the backslash. The timeout and pipe settings of the
// environment must not show.
void TestOptions::helpText()
{
    Environment environment(
            {"USERNAME=Alice", "VESK_MCP_TIMEOUT=30", "VESK_MCP_PIPE=other", "VESK_MCP_VERBOSE=1"});
    const QString path = QStringLiteral("/opt/vesk %1 %5/back\\slash%2/vesk-mcp");
    QString expected = QString::fromUtf8(R"(vesk-mcp 0.6.0 - MCP server for Vesk Studio

Connects AI assistants (Claude Code, Claude Desktop and other Model Context
Protocol clients) to a running Vesk Studio. The AI client starts this program
itself and talks to it over stdin/stdout; it is not meant to be used by hand.

Setup:
  1. In Vesk Studio turn on Tools › AI Connection (Công cụ › Kết nối AI).
     The connection is local to this computer and this Windows account.
  2. Register vesk-mcp once with your AI client.

  Claude Code:
    claude mcp add vesk -- "@NATIVE@"
    (add --scope user before "vesk" to use it in every project)

  Claude Desktop: Settings › Developer › Edit Config, then add to
  claude_desktop_config.json and restart Claude Desktop:
    {
      "mcpServers": {
        "vesk": {
          "command": "@JSON@"
        }
      }
    }

Options:
  --pipe NAME        local pipe of Vesk Studio
                     (default for this account: vesk-studio-mcp-Alice)
  --timeout SECONDS  longest wait for one tool call (default 120)
  --poll-ms MS       while Vesk Studio is not reachable, retry every MS
                     milliseconds (default 2000, 0 = only on request)
  --verbose          log every message to stderr
  --print-pipe-name  print the pipe name and exit
  -h, --help         show this help
  -v, --version      show the version

Environment: VESK_MCP_PIPE, VESK_MCP_TIMEOUT (seconds), VESK_MCP_VERBOSE=1.

Everything the AI changes is one undoable step in Vesk Studio. Drawing data
is sent to the AI service you chose and is subject to its terms.
)");
    const QString native = QDir::toNativeSeparators(path);
    QString json = native;
    json.replace(QLatin1String("\\"), QLatin1String("\\\\"));
    expected.replace(QLatin1String("@NATIVE@"), native).replace(QLatin1String("@JSON@"), json);
    QCOMPARE(ves::mcp::helpText(path), expected);
}

QTEST_GUILESS_MAIN(TestOptions)
#include "tst_options.moc"
