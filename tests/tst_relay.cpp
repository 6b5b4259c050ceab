// tst_relay.cpp - the relay of tools/list and tools/call: ids, answers, time-outs, cancellation
#include "testsupport.h"

#include <QElapsedTimer>

using namespace ves::mcp;
using namespace ves::mcp::testing;

namespace {

QJsonObject cancelled(int appId, const QJsonValue &reason = QJsonValue::Undefined)
{
    QJsonObject params{{"requestId", appId}};
    if (!reason.isUndefined())
        params.insert("reason", reason);
    return {{"method", "notifications/cancelled"}, {"params", params}};
}

QJsonValue sentWithId(const Rig &rig, const QJsonValue &id)
{
    for (const QJsonValue &message : rig.sent)
        if (message["id"] == id)
            return message;
    return QJsonValue(QJsonValue::Undefined);
}

// Connects the server to a fresh far end through a local status call, which takes no id and
// leaves the client uninitialized.
bool open(Rig &rig, FarEnd &far)
{
    if (!rig.listen())
        return false;
    rig.send(call(0, "vesk_status"));
    if (!accept(rig.app, far) || !QTest::qWaitFor([&] { return rig.server->isConnected(); }))
        return false;
    rig.sent.clear();
    rig.raw.clear();
    return true;
}

// One more call through the link: whatever went either way before it has arrived once its
// answer is back with the client.
bool roundTrip(Rig &rig, FarEnd &far)
{
    const qsizetype received = far.received.size();
    const qsizetype sent = rig.sent.size();
    rig.send(call(99, "undo"));
    if (!QTest::qWaitFor([&] { return far.received.size() > received; }))
        return false;
    far.answer(far.received.last()["id"].toInt());
    return QTest::qWaitFor([&] { return rig.sent.size() > sent && rig.last()["id"] == 99; });
}

} // namespace

class TestRelay : public QObject
{
    Q_OBJECT

private slots:
    void idsAcrossReconnection();
    void forwardedParams_data();
    void forwardedParams();
    void appsOwnStatusTool();
    void merge_data();
    void merge();
    void answers_data();
    void answers();
    void unmatchedAnswers_data();
    void unmatchedAnswers();
    void timeout_data();
    void timeout();
    void staggeredTimeouts();
    void cancellation_data();
    void cancellation();
    void batchWithCancelledMember_data();
    void batchWithCancelledMember();
    void progress();
    void finishWhenIdle_data();
    void finishWhenIdle();
};

void TestRelay::idsAcrossReconnection()
{
    LogCapture log;
    Rig rig;
    FarEnd first;
    QVERIFY(open(rig, first));
    rig.send(call(1, "add_wall"));
    rig.send(call(2, "vesk_status")); // answered here: no id
    QTRY_COMPARE(first.received.size(), 1);
    QCOMPARE(
            first.received.at(0),
            object(R"({"id":1,"method":"tools/call","params":{"name":"add_wall","arguments":{}}})"));
    first.answer(1);
    QTRY_COMPARE(rig.sent.size(), 2);
    QCOMPARE(rig.sent.at(0), response(2, textResult(connectedText, false)));
    QCOMPARE(rig.sent.at(1), response(1, {}));

    first.socket->disconnectFromServer();
    QTRY_VERIFY(!rig.server->isConnected());
    rig.app.close();
    rig.send(call(3, "add_wall")); // answered offline: no id
    QCOMPARE(rig.last()["id"], 3);
    QCOMPARE(rig.last().value("result")["isError"], true);

    QVERIFY(rig.listen());
    rig.send(list(4));
    FarEnd second;
    QVERIFY(accept(rig.app, second));
    rig.send(call(5, "undo"));
    QTRY_COMPARE(second.received.size(), 2);
    QCOMPARE(second.received.at(0), object(R"({"id":2,"method":"tools/list","params":{}})"));
    QCOMPARE(second.received.at(1),
             object(R"({"id":3,"method":"tools/call","params":{"name":"undo","arguments":{}}})"));
}

