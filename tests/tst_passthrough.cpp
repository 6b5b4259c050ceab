// tst_passthrough.cpp - tools/call answers that skip the parse: the same bytes and log lines
// as the parsed way in any JSON style, and the parsed way for what the scan is unsure of
#include "testsupport.h"

#include "io/stdio.h"

using namespace ves::mcp;
using namespace ves::mcp::testing;

namespace {

// A server with a far end, whose output is recorded in `rig.raw` either way; `pieces` counts the
// messages that came through the pieces writer, the way of the answers that pass through.
struct Link
{
    Rig rig;
    FarEnd far;
    int pieces = 0;

    explicit Link(bool withPiecesWriter, bool verbose = false)
        : rig(options(verbose))
    {
        if (withPiecesWriter)
            rig.server->setPiecesWriter([this](const QByteArray &head,
                                               const char *body,
                                               qsizetype size,
                                               const QByteArray &tail) {
                ++pieces;
                rig.raw.append(head + QByteArray(body, size) + tail);
            });
    }
    static ServerOptions options(bool verbose)
    {
        ServerOptions o = testOptions();
        o.verbose = verbose;
        return o;
    }
    // Connects through a local status call, which takes no id, then forgets its response.
    bool open()
    {
        if (!rig.listen())
            return false;
        rig.send(
                R"({"jsonrpc":"2.0","id":0,"method":"tools/call","params":{"name":"vesk_status"}})");
        if (!accept(rig.app, far))
            return false;
        if (!QTest::qWaitFor([this] { return rig.server->isConnected() && !rig.raw.isEmpty(); }))
            return false;
        rig.raw.clear();
        rig.sent.clear();
        return true;
    }
    // The application id of the latest request the far end received.
    bool waitForRequests(qsizetype count)
    {
        return QTest::qWaitFor([&] { return far.received.size() >= count; }, 5000);
    }
};

QByteArray toolsCall(const QJsonValue &id)
{
    return QJsonDocument(QJsonObject{{"jsonrpc", "2.0"},
                                     {"id", id},
                                     {"method", "tools/call"},
                                     {"params", QJsonObject{{"name", "draw"}}}})
            .toJson(QJsonDocument::Compact);
}

// What the parsed way writes for an answer line to a single tools/call: its result object,
// as QJsonDocument reads it, under the client's id.
QByteArray parsedResponse(const QJsonValue &clientId, const QByteArray &answer)
{
    const QJsonObject result = QJsonDocument::fromJson(answer).object()["result"].toObject();
    return QJsonDocument(McpServer::makeResult(clientId, result)).toJson(QJsonDocument::Compact);
}

// The log shows the control characters of a message escaped.
QByteArray logLine(const char *prefix, const QByteArray &message)
{
    QByteArray shown = "vesk-mcp: " + QByteArray(prefix);
    for (const char c : QString::fromUtf8(abbreviate(message)).toUtf8()) {
        if (c == '\t')
            shown += "\\t";
        else if (uchar(c) < 0x20 || c == 0x7f)
            shown += "\\x" + QByteArray::number(uchar(c), 16).rightJustified(2, '0');
        else
            shown += c;
    }
    return shown;
}

} // namespace

class TestPassThrough : public QObject
{
    Q_OBJECT

private slots:
    void singleCallAnswers_data();
    void singleCallAnswers();
    void otherAnswersTakeTheParsedWay();
};

void TestPassThrough::singleCallAnswers_data()
{
    QTest::addColumn<QJsonValue>("clientId");
    QTest::addColumn<QByteArray>("answer"); // %1 stands for the application id
    QTest::addColumn<bool>("passes");       // written from the bytes received

    const QJsonValue number(7);
    const QByteArray text(3000, 'y');
    QTest::newRow("a plain result")
            << number
            << QByteArray(
                       R"({"id":%1,"result":{"content":[{"text":"hello","type":"text"}],"isError":false}})")
            << true;
    QTest::newRow("a result of 3000 bytes, shortened in the log")
            << number
            << R"({"id":%1,"result":{"content":[{"text":")" + text
                       + R"(","type":"text"}],"isError":false}})"
            << true;
    QTest::newRow("the escapes Qt writes itself")
            << number
            << QByteArray(R"({"id":%1,"result":{"t":"a\"b\\c\n\t\r\b\f\u0001\u001f\u0000"}})")
            << true;
    QTest::newRow("integers, literals, empty and nested containers")
            << number
            << QByteArray(
                       R"({"id":%1,"result":{"a":-5,"b":0,"c":123456789012345678,"d":true,"e":false,"f":null,"g":[],"h":{},"i":[1,[2,[{"j":3}]]]}})")
            << true;
    QTest::newRow("keys that only differ in length, in order")
            << number << QByteArray(R"({"id":%1,"result":{"A":1,"_":2,"a":3,"ab":4,"b":5}})")
            << true;
    QTest::newRow("a string id with non-ASCII text")
            << QJsonValue(QString::fromUtf8("é中")) << QByteArray(R"({"id":%1,"result":{"x":1}})")
            << true;
    QTest::newRow("a fractional id")
            << QJsonValue(3.5) << QByteArray(R"({"id":%1,"result":{}})") << true;
    QTest::newRow("an id longer than the log shows, before a long result")
            << QJsonValue(QString(700, QLatin1Char('i')))
            << R"({"id":%1,"result":{"t":")" + text + R"("}})" << true;

    QTest::newRow("keys out of order")
            << number << QByteArray(R"({"id":%1,"result":{"type":"text","text":"x"}})") << true;
    QTest::newRow("a duplicate key")
            << number << QByteArray(R"({"id":%1,"result":{"a":1,"a":2}})") << false;
    QTest::newRow("white space") << number << QByteArray(R"({"id":%1,"result":{ "a": 1 }})")
                                 << true;
    QTest::newRow("white space after the answer")
            << number << QByteArray("{\"id\":%1,\"result\":{\"a\":1}} \t") << true;
    QTest::newRow("1.0, 1e3 and -0")
            << number << QByteArray(R"({"id":%1,"result":{"a":1.0,"b":1e3,"c":-0}})") << true;
    QTest::newRow("integers too big for 18 characters")
            << number
            << QByteArray(
                       R"({"id":%1,"result":{"a":9223372036854775807,"b":12345678901234567890123}})")
            << true;
    QTest::newRow("escapes Qt writes differently")
            << number << QByteArray(R"({"id":%1,"result":{"a":"\/ \u00e9 \u001F \u000a \u007f"}})")
            << true;
    QTest::newRow("raw non-ASCII text")
            << number << QByteArray(R"({"id":%1,"result":{"t":"café Vẽ"}})") << true;
    QTest::newRow("an escaped key")
            << number << QByteArray(R"({"id":%1,"result":{"k\u0041":1}})") << true;
    QTest::newRow("the members of the answer in the other order")
            << number << QByteArray(R"({"result":{"a":1},"id":%1})") << true;
    QTest::newRow("a lone surrogate, an unknown escape, a string opened by a byte-order mark")
            << number
            << QByteArray("{\"id\":%1,\"result\":{\"a\":\"\\ud800\",\"b\":\"\\q\",\"c\":"
                          "\"\xEF\xBB\xBFx\"}}")
            << false;
    QTest::newRow("nesting deeper than the check follows")
            << number
            << R"({"id":%1,"result":)" + QByteArray(140 * 5, ' ').replace("     ", R"({"x":)") + "1"
                       + QByteArray(140, '}') + "}"
            << false;
}

