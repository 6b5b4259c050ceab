// tst_link.cpp - the pipe to Vesk Studio: attempts, polling, framing, loss, list changes, account
#include "testsupport.h"

#include <QElapsedTimer>

using namespace ves::mcp;
using namespace ves::mcp::testing;

namespace {

// The account check's system calls, answered from these values.
namespace probe {
std::uint32_t pid = 0;
bool canOpen = true;
std::string serverSid;
std::string ownSid;
std::uint32_t asked = 0; // the pid the check tried to open
int opened = 0;
int closed = 0;
constexpr native::Handle self = 7;
constexpr native::Handle server = 9;

AccountProbe make()
{
    opened = closed = 0;
    asked = 0;
    AccountProbe p;
    p.serverProcessId = [](native::Handle pipe) { return pipe > 0 ? pid : 0u; };
    p.openProcess = [](std::uint32_t processId) -> native::Handle {
        asked = processId;
        if (!canOpen)
            return 0;
        ++opened;
        return server;
    };
    p.closeProcess = [](native::Handle h) { closed += h == server ? 1 : 0; };
    p.currentProcess = [] { return self; };
    p.userSid = [](native::Handle h) {
        return h == self ? ownSid : h == server ? serverSid : std::string();
    };
    return p;
}
} // namespace probe

} // namespace

class TestLink : public QObject
{
    Q_OBJECT

private slots:
    void connectsOnInitialized();
    void reachabilityAndPolling();
    void noPollingWhenPollMsIsZero();
    void connectTimeout();
    void requestsShareOneAttempt();
    void framing_data();
    void framing();
    void lineAtTheLimit();
    void lossAnswersWhatIsPending();
    void listChangedOncePerChange();
    void listChangedNeedsInitialized();
    void appListChangedForwarded();
    void accountCheck_data();
    void accountCheck();
    void refusedPipeIsCheckedAgain();
};

void TestLink::connectsOnInitialized()
{
    LogCapture log;
    Rig rig;
    QVERIFY(rig.listen());
    rig.send(R"({"jsonrpc":"2.0","id":0,"method":"initialize","params":{"protocolVersion":"x"}})");
    rig.send(R"({"jsonrpc":"2.0","id":1,"method":"ping"})");
    QTest::qWait(200); // a connection attempt would have been accepted by now
    QVERIFY(!rig.app.hasPendingConnections());
    QVERIFY(!rig.server->isConnected());

    rig.send(initialized);
    FarEnd far;
    QVERIFY(accept(rig.app, far));
    QTRY_VERIFY(rig.server->isConnected());
    QCOMPARE(log.count("connected to Vesk Studio (" + rig.pipeName + ")"), 1);
    QCOMPARE(log.count("Vesk Studio is reachable"), 1);

    // Asking again while connected reuses the link.
    rig.send(initialized);
    rig.send(call(2, "undo"));
    QTRY_COMPARE(far.received.size(), 1);
    QCOMPARE(far.received.at(0).value("id"), 1);
    QVERIFY(!rig.app.hasPendingConnections());
    QCOMPARE(rig.sent.size(), 2); // the initialized notification is not answered
    QCOMPARE(rig.sent.at(1), response(1, {}));
}

void TestLink::reachabilityAndPolling()
{
    ServerOptions options = testOptions();
    options.pollMs = 50;
    options.verbose = true;
    LogCapture log;
    Rig rig(options);
    const auto attempts = [&] { return log.countStarting("cannot connect to " + rig.pipeName); };
    const QString unreachable = "Vesk Studio is not reachable (" + rig.pipeName + ")";

    rig.send(list(1)); // one attempt on request, none after it before the initialized notification
    QCOMPARE(rig.last(), localList(1));
    QCOMPARE(attempts(), 1);
    QTest::qWait(400);
    QCOMPARE(attempts(), 1);

    rig.send(initialized);
    QTRY_VERIFY(attempts() >= 4);
    QCOMPARE(log.count(unreachable), 1);
    QCOMPARE(log.count("Vesk Studio is reachable"), 0);

    QVERIFY(rig.listen());
    FarEnd first;
    QVERIFY(accept(rig.app, first));
    QTRY_VERIFY(rig.server->isConnected());
    QCOMPARE(log.count("Vesk Studio is reachable"), 1);
    const int connectedAttempts = attempts();
    QTest::qWait(300); // connected: the polling has stopped
    QCOMPARE(attempts(), connectedAttempts);
    QVERIFY(!rig.app.hasPendingConnections());

    first.socket->disconnectFromServer(); // a loss is followed by a new attempt
    FarEnd second;
    QVERIFY(accept(rig.app, second));
    QTRY_COMPARE(log.count("Vesk Studio is reachable"), 2);
    QCOMPARE(log.count(unreachable), 2);

    rig.app.close();
    second.socket->disconnectFromServer(); // gone for good: polling again
    QTRY_COMPARE(log.count(unreachable), 3);
    const int lost = attempts();
    QTRY_VERIFY(attempts() >= lost + 2);

    bool finished = false; // the end of input stops the polling
    rig.server->finishWhenIdle([&finished] { finished = true; }, 3000);
    QTRY_VERIFY(finished);
    const int last = attempts();
    QTest::qWait(300);
    QCOMPARE(attempts(), last);
}

