// main.cpp - vesk-studio-sim, a stand-in for Vesk Studio's end of the pipe, for tests, demos and
// for integrators who try an AI client without the CAD application. `--help` lists the options
// (helpText below) and the tools.
//
// stdout: every non-empty line received, as received (line end removed), flushed at once.
// stderr: "sim: ..." diagnostics; "sim: listening on <full server name>" once ready; per
// connection "sim: client N connected" / "sim: client N disconnected"; for a cancelled call that
// was still running "sim: dropped request ID (cancelled)" or "... (cancelled: REASON)", where ID
// is the request id as compact JSON (1, or "1" for a string id).
// Exit: 0 on SIGTERM/SIGINT and after --help, 1 when it cannot listen, 2 for a bad command line.
// It shares no code with vesk-mcp on purpose, so a framing bug cannot hide on both ends.
#include "simserver.h"
#include "platform.h"

#include <QCoreApplication>
#include <QJsonArray>
#include <QSet>
#include <QStringList>

#include <climits>
#include <cstdio>
#include <limits>

namespace {

using namespace ves::sim;

// The account's default pipe name, worked out here again rather than taken from vesk-mcp.
QString defaultPipeName()
{
    QString account;
    for (const char *variable : {"USERNAME", "USER", "LOGNAME"}) {
        account = qEnvironmentVariable(variable).trimmed();
        if (!account.isEmpty())
            break;
    }
    for (QChar &c : account) {
        const char16_t u = c.unicode();
        const bool kept = (u >= u'A' && u <= u'Z') || (u >= u'a' && u <= u'z')
                          || (u >= u'0' && u <= u'9') || u == u'-' || u == u'_';
        if (!kept)
            c = QLatin1Char('_');
    }
    if (account.isEmpty())
        account = QStringLiteral("user");
    return QStringLiteral("vesk-studio-mcp-") + account.left(64);
}

const char helpText[] = R"(Usage: vesk-studio-sim [options]

A stand-in for Vesk Studio: it serves the local pipe that vesk-mcp connects to, with a small
floor plan and drawing tools, so that an AI client can be tried without the CAD application.
Start it first, then let the AI client start vesk-mcp under the same account (same default pipe
name, or the same --pipe NAME on both). Ctrl+C stops it.

Options:
  --pipe NAME                serve this pipe name (default for this account: %1)
  --page-size N              tools per tools/list page, with "nextCursor" (default: all on one)
  --own-status               the first page also lists a "vesk_status" of the stand-in's own
  --delay-ms N               answer every tools/call N ms late
  --never-answer             never answer tools/call (tools/list still is)
  --close-on-call            close the connection when a tools/call arrives
  --garbage                  send the line "this is not json" before every answer
  --long-line N              send a line of N bytes before every tools/call answer
  --error-on NAME            answer calls of tool NAME with error -32000 "Drawing is locked"
  --list-changed-after-ms N  send each client "notifications/tools/list_changed" N ms after
                             it connects
  -h, --help                 show this help

Tools (one floor plan shared by every connection):
%2
Every line received is printed on stdout; "sim: ..." diagnostics go to stderr.
)";

QString toolLines()
{
    FloorPlan plan;
    const QSet<QString> first = [&] {
        QSet<QString> names;
        for (const QJsonValue &tool : plan.tools())
            names.insert(tool[QLatin1String("name")].toString());
        return names;
    }();
    plan.call(QStringLiteral("enable_furniture"), {}); // to list the tool it adds as well
    QString lines;
    for (const QJsonValue &tool : plan.tools()) {
        const QString name = tool[QLatin1String("name")].toString();
        lines += QStringLiteral("  %1 %2\n")
                         .arg(name, -18)
                         .arg(tool[QLatin1String("description")].toString());
        if (!first.contains(name))
            lines += QStringLiteral("%1 (listed once enable_furniture has run)\n")
                             .arg(QString(), 20);
    }
    return lines;
}

// Returns an error text, empty when the command line was understood.
QString parse(const QStringList &arguments, SimOptions &options, bool &help)
{
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        const QString &option = arguments.at(i);
        const bool hasValue = i + 1 < arguments.size();
        const QString value = hasValue ? arguments.at(i + 1) : QString();
        bool ok = true;
        const auto number = [&](qint64 maximum) {
            const qint64 n = value.toLongLong(&ok);
            ok = ok && n >= 0 && n <= maximum;
            return n;
        };
        if (option == QLatin1String("--help") || option == QLatin1String("-h")) {
            help = true;
            continue;
        } else if (option == QLatin1String("--own-status")) {
            options.ownStatus = true;
            continue;
        } else if (option == QLatin1String("--never-answer")) {
            options.neverAnswer = true;
            continue;
        } else if (option == QLatin1String("--close-on-call")) {
            options.closeOnCall = true;
            continue;
        } else if (option == QLatin1String("--garbage")) {
            options.garbage = true;
            continue;
        } else if (option == QLatin1String("--pipe")) {
            options.pipe = value;
            ok = !value.isEmpty();
        } else if (option == QLatin1String("--page-size")) {
            options.pageSize = int(number(INT_MAX));
        } else if (option == QLatin1String("--delay-ms")) {
            options.delayMs = int(number(INT_MAX));
        } else if (option == QLatin1String("--long-line")) {
            options.longLine = number(std::numeric_limits<qint64>::max());
        } else if (option == QLatin1String("--error-on")) {
            options.errorOn = value;
            ok = !value.isEmpty();
        } else if (option == QLatin1String("--list-changed-after-ms")) {
            options.listChangedAfterMs = int(number(INT_MAX));
        } else {
            return QStringLiteral("unknown option \"%1\"").arg(option);
        }
        if (!hasValue || !ok)
            return QStringLiteral("invalid value for %1").arg(option);
        ++i;
    }
    return {};
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    SimOptions options;
    bool help = false;
    const QString problem = parse(QCoreApplication::arguments().mid(1), options, help);
    if (!problem.isEmpty()) {
        logLine(problem + QStringLiteral(" (see --help)"));
        return 2;
    }
    if (help) {
        const QByteArray text
                = QString::fromLatin1(helpText).arg(defaultPipeName(), toolLines()).toUtf8();
        std::fwrite(text.constData(), 1, size_t(text.size()), stdout);
        return std::fflush(stdout) == 0 ? 0 : 1;
    }
    if (options.pipe.isEmpty())
        options.pipe = defaultPipeName();

    setUpProcess();
    SimServer server(options);
    const QString error = server.listen();
    if (!error.isEmpty()) {
        logLine(QStringLiteral("cannot listen on %1: %2").arg(options.pipe, error));
        return 1;
    }
    logLine(QStringLiteral("listening on ") + server.fullServerName());
    return QCoreApplication::exec();
}
