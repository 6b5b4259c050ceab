// tst_jsonrpc.cpp - the JSON-RPC layer, initialize and ping, tool-call checks and offline answers
#include "testsupport.h"

using namespace ves::mcp;
using namespace ves::mcp::testing;

namespace {

QJsonArray sentArray(const Rig &rig)
{
    QJsonArray all;
    for (const QJsonValue &message : rig.sent)
        all.append(message);
    return all;
}

// Every message goes out as one line of compact JSON.
bool allCompact(const Rig &rig)
{
    for (const QByteArray &raw : rig.raw) {
        const QJsonDocument document = QJsonDocument::fromJson(raw);
        if (raw.contains('\n') || raw.contains('\r') || document.isNull()
            || document.toJson(QJsonDocument::Compact) != raw)
            return false;
    }
    return true;
}

const char *const instructionLines[] = {
        "- Units: every length and coordinate is in millimetres (mm); angles are in degrees, "
        "counter-clockwise from the +X axis; the Y axis points up.",
        "- Every change made through these tools is one undoable step: the user can press Ctrl+Z, "
        "and you can call the undo tool.",
        "- After drawing or changing something, call the screenshot tool (get_screenshot; "
        "get_3d_screenshot for the 3D view) to look at the result and correct mistakes before "
        "going on.",
        "- Saving or exporting never overwrites an existing file unless you pass \"overwrite\": "
        "true; do that only when the user asked for it.",
        "- If vesk_status is the only tool, Vesk Studio is not running or its AI connection is "
        "switched off: ask the user to open Vesk Studio and turn on Tools › AI Connection "
        "(Vietnamese menu: Công cụ › Kết nối AI). The tool list is refreshed automatically once "
        "the connection is on."};

} // namespace

class TestJsonRpc : public QObject
{
    Q_OBJECT

private slots:
    void messages_data();
    void messages();
    void parseErrors_data();
    void parseErrors();
    void tooLarge();
    void initialize_data();
    void initialize();
    void instructionsText();
    void offlineAnswers_data();
    void offlineAnswers();
    void batchWaitsForTheToolCall();
    void idKey_data();
    void idKey();
    void graceEndsTheWait();
};

namespace {

const QString missingMethod = QStringLiteral("Invalid Request: \"method\" is missing");
const QString badId = QStringLiteral("Invalid Request: \"id\" must be a string or a number");
const QString badVersion = QStringLiteral("Invalid Request: \"jsonrpc\" must be \"2.0\"");
const QString badMethod = QStringLiteral("Invalid Request: \"method\" must be a string");
const QString badParams = QStringLiteral("Invalid params: \"params\" must be an object");
const QString badName = QStringLiteral("Invalid params: \"name\" (string) is required");
const QString badArguments = QStringLiteral("Invalid params: \"arguments\" must be an object");

QJsonObject err(const QJsonValue &id, int code, const QString &message)
{
    return {{"jsonrpc", "2.0"},
            {"id", id},
            {"error", QJsonObject{{"code", code}, {"message", message}}}};
}

QJsonObject pong(const QJsonValue &id)
{
    return response(id, {});
}

const QJsonValue null(QJsonValue::Null);

} // namespace