void TestLink::noPollingWhenPollMsIsZero()
{
    ServerOptions options = testOptions(); // pollMs 0
    options.verbose = true;
    LogCapture log;
    Rig rig(options);
    const auto attempts = [&] { return log.countStarting("cannot connect to " + rig.pipeName); };
    rig.send(initialized);
    QCOMPARE(attempts(), 1);
    QTest::qWait(300);
    QCOMPARE(attempts(), 1);
    rig.send(call(1, "add_wall")); // one attempt for each request that needs Vesk Studio
    QCOMPARE(attempts(), 2);
    QCOMPARE(rig.last(), offline(1, "add_wall", rig.pipeName));
    QCOMPARE(log.count("Vesk Studio is not reachable (" + rig.pipeName + ")"), 1);
}

void TestLink::connectTimeout()
{
    LogCapture log;
    Rig rig;
    JammedPipe jam(rig.pipeName);
    if (!jam.open())
        QSKIP("cannot fill the listen backlog of a Unix socket here");
    QElapsedTimer clock;
    clock.start();
    rig.send(call(1, "add_wall"));
    QTest::qWait(1200); // a request that comes meanwhile joins the attempt, not restarting it
    QVERIFY(rig.sent.isEmpty());
    rig.send(call(2, "undo"));
    QTRY_COMPARE_WITH_TIMEOUT(rig.sent.size(), 2, 15000);
    const qint64 elapsed = clock.elapsed(); // 2000 ms from the first request, not 3200
    QVERIFY2(elapsed >= 1800 && elapsed < 2950, qPrintable(QString::number(elapsed)));
    QCOMPARE(rig.sent.at(0), offline(1, "add_wall", rig.pipeName));
    QCOMPARE(rig.sent.at(1), offline(2, "undo", rig.pipeName));
    QCOMPARE(log.count("timed out connecting to " + rig.pipeName), 1);
    QCOMPARE(log.count("Vesk Studio is not reachable (" + rig.pipeName + ")"), 1);
    QVERIFY(!rig.server->isConnected());
}

// Also: a request cancelled while it waits for the connection is never sent, and never answered.
void TestLink::requestsShareOneAttempt()
{
    LogCapture log;
    Rig rig;
    JammedPipe jam(rig.pipeName);
    if (!jam.open())
        QSKIP("cannot fill the listen backlog of a Unix socket here");
    rig.send(call(1, "add_wall"));
    rig.send(call(2, "delete_room"));
    rig.send(call(3, "undo"));
    rig.send(R"({"jsonrpc":"2.0","method":"notifications/cancelled","params":{"requestId":2}})");
    QVERIFY(rig.sent.isEmpty());

    QVERIFY(jam.release());
    FarEnd far;
    far.attach(&jam.peer);
    QTRY_COMPARE(far.received.size(), 2);
    QCOMPARE(far.received.at(0)["params"]["name"], "add_wall");
    QCOMPARE(far.received.at(1)["params"]["name"], "undo");
    QCOMPARE(log.count("connected to Vesk Studio (" + rig.pipeName + ")"), 1);
    QVERIFY(jam.nothingQueued()); // one connection served both

    const QByteArray second = far.received.at(1).value("id").toVariant().toByteArray();
    far.write("{\"id\":" + second + ",\"result\":{\"n\":3}}\n{\"id\":1,\"result\":{\"n\":1}}\n");
    QTRY_COMPARE(rig.sent.size(), 2);
    QCOMPARE(rig.sent.at(0), response(3, {{"n", 3}}));
    QCOMPARE(rig.sent.at(1), response(1, {{"n", 1}}));
    QCOMPARE(far.received.size(), 2);
    QCOMPARE(rig.server->pendingCount(), 0);
}

