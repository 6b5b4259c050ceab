// democlient.cpp - vesk-demo: one whole MCP session through vesk-mcp against the stand-in,
// printed for a human to follow.
//
// Usage: vesk-demo <path-to-vesk-mcp> <path-to-vesk-studio-sim>
// Exit 0 when every step got the kind of answer it expects, else 1 with what went wrong.
// The session reads top to bottom in Demo::run; waits run the event loop, so the output of all
// three programs keeps flowing while the script waits for an answer.
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTimer>

#include <cstdio>
#include <functional>

namespace {

constexpr int answerWaitMs = 10000;

void print(const QString &text)
{
    const QByteArray bytes = text.toUtf8() + '\n';
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
    std::fflush(stdout);
}

QString shorten(QString text, int limit)
{
    if (text.size() > limit)
        text = text.left(limit - 1) + QStringLiteral("…");
    return text;
}

// Long strings (descriptions, instructions) and deep schemas would hide the shape of a message.
QJsonValue abridged(const QJsonValue &value, int depth = 0)
{
    if (value.isString())
        return shorten(value.toString(), 60);
    if (value.isArray()) {
        QJsonArray out;
        for (const QJsonValue &v : value.toArray())
            out.append(abridged(v, depth + 1));
        return out;
    }
    if (value.isObject()) {
        if (depth > 5)
            return QStringLiteral("{…}");
        QJsonObject out;
        const QJsonObject object = value.toObject();
        for (auto it = object.begin(); it != object.end(); ++it)
            out.insert(it.key(), abridged(it.value(), depth + 1));
        return out;
    }
    return value;
}

QString compact(const QJsonObject &message)
{
    const QJsonObject shown = abridged(message).toObject();
    return shorten(QString::fromUtf8(QJsonDocument(shown).toJson(QJsonDocument::Compact)), 400);
}

QString toolText(const QJsonObject &response)
{
    return response[QLatin1String("result")][QLatin1String("content")][0][QLatin1String("text")]
            .toString();
}

QStringList toolNames(const QJsonObject &response)
{
    QStringList names;
    for (const QJsonValue &tool :
         response[QLatin1String("result")][QLatin1String("tools")].toArray())
        names.append(tool[QLatin1String("name")].toString());
    return names;
}

class Demo : public QObject
{
public:
    Demo(QString mcpProgram, QString simProgram)
        : mcpPath(std::move(mcpProgram))
        , simPath(std::move(simProgram))
        , pipeName(QStringLiteral("vesk-demo-%1").arg(QCoreApplication::applicationPid()))
    {
        connect(&mcp, &QProcess::readyReadStandardOutput, this, [this] { readMcp(); });
        connect(&mcp, &QProcess::readyReadStandardError, this, [this] {
            forEachLine(mcp.readAllStandardError(), mcpLog, [](const QString &line) {
                print(QStringLiteral("      [log] ") + line);
            });
        });
        connect(&sim, &QProcess::readyReadStandardError, this, [this] {
            forEachLine(sim.readAllStandardError(), simLog, [this](const QString &line) {
                print(QStringLiteral("      [sim] ") + line);
                if (line.startsWith(QLatin1String("sim: listening on ")))
                    simListening = true;
            });
        });
        // What reached Vesk Studio's end of the pipe: the relay's own ids show here.
        connect(&sim, &QProcess::readyReadStandardOutput, this, [this] {
            forEachLine(sim.readAllStandardOutput(), simOut, [](const QString &line) {
                print(QStringLiteral("      [pipe → studio] ") + shorten(line, 160));
            });
        });
        for (QProcess *process : {&mcp, &sim})
            connect(process, &QProcess::stateChanged, this, [this] { wake(); });
    }

    ~Demo() override
    {
        for (QProcess *process : {&mcp, &sim}) {
            process->disconnect(this);
            if (process->state() != QProcess::NotRunning) {
                process->kill();
                process->waitForFinished(3000);
            }
        }
    }

    int run();

private:
    void heading(const QString &title) { print(QStringLiteral("\n== %1 ==").arg(title)); }
    void fail(const QString &what)
    {
        failures.append(what);
        print(QStringLiteral("   !! ") + what);
    }
    bool expect(bool ok, const QString &what)
    {
        if (!ok)
            fail(what);
        return ok;
    }

    bool startSim();
    void killSim();
    bool startMcp();
    QJsonObject request(const QString &method, const QJsonObject &params);
    void notify(const QString &method);
    void write(const QJsonObject &message);
    bool waitForNotification(const QString &method, int ms);
    bool waitUntil(const std::function<bool()> &done, int ms);
    void wake()
    {
        if (waiting)
            waiting->quit();
    }

