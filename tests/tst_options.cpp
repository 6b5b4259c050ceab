// tst_options.cpp - the environment, the command line, the pipe name, the help and version texts
#include "testsupport.h"

#include "app/options.h"

#include <QDir>
#include <QTest>

#include <cstdlib>
#include <map>

using namespace ves::mcp;
using namespace ves::mcp::testing;

namespace {

// qputenv goes through the ANSI code page on Windows, while the program reads the wide
// environment: there a non-ASCII user name must be set as UTF-16.
void setVariable(const QString &name, const QString &value)
{
#ifdef Q_OS_WIN
    _wputenv_s(reinterpret_cast<const wchar_t *>(name.utf16()),
               reinterpret_cast<const wchar_t *>(value.utf16()));
#else
    qputenv(name.toUtf8().constData(), value.toUtf8());
#endif
}

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
            setVariable(setting.left(equals), setting.mid(equals + 1));
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

} // namespace

class TestOptions : public QObject
{
    Q_OBJECT

private slots:
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

namespace {

// The fields that differ from main's start values, e.g. "timeout 5000, verbose".
QString changes(const ServerOptions &options)
{
    QStringList parts;
    if (options.callTimeoutMs != 120000)
        parts << QStringLiteral("timeout %1").arg(options.callTimeoutMs);
    if (options.connectTimeoutMs != 5000)
        parts << QStringLiteral("connect %1").arg(options.connectTimeoutMs);
    if (options.pollMs != 2000)
        parts << QStringLiteral("poll %1").arg(options.pollMs);
    if (options.verbose)
        parts << QStringLiteral("verbose");
    if (!options.pipeName.isEmpty())
        parts << QStringLiteral("pipe '%1'").arg(options.pipeName);
    if (options.version != QLatin1String("0.6.0"))
        parts << QStringLiteral("version %1").arg(options.version);
    return parts.join(QLatin1String(", "));
}

QString outcome(const CommandLine &command)
{
    switch (command.action) {
    case CommandLine::Run:
        return command.error.isEmpty() ? QStringLiteral("run") : QStringLiteral("run with text");
    case CommandLine::Help:
        return QStringLiteral("help");
    case CommandLine::Version:
        return QStringLiteral("version");
    case CommandLine::PrintPipeName:
        return QStringLiteral("pipe name");
    case CommandLine::Error:
        return command.error;
    }
    return QString();
}

} // namespace

void TestOptions::commandLine_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("outcome"); // run, help, version, pipe name or the error text
    QTest::addColumn<QString>("changes"); // what differs from the start values afterwards

    const auto row = [](const char *sentence) -> QTestData & { return QTest::newRow(sentence); };
    row("a timeout of 86400 seconds is accepted") << QStringList{"--timeout", "86400"} << "run"
                                                  << "timeout 86400000";
    for (const char *value : {"86400.5", "0", "-5", "abc", "", "inf", "nan", "1e9"}) {
        QTest::addRow("a timeout of '%s' seconds is an invalid value", value)
                << QStringList{"--timeout", value} << invalid("--timeout") << "";
    }
    row("a timeout without its value is an invalid value")
            << QStringList{"--timeout"} << invalid("--timeout") << "";
    row("a timeout of 0.0005 seconds gives 0 ms") << QStringList{"--timeout", "0.0005"} << "run"
                                                  << "timeout 0";
    row("a timeout of 1.9999 seconds is truncated to 1999 ms")
            << QStringList{"--timeout", "1.9999"} << "run"
            << "timeout 1999";
    row("a timeout in exponent form is a decimal number")
            << QStringList{"--timeout", "1.5e1"} << "run"
            << "timeout 15000";
    row("a poll interval of 0 turns automatic retries off")
            << QStringList{"--poll-ms", "0"} << "run"
            << "poll 0";
    row("the largest 32-bit poll interval is accepted")
            << QStringList{"--poll-ms", "2147483647"} << "run"
            << "poll 2147483647";
    for (const char *value : {"1.5", "-1", "2147483648", "abc", "0x10", ""}) {
        QTest::addRow("a poll interval of '%s' is an invalid value", value)
                << QStringList{"--poll-ms", value} << invalid("--poll-ms") << "";
    }
    row("a poll interval without its value is an invalid value")
            << QStringList{"--poll-ms"} << invalid("--poll-ms") << "";
    row("a pipe name made only of spaces is an invalid value")
            << QStringList{"--pipe", "   "} << invalid("--pipe") << "";
    row("a pipe option without its value is an invalid value")
            << QStringList{"--pipe"} << invalid("--pipe") << "";
    row("a pipe name is trimmed at both ends") << QStringList{"--pipe", "  abc  "} << "run"
                                               << "pipe 'abc'";
    row("the pipe option takes the next argument whatever it looks like")
            << QStringList{"--pipe", "--verbose"} << "run"
            << "pipe '--verbose'";
    row("a repeated option takes the last value")
            << QString("--timeout 5 --pipe a --timeout 7 --pipe b --poll-ms 9 --poll-ms 10")
                       .split(' ')
            << "run"
            << "timeout 7000, poll 10, pipe 'b'";
    row("options left of an error are applied and the error ends the line")
            << QStringList{"--timeout", "5", "--poll-ms", "x", "--pipe", "late"}
            << invalid("--poll-ms") << "timeout 5000";
    row("an unknown option before help is an error")
            << QStringList{"--bogus", "--help"} << unknown("--bogus") << "";
    row("help before an unknown option prints the help")
            << QStringList{"--help", "--bogus"} << "help"
            << "";
    row("help before an invalid value prints the help")
            << QStringList{"-h", "--timeout", "abc"} << "help"
            << "";
    row("the DOS form of help prints the help") << QStringList{"/?"} << "help"
                                                << "";
    row("options left of version are applied")
            << QStringList{"--verbose", "--timeout", "3", "-v", "--timeout", "abc"} << "version"
            << "timeout 3000, verbose";
    row("the long form of version prints the version") << QStringList{"--version"} << "version"
                                                       << "";
    row("print-pipe-name ends the line before a value that is missing")
            << QStringList{"--pipe", "x", "--print-pipe-name", "--pipe"} << "pipe name"
            << "pipe 'x'";
    for (const char *argument :
         {"--HELP", "-V", "--Verbose", "--pipe=x", "--timeout=5", "run", "-", "--", "", "Nguyễn"}) {
        QTest::addRow("the argument '%s' is an unknown option", argument)
                << QStringList{QString::fromUtf8(argument), "--help"}
                << unknown(QString::fromUtf8(argument)) << "";
    }
}