void TestJsonRpc::messages_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<QJsonArray>("expected"); // every message written, in order

    const auto row = [](const char *sentence) -> QTestData & { return QTest::newRow(sentence); };
    const QByteArray ping = R"({"jsonrpc":"2.0","id":1,"method":"ping"})";
    row("a blank line gets nothing") << QByteArray(" \t \r ") << QJsonArray();
    row("a byte-order mark before a request is dropped")
            << "\xEF\xBB\xBF" + ping << QJsonArray{pong(1)};
    row("white space around a request is trimmed")
            << " \t" + ping + "\r\v\f " << QJsonArray{pong(1)};
    row("an empty batch gives one error object")
            << QByteArray("[]") << QJsonArray{err(null, -32600, "Invalid Request: empty batch")};
    row("non-objects in a batch are invalid and nested arrays are not unpacked")
            << "[\"a\",null,[" + ping + "]]"
            << QJsonArray{QJsonArray{err(null, -32600, "Invalid Request"),
                                     err(null, -32600, "Invalid Request"),
                                     err(null, -32600, "Invalid Request")}};
    row("a batch of notifications only writes nothing")
            << QByteArray(R"([{"jsonrpc":"2.0","method":"notifications/other"},{"method":5},
                {"jsonrpc":"2.0","method":"notifications/initialized","params":null}])")
            << QJsonArray();
    row("a batch of client responses only writes nothing")
            << QByteArray(R"([{"jsonrpc":"2.0","id":1,"result":{}},{"id":"x","error":{}}])")
            << QJsonArray();
    row("a mixed batch answers its requests in order in one array")
            << QByteArray(R"([{"jsonrpc":"2.0","id":"a","method":"ping"},
                {"jsonrpc":"2.0","method":"notifications/other"},{"jsonrpc":"2.0","id":3,"result":{}},
                {"jsonrpc":"2.0","id":2,"method":"nope"},{"jsonrpc":"2.0","id":4}])")
            << QJsonArray{QJsonArray{pong("a"),
                                     err(2, -32601, "Method not found: nope"),
                                     err(4, -32600, missingMethod)}};
    row("a message without method echoes a number id") << QByteArray(R"({"jsonrpc":"2.0","id":1})")
                                                       << QJsonArray{err(1, -32600, missingMethod)};
    row("a message without method and with id true gets id null")
            << QByteArray(R"({"jsonrpc":"2.0","id":true})")
            << QJsonArray{err(null, -32600, missingMethod)};
    row("a client response is ignored")
            << QByteArray(R"({"jsonrpc":"2.0","id":1,"result":{}})") << QJsonArray();
    row("a client error response is ignored")
            << QByteArray(R"({"id":"s","error":{"code":-1,"message":"no"}})") << QJsonArray();
    for (const char *id : {"null", "true", "[]", "{}"}) {
        QTest::addRow("a request with id %s is invalid with id null", id)
                << QByteArray(R"({"jsonrpc":"2.0","method":"ping","id":)") + id + '}'
                << QJsonArray{err(null, -32600, badId)};
    }
    row("the id check comes before the jsonrpc check")
            << QByteArray(R"({"jsonrpc":"1.0","method":"ping","id":null})")
            << QJsonArray{err(null, -32600, badId)};
    for (const char *version : {"\"1.0\"", "2", "2.0", "null", "\"2.0 \""}) {
        QTest::addRow("jsonrpc %s is not 2.0", version)
                << QByteArray(R"({"method":"ping","id":"abc","jsonrpc":)") + version + '}'
                << QJsonArray{err("abc", -32600, badVersion)};
    }
    row("a request without jsonrpc fails the version check")
            << QByteArray(R"({"method":"ping","id":3})") << QJsonArray{err(3, -32600, badVersion)};
    for (const char *method : {"5", "null", "[\"ping\"]"}) {
        QTest::addRow("method %s is not a string", method)
                << QByteArray(R"({"jsonrpc":"2.0","id":7,"method":)") + method + '}'
                << QJsonArray{err(7, -32600, badMethod)};
    }
    for (const char *params : {"[]", "\"x\"", "5", "false"}) {
        QTest::addRow("params %s is not an object", params)
                << QByteArray(R"({"jsonrpc":"2.0","id":1,"method":"ping","params":)") + params + '}'
                << QJsonArray{err(1, -32602, badParams)};
    }
    row("the params check comes before the method lookup")
            << QByteArray(R"({"jsonrpc":"2.0","id":1,"method":"nope","params":[]})")
            << QJsonArray{err(1, -32602, badParams)};
    row("params null is accepted for a request")
            << QByteArray(R"({"jsonrpc":"2.0","id":1,"method":"ping","params":null})")
            << QJsonArray{pong(1)};
    row("an id of 1.5 stays 1.5") << QByteArray(R"({"jsonrpc":"2.0","id":1.5,"method":"ping"})")
                                  << QJsonArray{pong(1.5)};
    row("a string id 7 stays a string")
            << QByteArray(R"({"jsonrpc":"2.0","id":"7","method":"ping"})") << QJsonArray{pong("7")};
    row("a method in other letter case is not found")
            << QByteArray(R"({"jsonrpc":"2.0","id":9,"method":"Tools/list"})")
            << QJsonArray{err(9, -32601, "Method not found: Tools/list")};
    row("a notification method sent as a request is not found")
            << QByteArray(R"({"jsonrpc":"2.0","id":"n","method":"notifications/initialized"})")
            << QJsonArray{err("n", -32601, "Method not found: notifications/initialized")};
    for (const char *notification :
         {R"({"jsonrpc":"2.0","method":"notifications/initialized","params":null})",
          R"({"jsonrpc":"2.0","method":"notifications/initialized","params":[]})",
          R"({"method":"notifications/initialized"})",
          R"({"jsonrpc":"2.0","method":7})",
          R"({"jsonrpc":"2.0","method":"notifications/unknown","params":{"x":1}})",
          R"({"jsonrpc":"2.0","method":"notifications/cancelled","params":{"requestId":1}})"}) {
        QTest::addRow("the notification %s gets nothing", notification)
                << QByteArray(notification) << QJsonArray();
    }
    const auto call = [](const char *params) {
        return R"({"jsonrpc":"2.0","id":1,"method":"tools/call","params":)" + QByteArray(params)
               + "}";
    };
    row("a tools/call name of empty text is the name error")
            << call(R"({"name":""})") << QJsonArray{err(1, -32602, badName)};
    row("a tools/call without params is the name error")
            << QByteArray(R"({"jsonrpc":"2.0","id":"c","method":"tools/call"})")
            << QJsonArray{err("c", -32602, badName)};
    row("tools/call arguments that are an array are the arguments error")
            << call(R"({"name":"draw","arguments":[]})")
            << QJsonArray{err(1, -32602, badArguments)};
    row("a wrong name and wrong arguments give the name error")
            << call(R"({"name":5,"arguments":[]})") << QJsonArray{err(1, -32602, badName)};
}