void TestRelay::forwardedParams_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QByteArray>("forwarded");

    const QByteArray head = R"({"jsonrpc":"2.0","id":"r","method":)";
    QTest::newRow("tools/call without arguments")
            << head + R"("tools/call","params":{"name":"add_wall"}})"
            << QByteArray(
                       R"({"id":1,"method":"tools/call","params":{"name":"add_wall","arguments":{}}})");
    QTest::newRow("tools/call with null arguments")
            << head + R"("tools/call","params":{"name":"add_wall","arguments":null}})"
            << QByteArray(
                       R"({"id":1,"method":"tools/call","params":{"name":"add_wall","arguments":{}}})");
    const QByteArray full
            = R"({"name":"add_wall","arguments":{"length":3000,"points":[[0,0],[1,2.5]],)"
              R"("label":"Phòng khách"},"_meta":{"progressToken":"p1"},"extra":[null]})";
    QTest::newRow("tools/call keeps arguments and every other member")
            << head + R"("tools/call","params":)" + full + "}"
            << R"({"id":1,"method":"tools/call","params":)" + full + "}";
    QTest::newRow("tools/list without params")
            << head + R"("tools/list"})"
            << QByteArray(R"({"id":1,"method":"tools/list","params":{}})");
    QTest::newRow("tools/list with null params")
            << head + R"("tools/list","params":null})"
            << QByteArray(R"({"id":1,"method":"tools/list","params":{}})");
    QTest::newRow("tools/list params unchanged")
            << head + R"("tools/list","params":{"cursor":"c2","x":[1]}})"
            << QByteArray(R"({"id":1,"method":"tools/list","params":{"cursor":"c2","x":[1]}})");
}

void TestRelay::forwardedParams()
{
    QFETCH(QByteArray, request);
    QFETCH(QByteArray, forwarded);
    Rig rig;
    FarEnd far;
    QVERIFY(open(rig, far));
    rig.send(request);
    QTRY_COMPARE(far.received.size(), 1);
    QCOMPARE(far.received.at(0), object(forwarded));
    QVERIFY(!far.bytes.contains("jsonrpc"));
    QVERIFY(far.bytes.endsWith("}\n") && !far.bytes.contains('\r'));
}

void TestRelay::appsOwnStatusTool()
{
    Rig rig;
    FarEnd far;
    QVERIFY(open(rig, far));
    const QByteArray own
            = R"({"tools":[{"name":"vesk_status","description":"its own"},{"name":"add_wall"}]})";
    rig.send(list(1));
    QTRY_COMPARE(far.received.size(), 1);
    far.answer(1, own);
    QTRY_COMPARE(rig.sent.size(), 1);
    QCOMPARE(rig.last(), response(1, object(own))); // listed once, as Vesk Studio has it

    rig.send(call(2, "vesk_status")); // now relayed, and its answer passed on
    QTRY_COMPARE(far.received.size(), 2);
    QCOMPARE(
            far.received.at(1),
            object(R"({"id":2,"method":"tools/call","params":{"name":"vesk_status","arguments":{}}})"));
    far.answer(2, R"({"content":[{"type":"text","text":"busy"}],"isError":false})");
    QTRY_COMPARE(rig.sent.size(), 2);
    QCOMPARE(rig.last().value("result")["content"][0]["text"], "busy");

    rig.send(list(3, R"({"cursor":"p2"})")); // a later page without it changes nothing
    QTRY_COMPARE(far.received.size(), 3);
    far.answer(3, R"({"tools":[{"name":"undo"}]})");
    QTRY_COMPARE(rig.sent.size(), 3);
    QCOMPARE(rig.last(), response(3, object(R"({"tools":[{"name":"undo"}]})")));
    rig.send(call(4, "vesk_status"));
    QTRY_COMPARE(far.received.size(), 4);
    QCOMPARE(far.received.at(3)["params"]["name"], "vesk_status");
    far.answer(4);
    QTRY_COMPARE(rig.sent.size(), 4);

    rig.send(list(5)); // a first page without it brings the local one back
    QTRY_COMPARE(far.received.size(), 5);
    far.answer(5, R"({"tools":[]})");
    QTRY_COMPARE(rig.sent.size(), 5);
    QCOMPARE(rig.last(), response(5, {{"tools", QJsonArray{json(statusToolJson)}}}));
    rig.send(call(6, "vesk_status"));
    QCOMPARE(rig.last(), response(6, textResult(connectedText, false)));
}

