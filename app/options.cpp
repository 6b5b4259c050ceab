// options.cpp - environment, command line, help and version texts
#include "app/options.h"

#include "mcp/protocol.h"

#include <QDir>
#include <QtGlobal>

#include <cmath>
#include <limits>

namespace ves::mcp {

namespace {

// Seconds to whole milliseconds, truncated; values beyond an int's range are capped.
int secondsToMs(double seconds)
{
    const double ms = std::trunc(seconds * 1000.0);
    if (ms >= double(std::numeric_limits<int>::max()))
        return std::numeric_limits<int>::max();
    return int(ms);
}

QString invalidValue(const QString &option)
{
    return QStringLiteral("vesk-mcp: invalid value for %1 (see --help)\n").arg(option);
}

} // namespace

void applyEnvironment(ServerOptions &options)
{
    options.pipeName = qEnvironmentVariable("VESK_MCP_PIPE");
    if (qEnvironmentVariableIsSet("VESK_MCP_TIMEOUT")) {
        bool ok = false;
        const double seconds = qEnvironmentVariable("VESK_MCP_TIMEOUT").toDouble(&ok);
        if (ok && seconds > 0)
            options.callTimeoutMs = secondsToMs(seconds);
    }
    options.verbose = qEnvironmentVariable("VESK_MCP_VERBOSE") == QLatin1String("1");
}

CommandLine applyCommandLine(ServerOptions &options, const QStringList &arguments)
{
    const auto error = [](const QString &text) { return CommandLine{CommandLine::Error, text}; };
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        const QString &argument = arguments.at(i);
        const bool hasValue = i + 1 < arguments.size();
        const QString value = hasValue ? arguments.at(i + 1) : QString();
        if (argument == QLatin1String("-h") || argument == QLatin1String("--help")
            || argument == QLatin1String("/?")) {
            return {CommandLine::Help, {}};
        } else if (argument == QLatin1String("-v") || argument == QLatin1String("--version")) {
            return {CommandLine::Version, {}};
        } else if (argument == QLatin1String("--print-pipe-name")) {
            return {CommandLine::PrintPipeName, {}};
        } else if (argument == QLatin1String("--verbose")) {
            options.verbose = true;
        } else if (argument == QLatin1String("--pipe")) {
            const QString name = value.trimmed();
            if (name.isEmpty())
                return error(invalidValue(argument));
            options.pipeName = name;
            ++i;
        } else if (argument == QLatin1String("--timeout")) {
            bool ok = false;
            const double seconds = value.toDouble(&ok);
            if (!hasValue || !ok || !(seconds > 0 && seconds <= 86400))
                return error(invalidValue(argument));
            options.callTimeoutMs = secondsToMs(seconds);
            ++i;
        } else if (argument == QLatin1String("--poll-ms")) {
            bool ok = false;
            const int ms = value.toInt(&ok, 10);
            if (!hasValue || !ok || ms < 0)
                return error(invalidValue(argument));
            options.pollMs = ms;
            ++i;
        } else {
            return error(
                    QStringLiteral("vesk-mcp: unknown option \"%1\" (see --help)\n").arg(argument));
        }
    }
    return {};
}

QString versionLine()
{
    return QStringLiteral("vesk-mcp %1 (Vesk Studio MCP server; MCP protocol %2)\n")
            .arg(QLatin1String(programVersion),
                 supportedProtocolVersions().join(QLatin1String(", ")));
}

QString helpText(const QString &programPath)
{
    const QString nativePath = QDir::toNativeSeparators(programPath);
    QString jsonPath = nativePath;
    jsonPath.replace(QLatin1Char('\\'), QLatin1String("\\\\"));
    return QString::fromUtf8(R"(vesk-mcp %1 - MCP server for Vesk Studio

Connects AI assistants (Claude Code, Claude Desktop and other Model Context
Protocol clients) to a running Vesk Studio. The AI client starts this program
itself and talks to it over stdin/stdout; it is not meant to be used by hand.

Setup:
  1. In Vesk Studio turn on Tools › AI Connection (Công cụ › Kết nối AI).
     The connection is local to this computer and this Windows account.
  2. Register vesk-mcp once with your AI client.

  Claude Code:
    claude mcp add vesk -- "%2"
    (add --scope user before "vesk" to use it in every project)

  Claude Desktop: Settings › Developer › Edit Config, then add to
  claude_desktop_config.json and restart Claude Desktop:
    {
      "mcpServers": {
        "vesk": {
          "command": "%3"
        }
      }
    }

Options:
  --pipe NAME        local pipe of Vesk Studio
                     (default for this account: %4)
  --timeout SECONDS  longest wait for one tool call (default %5)
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
)")
            // One pass for all five, so that a % sequence in the path is never filled in.
            .arg(QLatin1String(programVersion),
                 nativePath,
                 jsonPath,
                 defaultPipeName(),
                 QString::number(defaultCallTimeoutMs / 1000));
}

} // namespace ves::mcp