void TestJsonRpc::messages()
{
    QFETCH(QByteArray, line);
    QFETCH(QJsonArray, expected);

    Rig rig;
    rig.send(line);
    QCOMPARE(sentArray(rig), expected);
    QVERIFY(allCompact(rig));
}

void TestJsonRpc::parseErrors_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::newRow("an unterminated object") << QByteArray("{");
    QTest::newRow("a bare number") << QByteArray("5");
    QTest::newRow("a bare null") << QByteArray("null");
    QTest::newRow("a missing value") << QByteArray(R"({"jsonrpc":})");
    QTest::newRow("an unterminated batch")
            << QByteArray(R"([{"jsonrpc":"2.0","id":1,"method":"ping"})");
    QTest::newRow("a request followed by junk")
            << QByteArray(R"({"jsonrpc":"2.0","id":1,"method":"ping"} x)");
    QTest::newRow("invalid UTF-8 in a string")
            << QByteArray("{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"p\xFF\"}");
}

void TestJsonRpc::parseErrors()
{
    QFETCH(QByteArray, line);

    QJsonParseError error;
    QJsonDocument::fromJson(line.trimmed(), &error);
    if (error.error == QJsonParseError::NoError)
        QSKIP("this Qt parses the line; it is no parse error here");
    const QJsonObject expected{
            {"jsonrpc", "2.0"},
            {"id", QJsonValue::Null},
            {"error",
             QJsonObject{{"code", -32700},
                         {"message", QStringLiteral("Parse error: ") + error.errorString()}}}};
    Rig rig;
    rig.send(line);
    QCOMPARE(rig.sent.size(), 1);
    QCOMPARE(rig.last(), expected);
    QVERIFY(allCompact(rig));

    // Malformed input changes nothing for the next line.
    rig.send(R"({"jsonrpc":"2.0","id":2,"method":"ping"})");
    QCOMPARE(rig.last(), response(2, {}));
}

void TestJsonRpc::tooLarge()
{
    Rig rig;
    rig.server->rejectTooLarge();
    QCOMPARE(
            QJsonValue(sentArray(rig)),
            json(R"([{"jsonrpc":"2.0","id":null,"error":{"code":-32700,"message":"Parse error: message too large"}}])"));
}