void TestRelay::merge_data()
{
    QTest::addColumn<QByteArray>("params");
    QTest::addColumn<QByteArray>("appResult");
    QTest::addColumn<QByteArray>("expected");
    QTest::addColumn<bool>("statusAppended");

    QTest::newRow("first page: status tool appended, cursor kept")
            << QByteArray("{}")
            << QByteArray(R"({"tools":[{"name":"add_wall"}],"nextCursor":"p2"})")
            << QByteArray(R"({"tools":[{"name":"add_wall"}],"nextCursor":"p2"})") << true;
    QTest::newRow("first page without a tools member")
            << QByteArray("{}") << QByteArray(R"({"nextCursor":"p2","_meta":{"a":1}})")
            << QByteArray(R"({"tools":[],"nextCursor":"p2","_meta":{"a":1}})") << true;
    QTest::newRow("first page whose tools is not an array")
            << QByteArray("{}") << QByteArray(R"({"tools":{"name":"vesk_status"}})")
            << QByteArray(R"({"tools":[]})") << true;
    QTest::newRow("elements that only look like the status tool")
            << QByteArray("{}")
            << QByteArray(
                       R"({"tools":["vesk_status",1,{"name":5},{"title":"vesk_status"},{"name":"Vesk_status"}]})")
            << QByteArray(
                       R"({"tools":["vesk_status",1,{"name":5},{"title":"vesk_status"},{"name":"Vesk_status"}]})")
            << true;
    QTest::newRow("first page with its own status tool")
            << QByteArray("{}")
            << QByteArray(R"({"tools":[{"name":"add_wall"},{"name":"vesk_status","x":1}]})")
            << QByteArray(R"({"tools":[{"name":"add_wall"},{"name":"vesk_status","x":1}]})")
            << false;
    QTest::newRow("later page: nothing appended, cursors passed through")
            << QByteArray(R"({"cursor":"p2"})")
            << QByteArray(R"({"tools":[{"name":"undo"}],"nextCursor":"p3"})")
            << QByteArray(R"({"tools":[{"name":"undo"}],"nextCursor":"p3"})") << false;
}

void TestRelay::merge()
{
    QFETCH(QByteArray, params);
    QFETCH(QByteArray, appResult);
    QFETCH(QByteArray, expected);
    QFETCH(bool, statusAppended);
    Rig rig;
    FarEnd far;
    QVERIFY(open(rig, far));
    rig.send(list(7, params));
    QTRY_COMPARE(far.received.size(), 1);
    QCOMPARE(far.received.at(0)["params"], object(params));
    far.answer(1, appResult);
    QTRY_COMPARE(rig.sent.size(), 1);
    QJsonObject result = object(expected);
    if (statusAppended) {
        QJsonArray tools = result["tools"].toArray();
        tools.append(json(statusToolJson));
        result["tools"] = tools;
    }
    QCOMPARE(rig.last(), response(7, result));
}