void TestLink::framing_data()
{
    QTest::addColumn<QList<QByteArray>>("chunks");
    QTest::addColumn<QList<int>>("answered"); // client ids, in the order of their responses
    QTest::addColumn<QByteArray>("invalid");  // the line reported as invalid JSON, if any

    const QByteArray one = R"({"id":1,"result":{"n":1}})";
    const QByteArray two = R"({"id":2,"result":{"n":2}})";
    QTest::newRow("empty lines and a lone CR are skipped")
            << QList<QByteArray>{"\n\r\n\n" + one + "\n\n"} << QList<int>{11} << QByteArray();
    QTest::newRow("two messages in one write")
            << QList<QByteArray>{two + "\n" + one + "\n"} << QList<int>{12, 11} << QByteArray();
    QTest::newRow("a message split over writes")
            << QList<QByteArray>{one.left(5), one.mid(5, 10), one.mid(15) + "\r", "\n"}
            << QList<int>{11} << QByteArray();
    QTest::newRow("a JSON array is reported and skipped")
            << QList<QByteArray>{"[1,2]\n" + one + "\n"} << QList<int>{11} << QByteArray("[1,2]");
    QTest::newRow("malformed JSON is reported and skipped")
            << QList<QByteArray>{"{\"id\":2,\n", two + "\n"} << QList<int>{12}
            << QByteArray("{\"id\":2,");
}

void TestLink::framing()
{
    QFETCH(QList<QByteArray>, chunks);
    QFETCH(QList<int>, answered);
    QFETCH(QByteArray, invalid);

    LogCapture log;
    Rig rig;
    QVERIFY(rig.listen());
    rig.send(call(11, "add_wall"));
    rig.send(call(12, "undo"));
    FarEnd far;
    QVERIFY(accept(rig.app, far));
    QTRY_COMPARE(far.received.size(), 2);
    for (const QByteArray &chunk : chunks) {
        far.write(chunk);
        QTest::qWait(20); // lets each chunk arrive on its own
    }
    QTRY_COMPARE(rig.sent.size(), answered.size());
    for (int i = 0; i < answered.size(); ++i) {
        QCOMPARE(rig.sent.at(i)["id"], answered.at(i));
        QCOMPARE(rig.sent.at(i)["result"]["n"], answered.at(i) - 10);
    }
    if (invalid.isEmpty()) {
        QCOMPARE(log.countStarting("Vesk Studio sent invalid JSON"), 0);
    } else {
        QJsonParseError error;
        QJsonDocument::fromJson(invalid, &error);
        QCOMPARE(log.countStarting("Vesk Studio sent invalid JSON"), 1);
        QCOMPARE(log.count("Vesk Studio sent invalid JSON (" + error.errorString() + ")"), 1);
    }
    QVERIFY(rig.server->isConnected());
    QCOMPARE(log.countStarting("connection to Vesk Studio closed"), 0);
}

void TestLink::lineAtTheLimit()
{
    constexpr qsizetype limit = 0x10000000;
    LogCapture log;
    Rig rig;
    QVERIFY(rig.listen());
    rig.send(call(1, "add_wall"));
    rig.send(call(2, "undo"));
    FarEnd far;
    QVERIFY(accept(rig.app, far));
    QTRY_COMPARE(far.received.size(), 2);

    // An answer padded to exactly the limit; the pad is a member the server does not read.
    const auto padded = [](int id, qsizetype size) {
        QByteArray line = "{\"id\":" + QByteArray::number(id) + R"(,"result":{"n":1},"pad":")";
        const qsizetype head = line.size();
        line.resize(size, 'x');
        line.replace(size - 2, 2, "\"}");
        Q_ASSERT(head < size - 2);
        return line + '\n';
    };
    QElapsedTimer clock;
    clock.start();
    far.write(padded(1, limit));
    QTRY_COMPARE_WITH_TIMEOUT(rig.sent.size(), 1, 180000);
    qInfo("a line of %lld bytes took %lld ms from write to response",
          qlonglong(limit),
          qlonglong(clock.elapsed()));
    QCOMPARE(rig.sent.at(0), response(1, {{"n", 1}}));
    QVERIFY(rig.server->isConnected());

    far.write(padded(2, limit + 1));
    QTRY_COMPARE_WITH_TIMEOUT(rig.sent.size(), 2, 180000);
    QCOMPARE(log.count("connection to Vesk Studio closed (message from Vesk Studio too large)"), 1);
    QCOMPARE(rig.sent.at(1)["id"], 2);
    QCOMPARE(rig.sent.at(1)["result"]["isError"], true);
    QVERIFY(!rig.server->isConnected());
}