void TestOptions::commandLine()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, outcome);
    QFETCH(QString, changes);

    Environment environment({});
    ServerOptions options;
    QCOMPARE(::outcome(applyCommandLine(options, arguments)), outcome);
    QCOMPARE(::changes(options), changes);
}

void TestOptions::environment_data()
{
    QTest::addColumn<QStringList>("variables");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("changes"); // what differs from the start values afterwards

    const auto row = [](const char *sentence) -> QTestData & { return QTest::newRow(sentence); };
    const auto variable = [](const char *name, const char *value) {
        return QStringList{QLatin1String(name) + QLatin1Char('=') + QString::fromUtf8(value)};
    };
    row("nothing set leaves the start values") << QStringList() << QStringList() << "";
    row("the command line timeout overrides the variable")
            << variable("VESK_MCP_TIMEOUT", "30") << QStringList{"--timeout", "10"}
            << "timeout 10000";
    row("the timeout variable has no upper bound of a day")
            << variable("VESK_MCP_TIMEOUT", "100000") << QStringList() << "timeout 100000000";
    row("a timeout variable of 2.0009 is truncated")
            << variable("VESK_MCP_TIMEOUT", "2.0009") << QStringList() << "timeout 2000";
    for (const char *value : {"abc", "0", "-5", "", "nan", "-inf", "30s"}) {
        QTest::addRow("a timeout variable of '%s' is ignored", value)
                << variable("VESK_MCP_TIMEOUT", value) << QStringList() << "";
    }
    row("the largest timeout that fits is kept exactly")
            << variable("VESK_MCP_TIMEOUT", "2147483.646") << QStringList() << "timeout 2147483646";
    for (const char *value : {"2147483.647", "2147484", "1e300", "inf"}) {
        QTest::addRow("a timeout variable of '%s' is capped at the largest int", value)
                << variable("VESK_MCP_TIMEOUT", value) << QStringList() << "timeout 2147483647";
    }
    row("verbose variable 1 turns verbose on")
            << variable("VESK_MCP_VERBOSE", "1") << QStringList() << "verbose";
    for (const char *value : {"true", "yes", "01", " 1", "1 ", "", "0"}) {
        QTest::addRow("verbose variable '%s' leaves verbose off", value)
                << variable("VESK_MCP_VERBOSE", value) << QStringList() << "";
    }
    row("the verbose option wins over a verbose variable of 0")
            << variable("VESK_MCP_VERBOSE", "0") << QStringList{"--verbose"} << "verbose";
    row("the pipe variable is taken without trimming")
            << variable("VESK_MCP_PIPE", "  spaced name ") << QStringList()
            << "pipe '  spaced name '";
    row("the pipe option overrides the pipe variable")
            << variable("VESK_MCP_PIPE", "from-env") << QStringList{"--pipe", "from-line"}
            << "pipe 'from-line'";
}

void TestOptions::environment()
{
    QFETCH(QStringList, variables);
    QFETCH(QStringList, arguments);
    QFETCH(QString, changes);

    Environment environment(variables);
    ServerOptions options;
    applyEnvironment(options);
    QCOMPARE(outcome(applyCommandLine(options, arguments)), QStringLiteral("run"));
    QCOMPARE(::changes(options), changes);
}

// "--timeout 0.0005" gives 0 ms, which the server must replace by its default: a relayed call
// then waits for Vesk Studio instead of timing out at the next turn of the event loop.
void TestOptions::zeroTimeoutBecomesTheDefault()
{
    ServerOptions options = testOptions();
    QCOMPARE(applyCommandLine(options, {"--timeout", "0.0005"}).action, CommandLine::Run);
    QCOMPARE(options.callTimeoutMs, 0);
    Rig rig(options);
    FarEnd far;
    QVERIFY(rig.listen());
    rig.send(call(1, "draw_wall"));
    QVERIFY(accept(rig.app, far));
    QTRY_COMPARE(far.received.size(), 1);
    QTest::qWait(100); // a time-out of 0 would have answered by now
    QVERIFY(rig.sent.isEmpty());
    far.answer(far.received.at(0)["id"].toInt(), R"({"answered":true})");
    QTRY_COMPARE(rig.sent.size(), 1);
    QCOMPARE(rig.last(), response(1, {{"answered", true}}));
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
             QLatin1String(programVersion));
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