void TestRelay::answers_data()
{
    QTest::addColumn<QByteArray>("answer");   // to request 1
    QTest::addColumn<QByteArray>("expected"); // the client's response to its request 7

    const auto row = [](const char *name, const QByteArray &answer, const QByteArray &expected) {
        QTest::newRow(name) << answer << R"({"jsonrpc":"2.0","id":7,)" + expected + "}";
    };
    const QByteArray rich
            = R"({"content":[{"type":"image","data":"iVBO","mimeType":"image/png"}],)"
              R"("structuredContent":{"n":1.5,"a":[null,true,"ổ"]},"isError":true,"x":{}})";
    row("a rich result passes unchanged",
        R"({"id":1,"result":)" + rich + "}",
        R"("result":)" + rich);
    row("an error with code, message and data",
        R"({"id":1,"error":{"code":-32000,"message":"Drawing is locked","data":{"by":["u"]}}})",
        R"("error":{"code":-32000,"message":"Drawing is locked","data":{"by":["u"]}})");
    row("an error whose members have other types",
        R"({"id":1,"error":{"code":"7","message":5,"data":null}})",
        R"("error":{"code":-32603,"message":"Vesk Studio reported an error"})");
    row("an error code that is not whole, an empty message",
        R"({"id":1,"error":{"code":1.5,"message":"","data":0}})",
        R"("error":{"code":0,"message":"","data":0})");
    row("a result that is an array",
        R"({"id":1,"result":[1,2]})",
        R"("error":{"code":-32603,"message":"Vesk Studio sent an invalid answer"})");
    row("neither result nor error",
        R"({"id":1})",
        R"("error":{"code":-32603,"message":"Vesk Studio sent an invalid answer"})");
    row("result and error: the result counts",
        R"({"id":1,"result":{"a":1},"error":{"code":1,"message":"m"}})",
        R"("result":{"a":1})");
    row("a result that is not an object beside an error",
        R"({"id":1,"result":"x","error":{"code":3,"message":"m"}})",
        R"("error":{"code":3,"message":"m"})");
    row("id written as 1.0", R"({"id":1.0,"result":{}})", R"("result":{})");
}

void TestRelay::answers()
{
    QFETCH(QByteArray, answer);
    QFETCH(QByteArray, expected);
    Rig rig;
    FarEnd far;
    QVERIFY(open(rig, far));
    rig.send(call(7, "add_wall"));
    QTRY_COMPARE(far.received.size(), 1);
    far.write(answer + "\n");
    QTRY_COMPARE(rig.sent.size(), 1);
    QCOMPARE(rig.last(), object(expected));
    QCOMPARE(rig.server->pendingCount(), 0);
}

void TestRelay::unmatchedAnswers_data()
{
    QTest::addColumn<QByteArray>("message");
    QTest::addColumn<bool>("logged"); // "Vesk Studio sent a message without id or method"

    QTest::newRow("id as a string") << QByteArray(R"({"id":"1","result":{}})") << true;
    QTest::newRow("no id") << QByteArray(R"({"result":{}})") << true;
    QTest::newRow("id null") << QByteArray(R"({"id":null,"error":{}})") << true;
    QTest::newRow("unknown id") << QByteArray(R"({"id":2,"result":{}})") << false;
    QTest::newRow("id not whole") << QByteArray(R"({"id":1.5,"result":{}})") << false;
    QTest::newRow("id beyond 32 bits") << QByteArray(R"({"id":4294967297,"result":{}})") << false;
    QTest::newRow("a method that is not a string beside an answer")
            << QByteArray(R"({"id":1,"method":null,"result":{}})") << false;
    QTest::newRow("a request from Vesk Studio")
            << QByteArray(R"({"id":1,"method":"ping"})") << false;
}

void TestRelay::unmatchedAnswers()
{
    QFETCH(QByteArray, message);
    QFETCH(bool, logged);
    LogCapture log;
    Rig rig;
    FarEnd far;
    QVERIFY(open(rig, far));
    rig.send(call(7, "add_wall"));
    QTRY_COMPARE(far.received.size(), 1);
    far.write(message + "\n");
    QVERIFY(roundTrip(rig, far));
    QCOMPARE(rig.sent.size(), 1); // only the round trip's answer
    QCOMPARE(rig.server->pendingCount(), 1);
    QCOMPARE(log.count("Vesk Studio sent a message without id or method"), logged ? 1 : 0);
    QCOMPARE(far.received.size(), 2); // nothing went back to Vesk Studio

    far.answer(1); // request 1 was left waiting
    QTRY_COMPARE(rig.sent.size(), 2);
    QCOMPARE(rig.last(), response(7, {}));
}