void TestJsonRpc::initialize_data()
{
    QTest::addColumn<QByteArray>("params");
    QTest::addColumn<QString>("agreed"); // empty: the protocolVersion error

    const auto row = [](const char *sentence) -> QTestData & { return QTest::newRow(sentence); };
    for (const char *version : {"2025-11-25", "2025-06-18", "2025-03-26", "2024-11-05"}) {
        QTest::addRow("the supported version %s is agreed", version)
                << QByteArray(R"({"protocolVersion":")") + version
                           + R"(","clientInfo":{"name":"t","version":"1"}})"
                << QString::fromLatin1(version);
    }
    for (const char *version : {"2099-01-01", "1.0", "", "2025-06-18 ", "2025-06-18T00"}) {
        QTest::addRow("the unknown version '%s' gets the newest", version)
                << QByteArray(R"({"protocolVersion":")") + version + R"("})"
                << QStringLiteral("2025-11-25");
    }
    row("a client info that is not an object is ignored")
            << QByteArray(R"({"protocolVersion":"2025-03-26","clientInfo":"x","capabilities":5})")
            << QStringLiteral("2025-03-26");
    row("a protocol version that is a number is an error")
            << QByteArray(R"({"protocolVersion":20250618})") << QString();
    row("a protocol version that is null is an error")
            << QByteArray(R"({"protocolVersion":null})") << QString();
    row("a missing protocol version is an error")
            << QByteArray(R"({"clientInfo":{"name":"t"}})") << QString();
    row("params null lack the protocol version") << QByteArray("null") << QString();
}

void TestJsonRpc::initialize()
{
    QFETCH(QByteArray, params);
    QFETCH(QString, agreed);

    Rig rig;
    for (int round = 0; round < 2; ++round) { // may come more than once, answered the same
        rig.send(R"({"jsonrpc":"2.0","id":"i","method":"initialize","params":)" + params + '}');
        QCOMPARE(rig.sent.size(), round + 1);
        if (agreed.isEmpty()) {
            QCOMPARE(rig.last(),
                     err("i", -32602, "Invalid params: \"protocolVersion\" (string) is required"));
            continue;
        }
        const QJsonObject expected{
                {"protocolVersion", agreed},
                {"capabilities", json(R"({"tools":{"listChanged":true}})")},
                {"serverInfo",
                 json(R"({"name":"vesk-studio","title":"Vesk Studio","version":"0.6.0"})")},
                {"instructions", instructions()}};
        QCOMPARE(rig.last(), response(QStringLiteral("i"), expected));
    }
}

void TestJsonRpc::instructionsText()
{
    const QStringList lines = instructions().split(QLatin1Char('\n'));
    QCOMPARE(lines.size(), 6);
    const QString words
            = QStringLiteral("2D CAD|Windows|architectural|floor plans|walls|doors|"
                             "windows|rooms|furniture symbols|dimensions|quick plans|3D models");
    for (const QString &word : words.split(QLatin1Char('|')))
        QVERIFY2(lines.first().contains(word), qPrintable(word));
    QVERIFY(lines.first().endsWith(
            QLatin1String(" Its interface is in Vietnamese or English. These tools act on the "
                          "drawing currently open in the running Vesk Studio window.")));
    for (int i = 1; i < 6; ++i)
        QCOMPARE(lines.at(i), QString::fromUtf8(instructionLines[i - 1]));
}

void TestJsonRpc::offlineAnswers_data()
{
    QTest::addColumn<QByteArray>("params");
    QTest::addColumn<QString>("text"); // before the not-connected text
    QTest::addColumn<bool>("isError");

    QTest::newRow("the status tool reports the state as a normal result")
            << QByteArray(R"({"name":"vesk_status"})") << QString() << false;
    QTest::newRow("the status tool takes any arguments object")
            << QByteArray(R"({"name":"vesk_status","arguments":{"bogus":[1]}})") << QString()
            << false;
    QTest::newRow("another tool is not available and is a tool error")
            << QByteArray(R"({"name":"get_screenshot","arguments":null})")
            << notAvailable("get_screenshot") << true;
    QTest::newRow("a tool name with a percent sign is taken literally")
            << QByteArray(R"({"name":"a%1b","_meta":{"progressToken":1}})") << notAvailable("a%1b")
            << true;
}

void TestJsonRpc::offlineAnswers()
{
    QFETCH(QByteArray, params);
    QFETCH(QString, text);
    QFETCH(bool, isError);

    Rig rig; // nothing listens on its pipe: the attempt fails and the call is answered offline
    rig.send(R"({"jsonrpc":"2.0","id":7,"method":"tools/call","params":)" + params + '}');
    QTRY_COMPARE(rig.sent.size(), 1);
    QCOMPARE(rig.last(), response(7, textResult(text + notConnected(rig.pipeName), isError)));
    QCOMPARE(rig.server->notConnectedText(), notConnected(rig.pipeName));
    QVERIFY(allCompact(rig));

    rig.send(R"({"jsonrpc":"2.0","id":"l","method":"tools/list","params":{"cursor":"page2"}})");
    QTRY_COMPARE(rig.sent.size(), 2);
    QCOMPARE(QJsonValue(rig.last()),
             json(R"({"jsonrpc":"2.0","id":"l","result":{"tools":[)" + statusToolJson + "]}}"));
}