// Each answer, with and without a pieces writer, gives the bytes and log lines of the parsed
// way; those the scan takes go through the pieces writer when there is one.
void TestPassThrough::singleCallAnswers()
{
    QFETCH(QJsonValue, clientId);
    QFETCH(QByteArray, answer);
    QFETCH(bool, passes);

    for (const bool withPiecesWriter : {true, false}) {
        const QByteArray mode = withPiecesWriter ? "with a pieces writer" : "with out only";
        LogCapture log;
        Link link(withPiecesWriter, true);
        QVERIFY2(link.open(), mode);
        link.rig.send(toolsCall(clientId));
        QVERIFY2(link.waitForRequests(1), mode);
        const QByteArray line
                = QString::fromUtf8(answer).arg(link.far.received.last()["id"].toInt()).toUtf8();
        link.far.write(line + '\n');
        QTRY_COMPARE_WITH_TIMEOUT(link.rig.raw.size(), 1, 5000);

        const QByteArray expected = parsedResponse(clientId, line);
        QCOMPARE(link.rig.raw.first(), expected);
        QCOMPARE(link.pieces, withPiecesWriter && passes ? 1 : 0);
        QCOMPARE(link.rig.server->pendingCount(), 0);

        const QStringList lines = log.lines();
        const qsizetype received = lines.indexOf(logLine("app -> ", line));
        const qsizetype written = lines.indexOf(logLine("-> ", expected));
        QVERIFY2(received >= 0, mode);
        QVERIFY2(written > received, mode);
        QCOMPARE(lines.count(logLine("-> ", expected)), 1);
    }
}

// Batch members and tools/list answers are in Qt's form here too, yet they are written by the
// parsed way: a batch is one array, and the tool list is merged with the server's own tool.
void TestPassThrough::otherAnswersTakeTheParsedWay()
{
    Link link(true);
    QVERIFY(link.open());
    link.rig.send("[" + toolsCall(1) + "," + toolsCall(2) + "]");
    link.rig.send(R"({"jsonrpc":"2.0","id":3,"method":"tools/list"})");
    QVERIFY(link.waitForRequests(3));
    const QByteArray result = R"({"content":[{"text":"done","type":"text"}],"isError":false})";
    for (const QJsonObject &request : std::as_const(link.far.received)) {
        if (request["method"].toString() == QLatin1String("tools/list"))
            link.far.answer(request["id"].toInt(),
                            R"({"tools":[{"inputSchema":{},"name":"draw"}]})");
        else
            link.far.answer(request["id"].toInt(), result);
    }
    QTRY_COMPARE_WITH_TIMEOUT(link.rig.raw.size(), 2, 5000);
    QCOMPARE(link.pieces, 0);

    QCOMPARE(link.rig.sent.at(0),
             QJsonValue(QJsonArray{response(1, object(result)), response(2, object(result))}));
    const QJsonArray tools = link.rig.sent.at(1)["result"]["tools"].toArray();
    QCOMPARE(link.rig.sent.at(1)["id"], QJsonValue(3));
    QCOMPARE(tools.size(), 2);
    QVERIFY(tools.contains(McpServer::statusTool()));

    // Afterwards a single call passes through on the same connection.
    link.rig.send(toolsCall(4));
    QVERIFY(link.waitForRequests(4));
    link.far.answer(link.far.received.last()["id"].toInt(), result);
    QTRY_COMPARE_WITH_TIMEOUT(link.rig.raw.size(), 3, 5000);
    QCOMPARE(link.pieces, 1);
    QCOMPARE(link.rig.raw.last(),
             QJsonDocument(response(4, object(result))).toJson(QJsonDocument::Compact));
}

QTEST_GUILESS_MAIN(TestPassThrough)
#include "tst_passthrough.moc"