void TestRelay::timeout_data()
{
    QTest::addColumn<int>("callTimeoutMs");
    QTest::addColumn<int>("seconds");
    QTest::newRow("1000 ms") << 1000 << 1;
    QTest::newRow("1001 ms rounds up") << 1001 << 2;
}

void TestRelay::timeout()
{
    QFETCH(int, callTimeoutMs);
    QFETCH(int, seconds);
    ServerOptions options = testOptions();
    options.callTimeoutMs = callTimeoutMs;
    LogCapture log;
    Rig rig(options);
    FarEnd far;
    QVERIFY(open(rig, far));
    rig.send(call(1, "add_wall"));
    rig.send(list(2));
    QTRY_COMPARE(far.received.size(), 2);
    QTRY_COMPARE_WITH_TIMEOUT(rig.sent.size(), 2, 15000);

    const QString s = QString::number(seconds);
    QCOMPARE(sentWithId(rig, 1), response(1, textResult(timeoutText("add_wall", seconds), true)));
    QCOMPARE(sentWithId(rig, 2),
             errorResponse(2, -32603, "Vesk Studio did not answer within " + s + " s"));
    QCOMPARE(log.count("no answer to tools/call add_wall within " + s + " s"), 1);
    QCOMPARE(log.count("no answer to tools/list  within " + s + " s"), 1);
    QTRY_COMPARE(far.received.size(), 4);
    QVERIFY(far.received.contains(cancelled(1, "timeout")));
    QVERIFY(far.received.contains(cancelled(2, "timeout")));

    far.answer(1); // too late: nothing more for the client
    far.write("{\"id\":2,\"error\":{\"code\":1,\"message\":\"late\"}}\n");
    QVERIFY(roundTrip(rig, far));
    QCOMPARE(rig.sent.size(), 3);
    QCOMPARE(rig.server->pendingCount(), 0);
}