    void readMcp();
    void forEachLine(const QByteArray &bytes,
                     QByteArray &buffer,
                     const std::function<void(const QString &)> &handle);

    const QString mcpPath;
    const QString simPath;
    const QString pipeName;
    QProcess mcp;
    QProcess sim;
    QByteArray mcpOut, mcpLog, simOut, simLog; // partial lines
    QList<QJsonObject> inbox;                  // messages from vesk-mcp not yet taken by a step
    QEventLoop *waiting = nullptr;
    bool simListening = false;
    int nextId = 1;
    QStringList failures;
};

void Demo::forEachLine(const QByteArray &bytes,
                       QByteArray &buffer,
                       const std::function<void(const QString &)> &handle)
{
    buffer.append(bytes);
    qsizetype end;
    while ((end = buffer.indexOf('\n')) >= 0) {
        QByteArray line = buffer.left(end);
        buffer.remove(0, end + 1);
        if (line.endsWith('\r'))
            line.chop(1);
        handle(QString::fromUtf8(line));
    }
    wake();
}

// Everything vesk-mcp says is shown as it arrives, progress included; steps then pick from it.
void Demo::readMcp()
{
    forEachLine(mcp.readAllStandardOutput(), mcpOut, [this](const QString &line) {
        const QJsonObject message = QJsonDocument::fromJson(line.toUtf8()).object();
        if (message.isEmpty()) {
            fail(QStringLiteral("vesk-mcp wrote a line that is not a JSON object: ")
                 + shorten(line, 100));
            return;
        }
        print(QStringLiteral("   server → client  ") + compact(message));
        if (message[QLatin1String("method")] == QLatin1String("notifications/progress")) {
            const QJsonObject p = message[QLatin1String("params")].toObject();
            print(QStringLiteral("                    progress %1/%2: %3")
                          .arg(p[QLatin1String("progress")].toDouble())
                          .arg(p[QLatin1String("total")].toDouble())
                          .arg(p[QLatin1String("message")].toString()));
        }
        inbox.append(message);
    });
}

bool Demo::waitUntil(const std::function<bool()> &done, int ms)
{
    const QDeadlineTimer deadline(ms);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        QEventLoop loop;
        QTimer::singleShot(qMax<qint64>(1, deadline.remainingTime()), &loop, &QEventLoop::quit);
        waiting = &loop;
        loop.exec();
        waiting = nullptr;
    }
    return true;
}

void Demo::write(const QJsonObject &message)
{
    print(QStringLiteral("   client → server  ") + compact(message));
    mcp.write(QJsonDocument(message).toJson(QJsonDocument::Compact) + '\n');
}

// Sends one request and waits for its response; an empty object when none came in time.
QJsonObject Demo::request(const QString &method, const QJsonObject &params)
{
    const int id = nextId++;
    write({{QStringLiteral("jsonrpc"), QStringLiteral("2.0")},
           {QStringLiteral("id"), id},
           {QStringLiteral("method"), method},
           {QStringLiteral("params"), params}});
    QJsonObject response;
    const auto answered = [&] {
        for (qsizetype i = 0; i < inbox.size(); ++i) {
            if (inbox.at(i)[QLatin1String("id")] == id) {
                response = inbox.takeAt(i);
                return true;
            }
        }
        return false;
    };
    // A vesk-mcp that has ended will not answer: say so at once instead of waiting it out.
    waitUntil([&] { return answered() || mcp.state() == QProcess::NotRunning; }, answerWaitMs);
    if (response.isEmpty() && mcp.state() == QProcess::NotRunning)
        fail(QStringLiteral("vesk-mcp ended (exit code %1) before answering %2")
                     .arg(mcp.exitCode())
                     .arg(method));
    else if (response.isEmpty())
        fail(QStringLiteral("no answer to %1 (id %2) within %3 s")
                     .arg(method)
                     .arg(id)
                     .arg(answerWaitMs / 1000));
    return response;
}

void Demo::notify(const QString &method)
{
    write({{QStringLiteral("jsonrpc"), QStringLiteral("2.0")}, {QStringLiteral("method"), method}});
}

bool Demo::waitForNotification(const QString &method, int ms)
{
    const auto arrived = [&] {
        for (qsizetype i = 0; i < inbox.size(); ++i) {
            if (inbox.at(i)[QLatin1String("method")] == method) {
                inbox.removeAt(i);
                return true;
            }
        }
        return false;
    };
    return expect(waitUntil(arrived, ms),
                  QStringLiteral("no %1 within %2 s").arg(method).arg(ms / 1000));
}