void TestLink::lossAnswersWhatIsPending()
{
    LogCapture log;
    Rig rig; // the default time-out of 120 s: answers that come now are the loss's
    QVERIFY(rig.listen());
    rig.send(call(1, "add_wall"));
    rig.send(list(2));
    FarEnd far;
    QVERIFY(accept(rig.app, far));
    QTRY_COMPARE(far.received.size(), 2);

    far.socket->disconnectFromServer();
    QTRY_COMPARE(rig.sent.size(), 2);
    QCOMPARE(rig.sent.at(0),
             response(1,
                      textResult(closedWhileRunning("add_wall") + notConnected(rig.pipeName),
                                 true)));
    QCOMPARE(rig.sent.at(1), localList(2));
    QCOMPARE(rig.server->pendingCount(), 0);
    QVERIFY(!rig.server->isConnected());
    // Qt reports the break as an error and as a disconnect: one log line.
    QTest::qWait(100);
    QCOMPARE(log.countStarting("connection to Vesk Studio closed ("), 1);
    QCOMPARE(log.count("Vesk Studio is not reachable (" + rig.pipeName + ")"), 1);
    QCOMPARE(far.received.size(), 2); // nothing sent for the answered requests
}

void TestLink::listChangedOncePerChange()
{
    LogCapture log;
    ServerOptions options = testOptions();
    options.pollMs = 50;
    Rig rig(options);
    rig.send(initialized); // nobody listens yet
    rig.send(list(1));
    QCOMPARE(rig.last(), localList(1));

    QVERIFY(rig.listen()); // the next poll connects: the local list is stale
    FarEnd first;
    QVERIFY(accept(rig.app, first));
    QTRY_COMPARE(int(rig.sent.count(listChanged)), 1);
    QCOMPARE(rig.raw.last(), R"({"jsonrpc":"2.0","method":"notifications/tools/list_changed"})");

    first.socket->disconnectFromServer(); // lost and regained: already told
    FarEnd second;
    QVERIFY(accept(rig.app, second));
    QTRY_VERIFY(rig.server->isConnected());
    QCOMPARE(int(rig.sent.count(listChanged)), 1);

    rig.send(list(2)); // Vesk Studio's list, made while connected
    QTRY_COMPARE(second.received.size(), 1);
    second.answer(second.received.at(0)["id"].toInt(), R"({"tools":[{"name":"add_wall"}]})");
    QTRY_COMPARE(rig.last()["id"], 2);
    QCOMPARE(int(rig.sent.count(listChanged)), 1);

    rig.app.close();
    second.socket->disconnectFromServer(); // the list is stale again: told once more
    QTRY_COMPARE(int(rig.sent.count(listChanged)), 2);
    QTest::qWait(300); // failed polls say nothing new
    QCOMPARE(int(rig.sent.count(listChanged)), 2);
}

void TestLink::listChangedNeedsInitialized()
{
    LogCapture log;
    ServerOptions options = testOptions();
    options.pollMs = 50;
    Rig rig(options);
    rig.send(list(1));
    QCOMPARE(rig.last(), localList(1));
    QVERIFY(rig.listen());
    rig.send(call(2, "undo")); // reachable now, but the client never said it was initialized
    FarEnd far;
    QVERIFY(accept(rig.app, far));
    QTRY_COMPARE(far.received.size(), 1);
    far.write("{\"method\":\"notifications/tools/list_changed\"}\n");
    far.answer(1);
    QTRY_COMPARE(rig.sent.size(), 2);
    QCOMPARE(rig.sent.at(1), response(2, {}));
    QCOMPARE(int(rig.sent.count(listChanged)), 0);
}

void TestLink::appListChangedForwarded()
{
    LogCapture log;
    Rig rig;
    QVERIFY(rig.listen());
    rig.send(initialized);
    FarEnd far;
    QVERIFY(accept(rig.app, far));
    rig.send(list(1));
    QTRY_COMPARE(far.received.size(), 1);
    far.answer(1, R"({"tools":[]})");
    QTRY_COMPARE(rig.sent.size(), 1);

    // Forwarded each time, params dropped; and it counts as telling the client.
    const QByteArray changed = R"({"method":"notifications/tools/list_changed","params":{"x":1}})";
    far.write(changed + "\n" + changed + "\n");
    QTRY_COMPARE(rig.sent.size(), 3);
    QCOMPARE(int(rig.sent.count(listChanged)), 2);
    far.socket->disconnectFromServer();
    QTRY_VERIFY(!rig.server->isConnected());
    QTest::qWait(100);
    QCOMPARE(int(rig.sent.count(listChanged)), 2);
}