// Each request times out callTimeoutMs after it was sent, whatever ended around it.
void TestRelay::staggeredTimeouts()
{
    ServerOptions options = testOptions();
    options.callTimeoutMs = 1500;
    LogCapture log;
    Rig rig(options);
    FarEnd far;
    QVERIFY(open(rig, far));
    rig.send(call(1, "add_wall"));
    QTest::qWait(700);
    QElapsedTimer clock;
    clock.start();
    rig.send(call(2, "undo"));
    rig.send(call(3, "list_elements"));
    QTRY_COMPARE(far.received.size(), 3);
    far.answer(3); // ends early
    QTRY_COMPARE_WITH_TIMEOUT(rig.sent.size(), 2, 10000);
    QCOMPARE(sentWithId(rig, 3), response(3, {}));
    QCOMPARE(sentWithId(rig, 1)["result"]["isError"], true); // the first has timed out
    QVERIFY(sentWithId(rig, 2).isUndefined());               // the second, sent later, waits
    QTRY_COMPARE_WITH_TIMEOUT(rig.sent.size(), 3, 10000);
    QVERIFY2(clock.elapsed() >= 1400, qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(sentWithId(rig, 2)["result"]["isError"], true);
    QCOMPARE(log.countStarting("no answer to tools/call"), 2);
}

void TestRelay::cancellation_data()
{
    QTest::addColumn<QByteArray>("clientId");
    QTest::addColumn<QByteArray>("params");   // of the client's notifications/cancelled
    QTest::addColumn<QByteArray>("toTheApp"); // the cancellation Vesk Studio gets; empty: none

    QTest::newRow("numeric id with a reason")
            << QByteArray("5") << QByteArray(R"({"requestId":5,"reason":"user stop"})")
            << QByteArray(
                       R"({"method":"notifications/cancelled","params":{"requestId":1,"reason":"user stop"}})");
    QTest::newRow("a reason that is not a string is left out")
            << QByteArray("5") << QByteArray(R"({"requestId":5,"reason":3})")
            << QByteArray(R"({"method":"notifications/cancelled","params":{"requestId":1}})");
    QTest::newRow("no reason")
            << QByteArray("5") << QByteArray(R"({"requestId":5})")
            << QByteArray(R"({"method":"notifications/cancelled","params":{"requestId":1}})");
    QTest::newRow("string id")
            << QByteArray("\"abc\"") << QByteArray(R"({"requestId":"abc","reason":""})")
            << QByteArray(
                       R"({"method":"notifications/cancelled","params":{"requestId":1,"reason":""}})");
    QTest::newRow("5 does not cancel \"5\"")
            << QByteArray("\"5\"") << QByteArray(R"({"requestId":5})") << QByteArray();
    QTest::newRow("\"5\" does not cancel 5")
            << QByteArray("5") << QByteArray(R"({"requestId":"5"})") << QByteArray();
    QTest::newRow("another id") << QByteArray("5") << QByteArray(R"({"requestId":6})")
                                << QByteArray();
    QTest::newRow("no requestId") << QByteArray("5") << QByteArray("{}") << QByteArray();
}

void TestRelay::cancellation()
{
    QFETCH(QByteArray, clientId);
    QFETCH(QByteArray, params);
    QFETCH(QByteArray, toTheApp);
    Rig rig;
    FarEnd far;
    QVERIFY(open(rig, far));
    rig.send(R"({"jsonrpc":"2.0","id":)" + clientId
             + R"(,"method":"tools/call","params":{"name":"add_wall"}})");
    QTRY_COMPARE(far.received.size(), 1);
    rig.send(cancel(params));
    QVERIFY(roundTrip(rig, far));
    far.answer(1); // the answer to the request, after the cancellation
    QVERIFY(roundTrip(rig, far));

    const QJsonValue id = QJsonDocument::fromJson("[" + clientId + "]").array().at(0);
    if (toTheApp.isEmpty()) {
        QCOMPARE(far.received.size(), 3); // the request and two round trips
        QCOMPARE(sentWithId(rig, id), response(id, {}));
    } else {
        QCOMPARE(far.received.size(), 4);
        QCOMPARE(far.received.at(1), object(toTheApp));
        QVERIFY(sentWithId(rig, id).isUndefined()); // no response at all
        QCOMPARE(rig.sent.size(), 2);
    }
    QCOMPARE(rig.server->pendingCount(), 0);
}

void TestRelay::batchWithCancelledMember_data()
{
    QTest::addColumn<QByteArray>("batch");
    QTest::addColumn<QList<int>>("answered"); // application ids answered before the cancellation
    QTest::addColumn<int>("cancelledId");     // client id, and the application id it got
    QTest::addColumn<int>("cancelledAppId");
    QTest::addColumn<QByteArray>("expected"); // the array written; empty: nothing written

    const QByteArray ping = R"({"jsonrpc":"2.0","id":1,"method":"ping"})";
    const QByteArray two
            = R"({"jsonrpc":"2.0","id":2,"method":"tools/call","params":{"name":"add_wall"}})";
    const QByteArray three
            = R"({"jsonrpc":"2.0","id":3,"method":"tools/call","params":{"name":"undo"}})";
    QTest::newRow("a ping and a cancelled call")
            << "[" + ping + "," + two + "]" << QList<int>{} << 2 << 1
            << QByteArray(R"([{"jsonrpc":"2.0","id":1,"result":{}}])");
    QTest::newRow("two calls, the first cancelled")
            << "[" + two + "," + three + "]" << QList<int>{2} << 2 << 1
            << QByteArray(R"([{"jsonrpc":"2.0","id":3,"result":{"n":2}}])");
    QTest::newRow("two calls, the second cancelled")
            << "[" + two + "," + three + "]" << QList<int>{1} << 3 << 2
            << QByteArray(R"([{"jsonrpc":"2.0","id":2,"result":{"n":1}}])");
    QTest::newRow("a notification and a cancelled call")
            << "[" + two + R"(,{"jsonrpc":"2.0","method":"notifications/x"}])" << QList<int>{} << 2
            << 1 << QByteArray();
}

void TestRelay::batchWithCancelledMember()
{
    QFETCH(QByteArray, batch);
    QFETCH(QList<int>, answered);
    QFETCH(int, cancelledId);
    QFETCH(int, cancelledAppId);
    QFETCH(QByteArray, expected);
    LogCapture log;
    Rig rig;
    FarEnd far;
    QVERIFY(open(rig, far));
    rig.send(batch);
    const qsizetype calls = batch.count("tools/call");
    QTRY_COMPARE(far.received.size(), calls);
    for (int appId : answered)
        far.answer(appId, "{\"n\":" + QByteArray::number(appId) + "}");
    QTRY_COMPARE(rig.server->pendingCount(), int(calls - answered.size()));
    QVERIFY(rig.sent.isEmpty()); // held back while a member is outstanding
    rig.send(cancel("{\"requestId\":" + QByteArray::number(cancelledId) + "}"));
    QVERIFY(roundTrip(rig, far));

    QCOMPARE(far.received.at(calls), cancelled(cancelledAppId));
    QList<QByteArray> written = rig.raw;
    written.removeLast(); // the round trip's answer
    if (expected.isEmpty()) {
        QVERIFY2(written.isEmpty(), written.value(0).constData());
    } else {
        QCOMPARE(written.size(), 1);
        QCOMPARE(QJsonDocument::fromJson(written.at(0)).array(),
                 QJsonDocument::fromJson(expected).array());
    }
}

void TestRelay::progress()
{
    LogCapture log;
    Rig rig;
    FarEnd far;
    QVERIFY(open(rig, far));
    rig.send(
            R"({"jsonrpc":"2.0","id":1,"method":"tools/call","params":{"name":"render_preview","_meta":{"progressToken":"t1"}}})");
    QTRY_COMPARE(far.received.size(), 1);
    const QByteArray params
            = R"({"progressToken":"t1","progress":0.5,"total":2,"message":"Đang dựng ảnh","x":[1,{}]})";
    const QByteArray progress = R"({"method":"notifications/progress","params":)" + params + "}\n";
    far.write(progress); // before the initialized notification: dropped
    far.answer(1);
    QTRY_COMPARE(rig.sent.size(), 1);
    QCOMPARE(rig.last(), response(1, {}));

    rig.send(initialized);
    far.write(progress + progress); // forwarded unchanged, also after the request has ended
    QTRY_COMPARE(rig.sent.size(), 3);
    const QJsonObject forwarded{
            {"jsonrpc", "2.0"}, {"method", "notifications/progress"}, {"params", object(params)}};
    QCOMPARE(rig.sent.at(1), forwarded);
    QCOMPARE(rig.sent.at(2), forwarded);
}

void TestRelay::finishWhenIdle_data()
{
    QTest::addColumn<bool>("call");
    QTest::addColumn<bool>("answer");
    QTest::newRow("nothing outstanding") << false << false;
    QTest::newRow("a call answered later") << true << true;
    QTest::newRow("a call never answered") << true << false;
}

void TestRelay::finishWhenIdle()
{
    QFETCH(bool, call);
    QFETCH(bool, answer);
    LogCapture log;
    Rig rig;
    FarEnd far;
    QVERIFY(open(rig, far));
    if (call) {
        rig.send(::call(1, "add_wall"));
        QTRY_COMPARE(far.received.size(), 1);
    }
    int finished = 0;
    rig.server->finishWhenIdle([&finished] { ++finished; }, 1000);
    QCOMPARE(finished, 0); // never from inside the call, even with nothing outstanding
    if (call) {
        QTest::qWait(300); // waits for the outstanding call
        QCOMPARE(finished, 0);
    }
    if (answer)
        far.answer(1);
    QTRY_COMPARE_WITH_TIMEOUT(finished, 1, 5000);
    QCOMPARE(rig.sent.size(), answer ? 1 : 0);
    QCOMPARE(log.count("input closed, 1 request(s) left unanswered"), call && !answer ? 1 : 0);
    QTest::qWait(1200); // past the grace: the callback ran once
    QCOMPARE(finished, 1);
    QCOMPARE(log.countStarting("input closed"), call && !answer ? 1 : 0);
}

QTEST_GUILESS_MAIN(TestRelay)
#include "tst_relay.moc"