// The answer of a batch is held back until its last member is answered: here a tool call that
// waits for a connection attempt which only its time-out ends. The end of input waits for it too,
// and ends only after the answer went out.
void TestJsonRpc::batchWaitsForTheToolCall()
{
#ifdef Q_OS_LINUX
    ServerOptions options = testOptions();
    options.connectTimeoutMs = 1500;
    Rig rig(options);
    JammedPipe pipe(rig.pipeName);
    if (!pipe.open())
        QSKIP("cannot fill the listen backlog of a Unix socket here");
    rig.send(R"([{"jsonrpc":"2.0","id":1,"method":"ping"},
                 {"jsonrpc":"2.0","id":2,"method":"tools/call","params":{"name":"draw"}},
                 {"jsonrpc":"2.0","method":"notifications/other"}])");
    int calls = 0;
    qsizetype sentWhenCalled = -1;
    rig.server->finishWhenIdle(
            [&] {
                ++calls;
                sentWhenCalled = rig.sent.size();
            },
            600000);
    QCoreApplication::processEvents();
    QCOMPARE(rig.sent.size(), 0);
    QCOMPARE(calls, 0);
    QTRY_COMPARE_WITH_TIMEOUT(calls, 1, 15000);
    QCOMPARE(sentWhenCalled, 1);
    QCOMPARE(rig.sent.first(),
             QJsonValue(QJsonArray{response(1, {}), offline(2, "draw", rig.pipeName)}));
    QVERIFY(allCompact(rig));
#else
    QSKIP("needs a Unix socket with a full backlog");
#endif
}

void TestJsonRpc::idKey_data()
{
    QTest::addColumn<QJsonValue>("id");
    QTest::addColumn<QString>("key");
    QTest::newRow("the number 7") << QJsonValue(7) << "n:7";
    QTest::newRow("the number 0.1 with 17 digits") << QJsonValue(0.1) << "n:0.10000000000000001";
    QTest::newRow("the number -2.5") << QJsonValue(-2.5) << "n:-2.5";
    QTest::newRow("the number 1e21 in exponent form") << QJsonValue(1e21) << "n:1e+21";
    QTest::newRow("the string 7") << QJsonValue("7") << "s:7";
    QTest::newRow("the empty string") << QJsonValue("") << "s:";
    QTest::newRow("a string that looks like a key") << QJsonValue("n:7") << "s:n:7";
    QTest::newRow("true") << QJsonValue(true) << "?";
    QTest::newRow("null") << QJsonValue(QJsonValue::Null) << "?";
    QTest::newRow("undefined") << QJsonValue(QJsonValue::Undefined) << "?";
    QTest::newRow("an array") << QJsonValue(QJsonArray{7}) << "?";
}

void TestJsonRpc::idKey()
{
    QFETCH(QJsonValue, id);
    QFETCH(QString, key);
    QCOMPARE(McpServer::idKey(id), key);
}

// A connection attempt that outlasts the grace does not hold the end back.
void TestJsonRpc::graceEndsTheWait()
{
#ifdef Q_OS_LINUX
    ServerOptions options = testOptions();
    options.connectTimeoutMs = 600000;
    Rig rig(options);
    JammedPipe pipe(rig.pipeName);
    if (!pipe.open())
        QSKIP("cannot fill the listen backlog of a Unix socket here");
    rig.send(R"({"jsonrpc":"2.0","id":1,"method":"tools/list"})");
    int calls = 0;
    rig.server->finishWhenIdle([&calls] { ++calls; }, 200);
    QCoreApplication::processEvents();
    QCOMPARE(calls, 0);
    QTRY_COMPARE_WITH_TIMEOUT(calls, 1, 10000);
    QCOMPARE(rig.sent.size(), 0); // the attempt is still under way; nothing was answered
#else
    QSKIP("needs a Unix socket with a full backlog");
#endif
}

QTEST_GUILESS_MAIN(TestJsonRpc)
#include "tst_jsonrpc.moc"