void TestLink::accountCheck_data()
{
    QTest::addColumn<uint>("pid");
    QTest::addColumn<bool>("canOpen");
    QTest::addColumn<QByteArray>("serverSid");
    QTest::addColumn<QByteArray>("ownSid");
    QTest::addColumn<QString>("reason"); // empty: accepted

    const QByteArray sid("S-1-5-21-1001");
    QTest::newRow("same account") << 4242u << true << sid << sid << QString();
    QTest::newRow("no process id")
            << 0u << true << sid << sid << QStringLiteral("cannot identify the server process");
    QTest::newRow("process cannot be opened")
            << 4242u << false << sid << sid << QStringLiteral("cannot open server process 4242");
    const QString other = QStringLiteral("server process 4242 belongs to another account");
    QTest::newRow("another account")
            << 4242u << true << QByteArray("S-1-5-21-1002") << sid << other;
    QTest::newRow("identifiers of different lengths")
            << 4242u << true << QByteArray("S-1-5-21-10010") << sid << other;
    QTest::newRow("a prefix of the own identifier")
            << 4242u << true << sid.left(sid.size() - 1) << sid << other;
    QTest::newRow("equal length, one byte differs after a NUL byte")
            << 4242u << true << QByteArray("\x01\x00\x05", 3) << QByteArray("\x01\x00\x06", 3)
            << other;
    QTest::newRow("server identifier unreadable") << 4242u << true << QByteArray() << sid << other;
    QTest::newRow("own identifier unreadable") << 4242u << true << sid << QByteArray() << other;
}

void TestLink::accountCheck()
{
    QFETCH(uint, pid);
    QFETCH(bool, canOpen);
    QFETCH(QByteArray, serverSid);
    QFETCH(QByteArray, ownSid);
    QFETCH(QString, reason);

    probe::pid = pid;
    probe::canOpen = canOpen;
    probe::serverSid = serverSid.toStdString();
    probe::ownSid = ownSid.toStdString();
    LogCapture log;
    Rig rig;
    rig.server->setAccountProbe(probe::make());
    QVERIFY(rig.listen());
    rig.send(call(1, "add_wall"));
    FarEnd far;
    QVERIFY(accept(rig.app, far));
    QCOMPARE(probe::asked, pid); // no process is opened without a pid
    QCOMPARE(probe::closed, probe::opened);

    if (reason.isEmpty()) {
        QTRY_COMPARE(far.received.size(), 1);
        QCOMPARE(log.count("connected to Vesk Studio (" + rig.pipeName + ")"), 1);
        QCOMPARE(log.countStarting("refusing pipe"), 0);
        return;
    }
    QTRY_COMPARE(rig.sent.size(), 1); // the waiting call learns that there is no connection
    QCOMPARE(rig.last(), offline(1, "add_wall", rig.pipeName));
    QCOMPARE(log.countStarting("refusing pipe"), 1);
    QCOMPARE(log.count("refusing pipe " + rig.pipeName + ": " + reason), 1);
    QCOMPARE(log.countStarting("connected to Vesk Studio"), 0);
    QTRY_COMPARE(far.socket->state(), QLocalSocket::UnconnectedState);
    far.read();
    QVERIFY2(far.bytes.isEmpty(), far.bytes.constData());
    QVERIFY(!rig.server->isConnected());
}

void TestLink::refusedPipeIsCheckedAgain()
{
    probe::pid = 4242;
    probe::canOpen = true;
    probe::serverSid = "1000";
    probe::ownSid = "0";
    ServerOptions options = testOptions();
    options.pollMs = 50;
    LogCapture log;
    Rig rig(options);
    rig.server->setAccountProbe(probe::make());
    QVERIFY(rig.listen());
    rig.send(initialized);
    const QString refusal
            = "refusing pipe " + rig.pipeName + ": server process 4242 belongs to another account";
    QTRY_VERIFY(log.count(refusal) >= 3);
    QVERIFY(!rig.server->isConnected());

    probe::ownSid = "1000"; // the next attempt checks again, from the start
    QTRY_VERIFY(rig.server->isConnected());
    QCOMPARE(log.count("connected to Vesk Studio (" + rig.pipeName + ")"), 1);
    QCOMPARE(probe::closed, probe::opened);
}

QTEST_GUILESS_MAIN(TestLink)
#include "tst_link.moc"