bool Demo::startSim()
{
    print(QStringLiteral("   starting %1 --pipe %2").arg(simPath, pipeName));
    simListening = false;
    sim.start(simPath, {QStringLiteral("--pipe"), pipeName});
    waitUntil([this] { return simListening || sim.state() == QProcess::NotRunning; }, answerWaitMs);
    if (simListening)
        return true;
    if (sim.state() == QProcess::NotRunning)
        fail(QStringLiteral("vesk-studio-sim ended before listening (%1, exit code %2)")
                     .arg(sim.errorString())
                     .arg(sim.exitCode()));
    else
        fail(QStringLiteral("vesk-studio-sim did not start listening within %1 s")
                     .arg(answerWaitMs / 1000));
    return false;
}

void Demo::killSim()
{
    sim.kill();
    expect(waitUntil([this] { return sim.state() == QProcess::NotRunning; }, answerWaitMs),
           QStringLiteral("vesk-studio-sim did not end"));
}

bool Demo::startMcp()
{
    const QStringList arguments{
            QStringLiteral("--pipe"), pipeName, QStringLiteral("--poll-ms"), QStringLiteral("500")};
    print(QStringLiteral("   starting %1 %2").arg(mcpPath, arguments.join(QLatin1Char(' '))));
    mcp.start(mcpPath, arguments);
    return expect(mcp.waitForStarted(answerWaitMs),
                  QStringLiteral("vesk-mcp did not start: %1").arg(mcp.errorString()));
}

int Demo::run()
{
    const QJsonObject noParams;
    const auto call = [&](const QString &tool,
                          const QJsonObject &arguments,
                          const QJsonObject &extra = {}) {
        QJsonObject params = extra;
        params.insert(QStringLiteral("name"), tool);
        params.insert(QStringLiteral("arguments"), arguments);
        const QJsonObject response = request(QStringLiteral("tools/call"), params);
        if (response.contains(QLatin1String("result")))
            print(QStringLiteral("                    text: ")
                  + toolText(response).replace(QLatin1Char('\n'),
                                               QStringLiteral("\n                          ")));
        return response;
    };
    const auto isError = [](const QJsonObject &response) {
        return response[QLatin1String("result")][QLatin1String("isError")];
    };

    heading(QStringLiteral("Vesk Studio starts (the stand-in, on a private pipe)"));
    if (!startSim())
        return 1;

    heading(QStringLiteral("The AI client starts vesk-mcp"));
    if (!startMcp())
        return 1;

    heading(QStringLiteral("initialize"));
    const QJsonObject init
            = request(QStringLiteral("initialize"),
                      {{QStringLiteral("protocolVersion"), QStringLiteral("2025-11-25")},
                       {QStringLiteral("capabilities"), QJsonObject()},
                       {QStringLiteral("clientInfo"),
                        QJsonObject{{QStringLiteral("name"), QStringLiteral("vesk-demo")},
                                    {QStringLiteral("version"), QStringLiteral("1.0")}}}});
    const QJsonObject info = init[QLatin1String("result")][QLatin1String("serverInfo")].toObject();
    print(QStringLiteral("                    server %1 %2, protocol %3")
                  .arg(info[QLatin1String("name")].toString(),
                       info[QLatin1String("version")].toString(),
                       init[QLatin1String("result")][QLatin1String("protocolVersion")].toString()));
    if (!expect(!info.isEmpty(), QStringLiteral("initialize gave no serverInfo")))
        return 1;
    notify(QStringLiteral("notifications/initialized"));

    heading(QStringLiteral("tools/list: Vesk Studio's tools, vesk_status appended"));
    QStringList names = toolNames(request(QStringLiteral("tools/list"), noParams));
    print(QStringLiteral("                    tools: ") + names.join(QStringLiteral(", ")));
    expect(names.contains(QLatin1String("add_wall"))
                   && names.value(names.size() - 1) == QLatin1String("vesk_status"),
           QStringLiteral("the list lacks add_wall or does not end with vesk_status"));

    heading(QStringLiteral("tools/call add_wall"));
    expect(isError(call(QStringLiteral("add_wall"),
                        {{QStringLiteral("x1"), 0},
                         {QStringLiteral("y1"), 0},
                         {QStringLiteral("x2"), 5000},
                         {QStringLiteral("y2"), 0}}))
                   == false,
           QStringLiteral("add_wall did not succeed"));

    heading(QStringLiteral("tools/call add_opening (a door in W1)"));
    expect(isError(call(QStringLiteral("add_opening"),
                        {{QStringLiteral("wall"), QStringLiteral("W1")},
                         {QStringLiteral("kind"), QStringLiteral("door")},
                         {QStringLiteral("offset"), 1000},
                         {QStringLiteral("width"), 900}}))
                   == false,
           QStringLiteral("add_opening did not succeed"));

    heading(QStringLiteral("tools/call list_elements"));
    const QJsonObject listing = call(QStringLiteral("list_elements"), noParams);
    expect(toolText(listing).contains(QLatin1String("D1")),
           QStringLiteral("list_elements does not show the door"));

    heading(QStringLiteral("tools/call render_preview with a progress token"));
    const QJsonObject meta{{QStringLiteral("progressToken"), QStringLiteral("p1")}};
    const QJsonObject preview
            = call(QStringLiteral("render_preview"),
                   {{QStringLiteral("steps"), 4}, {QStringLiteral("stepMs"), 250}},
                   {{QStringLiteral("_meta"), meta}});
    qsizetype progress = 0;
    for (qsizetype i = inbox.size() - 1; i >= 0; --i) {
        if (inbox.at(i)[QLatin1String("method")] == QLatin1String("notifications/progress")
            && inbox.at(i)[QLatin1String("params")][QLatin1String("progressToken")] == "p1") {
            inbox.removeAt(i);
            ++progress;
        }
    }
    expect(isError(preview) == false && progress == 4,
           QStringLiteral(
                   "render_preview: expected a result after 4 progress notifications, got %1")
                   .arg(progress));

    heading(QStringLiteral("Vesk Studio goes away (the stand-in is killed)"));
    killSim();
    waitForNotification(QStringLiteral("notifications/tools/list_changed"), answerWaitMs);

    heading(QStringLiteral("tools/call vesk_status while Vesk Studio is away"));
    const QJsonObject status = call(QStringLiteral("vesk_status"), noParams);
    expect(isError(status) == false
                   && toolText(status).contains(QLatin1String("Vesk Studio is not connected")),
           QStringLiteral("vesk_status did not report the missing connection"));

    heading(QStringLiteral("tools/call add_wall while Vesk Studio is away"));
    const QJsonObject offline = call(QStringLiteral("add_wall"),
                                     {{QStringLiteral("x1"), 0},
                                      {QStringLiteral("y1"), 0},
                                      {QStringLiteral("x2"), 0},
                                      {QStringLiteral("y2"), 3000}});
    expect(isError(offline) == true
                   && toolText(offline).contains(QLatin1String("is not available")),
           QStringLiteral("add_wall offline was not a tool error"));

    // The client learns of the comeback only when the list it holds is the offline one.
    heading(QStringLiteral("tools/list while Vesk Studio is away: only vesk_status"));
    names = toolNames(request(QStringLiteral("tools/list"), noParams));
    print(QStringLiteral("                    tools: ") + names.join(QStringLiteral(", ")));
    expect(names == QStringList{QStringLiteral("vesk_status")},
           QStringLiteral("the offline list is not just vesk_status"));

    heading(QStringLiteral("Vesk Studio comes back; vesk-mcp reconnects on its own"));
    if (!startSim())
        return 1;
    waitForNotification(QStringLiteral("notifications/tools/list_changed"), answerWaitMs);

    heading(QStringLiteral("tools/list again"));
    names = toolNames(request(QStringLiteral("tools/list"), noParams));
    print(QStringLiteral("                    tools: ") + names.join(QStringLiteral(", ")));
    expect(names.contains(QLatin1String("add_wall")) && names.size() > 1,
           QStringLiteral("the list after reconnecting lacks Vesk Studio's tools"));

    heading(QStringLiteral("The client closes vesk-mcp's input; vesk-mcp ends"));
    print(QStringLiteral("   client closes stdin"));
    mcp.closeWriteChannel();
    const bool ended
            = waitUntil([this] { return mcp.state() == QProcess::NotRunning; }, answerWaitMs);
    expect(ended && mcp.exitStatus() == QProcess::NormalExit && mcp.exitCode() == 0,
           QStringLiteral("vesk-mcp did not end with exit code 0 (%1)")
                   .arg(ended ? QString::number(mcp.exitCode()) : QStringLiteral("still running")));
    if (ended)
        print(QStringLiteral("   vesk-mcp exit code %1").arg(mcp.exitCode()));

    // A console program on Windows gets no signal from terminate(); there kill() ends it.
    sim.terminate();
    if (!waitUntil([this] { return sim.state() == QProcess::NotRunning; }, 3000))
        killSim();

    print(QString());
    if (!failures.isEmpty()) {
        print(QStringLiteral("Demo FAILED:"));
        for (const QString &failure : std::as_const(failures))
            print(QStringLiteral("  - ") + failure);
        return 1;
    }
    print(QStringLiteral("Demo passed."));
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList arguments = QCoreApplication::arguments();
    if (arguments.size() != 3) {
        std::fputs("usage: vesk-demo <path-to-vesk-mcp> <path-to-vesk-studio-sim>\n", stderr);
        return 2;
    }
    int result = 1;
    {
        Demo demo(arguments.at(1), arguments.at(2));
        result = demo.run();
    }
    return result;
}
