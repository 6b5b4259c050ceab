// mcpserver.h - the MCP protocol engine and the link to Vesk Studio, one object on the main thread
#pragma once

#include "app/options.h"
#include "io/linecutter.h"
#include "mcp/peeraccount.h"
#include "mcp/protocol.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QHash>
#include <QJsonArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QObject>
#include <QString>
#include <QTimer>

#include <functional>
#include <map>
#include <memory>
#include <vector>

class QLocalSocket;

namespace ves::mcp {

// A JSON value as QJsonDocument writes it in compact form, e.g. inside an object.
QByteArray compactValue(const QJsonValue &value);
// The value back from such a text.
QJsonValue valueFromCompact(const QByteArray &text);
QString instructions();

// Delivers the one response of a request. Called exactly once; an empty object settles a request
// that gets no response (one the client cancelled), so that a batch holding it can be written.
using Reply = std::function<void(const QJsonObject &)>;

// A relayed request once it was sent to Vesk Studio. The client's id is kept as its compact JSON
// text: the form written in the answer, and the key a cancellation is looked up by.
struct PendingRequest
{
    QByteArray clientId;
    QString method;
    QString toolName;
    bool firstPage = true;
    bool ownLine = false; // reply writes the response as a line of its own (not in a batch)
    Reply reply;
    qint64 deadline = 0;      // time-out, in milliseconds of the server's callClock
    QByteArray progressToken; // the client's, as compact JSON; empty when it asked for none
    qint64 lastProgress = -1; // when a progress notification for it last went to the client
    qint64 cost = 0;          // what the entry holds, counted in heldBytes
};

// A client's tools/list or tools/call on its way to Vesk Studio.
struct RelayedRequest
{
    QString method;
    QJsonValue id; // the client's
    QJsonObject params;
    QString toolName; // tools/call only
    Reply reply;
};

// The same while it waits for a connection, in the compact form it is sent in.
struct WaitingRequest
{
    QString method;
    QByteArray clientId; // compact JSON, as in PendingRequest
    QByteArray params;   // compact JSON
    QString toolName;
    bool firstPage = true;
    bool ownLine = false;
    QByteArray progressToken;
    Reply reply;
    qint64 cost() const;
};

// The system calls of the pipe server's account check; tests replace them to reach the refusals
// that one machine account cannot produce.
struct AccountProbe
{
    std::uint32_t (*serverProcessId)(native::Handle pipe) = native::pipeServerProcessId;
    native::Handle (*openProcess)(std::uint32_t pid) = native::openProcessForQuery;
    void (*closeProcess)(native::Handle process) = native::closeProcess;
    native::Handle (*currentProcess)() = native::currentProcess;
    std::string (*userSid)(native::Handle process) = native::userSid;
};

// Writes one message given in three pieces (head, size bytes at body, tail) as one line.
using PiecesWriter = std::function<void(
        const QByteArray &head, const char *body, qsizetype size, const QByteArray &tail)>;

// All members run on the main thread; the stdin reader only posts calls to it.
class McpServer : public QObject
{
public:
    McpServer(ServerOptions options, std::function<void(const QByteArray &)> out, QObject *parent);
    // Optional: without it a message in pieces is joined and handed to out.
    void setPiecesWriter(PiecesWriter writer) { outPieces = std::move(writer); }
    // Optional: sends what out and the pieces writer buffered. Called once per turn of the event
    // loop, after the lines for Vesk Studio have been sent.
    void setOutputFlush(std::function<void()> flush) { outFlush = std::move(flush); }
    ~McpServer() override;
    // Sends the lines for Vesk Studio and what the output wrote so far. Runs once per turn of the
    // event loop by itself; the stdin reader calls it after each batch of lines it hands over.
    void flushOutput();
    McpServer(const McpServer &) = delete;
    McpServer &operator=(const McpServer &) = delete;

    // A batch line of more members is answered with one error, unparsed.
    static constexpr int maxBatch = 10000;
    // How long bytes for Vesk Studio may wait unsent without any being taken before the
    // connection counts as lost: a Vesk Studio that stops reading.
    static constexpr int appStallMs = 5000;
    // What relayed requests may hold while they wait (ids, tool names, params not yet sent, the
    // bytes Vesk Studio has not read yet); beyond it a new one is refused at once.
    static constexpr qint64 maxHeldBytes = 64 << 20;
    // A call that had progress notifications is answered no sooner than this after the last of
    // them, so that the client reads them apart: a client may handle an answer before a
    // notification that came with it in one read, and then find the progress token unknown.
    static constexpr int progressQuietMs = 30;

    // JSON-RPC layer
    void handleLine(const QByteArray &line);
    void handleBatch(const QJsonArray &batch);
    void handleMessage(const QJsonObject &message, const Reply &reply);
    void rejectTooLarge();
    void finishWhenIdle(std::function<void()> callback, int graceMs);
    // The process was asked to end (what names the signal or console event): Vesk Studio is
    // told to cancel what it still works on for this client, what was written leaves, and then
    // callback runs (it ends the event loop).
    void stop(const QString &what, const std::function<void()> &callback);

    static QJsonObject makeResult(const QJsonValue &id, const QJsonObject &result);
    static QJsonObject makeError(const QJsonValue &id,
                                 int code,
                                 const QString &message,
                                 const QJsonValue &data = QJsonValue::Undefined);
    static QString idKey(const QJsonValue &id);
    void notify(const QString &method, const QJsonObject &params = {});

    // output and log
    void sendToClient(const QJsonObject &message);
    void writeToClient(const QByteArray &bytes);
    void writeToClient(const QByteArray &head,
                       const char *body,
                       qsizetype size,
                       const QByteArray &tail);
    static void log(const QString &text);
    void trace(const QString &text) const;

    // tool texts, public for the tests that check them byte for byte
    static QJsonObject statusTool();
    static QJsonObject toolResult(const QString &text, bool isError);
    static QJsonObject localToolList();
    QString notConnectedText() const;
    QString closedText(const QString &toolName) const; // a call under way when the link was lost
    static QString timeoutText(int seconds, const QString &toolName);

    void setAccountProbe(const AccountProbe &probe) { accountProbe = probe; }

    // state the tests look at
    bool isConnected() const { return connected; }
    // requests whose answer is not written yet
    int pendingCount() const { return int(pending.size() + heldAnswers.size()); }

private:
    // initialization and client notifications
    void handleRequest(const QString &method,
                       const QJsonValue &id,
                       const QJsonObject &params,
                       const Reply &reply);
    void handleInitialize(const QJsonValue &id, const QJsonObject &params, const Reply &reply);
    void handleNotification(const QString &method, const QJsonObject &params);

    // tool catalogue
    void handleToolsCall(const QJsonValue &id, const QJsonObject &params, const Reply &reply);
    void answerOffline(const QString &method,
                       const QJsonValue &id,
                       const QString &toolName,
                       const Reply &reply);
    void answerStatusConnected(const QJsonValue &id, const Reply &reply);
    void mergeToolList(QJsonObject &result, bool firstPage);
    void announceListChange(bool reachableNow);
    void appToolListChanged();

    // pipe connection
    void whenConnected(std::function<void(bool)> callback);
    void sendToApp(const QJsonObject &message);
    void sendLineToApp(QByteArray line); // one serialised message, compact, without its line end
    void flushToApp();
    void connectToApp();
    void dropSocket();
    void appStalled();
    void finishConnect(bool ok);
    void connectTimedOut();
    void pollTimedOut();
    void closeConnection(const QString &reason);
    void setReachable(bool state);
    void schedulePoll();
    void readFromApp();

    // request relay
    void relay(RelayedRequest request);
    void relayConnected(WaitingRequest request);
    void forward(WaitingRequest request);
    PendingRequest takeEntry(std::map<int, PendingRequest>::iterator it);
    void deliver(PendingRequest &entry, const QJsonObject &response);
    void releaseHeldAnswers(bool all);
    int abandonOutstanding(const QString &reason);
    qint64 unsentToApp() const;
    bool passThrough(const QByteArray &line);
    void handleAppMessage(const QJsonObject &message);
    // answer is the result object when success is set, else the error object
    void completeRequest(int appId, bool success, const QJsonObject &answer);
    void requestTimedOut(int appId);
    void armCallTimer();
    void callTimerFired();
    void cancelPending(const QJsonValue &requestId, const QJsonValue &reason);
    std::map<int, PendingRequest> takePending();
    void forgetUnsent(const QByteArray &clientId, const std::shared_ptr<Reply> &waiting);
    int timeoutSeconds() const;

    // account check
    void verifyPipeServer(QLocalSocket *signalling);
    QString refusalReason();
    QString pipePathRefusal() const;

    // end of input
    void checkIdle();
    void finish();
    void graceExpired();

    QString pipeName;
    int callTimeoutMs;
    int connectTimeoutMs;
    int pollMs;
    bool verbose;
    QString version;
    std::function<void(const QByteArray &)> out;
    PiecesWriter outPieces;
    std::function<void()> outFlush;

    // handleLine is handling a message that is not part of a batch, so its reply writes a line
    // of its own: the condition for passing a tools/call answer through unparsed.
    bool singleMessage = false;
    bool clientInitialized = false;
    QString protocolVersion;

    QLocalSocket *socket = nullptr;
    bool connecting = false;
    bool connected = false;
    std::vector<std::function<void(bool)>> waiters;
    QTimer connectTimer;
    QTimer pollTimer;
    LineCutter appLines; // framing of what Vesk Studio sends
    QByteArray appOut;   // lines for Vesk Studio written in this turn of the event loop
    bool reachable = false;
    bool reachableKnown = false;

    bool listedState = false;
    bool clientListed = false;
    bool listChangedPending = false;
    bool appHasStatusTool = false;

    std::function<void()> finishCallback;
    quint32 lastRequestId = 0;
    std::map<int, PendingRequest> pending;
    QMultiHash<QByteArray, int> pendingByClientId; // for cancellations
    QHash<QByteArray, int> pendingByProgressToken; // for progress notifications
    // Relayed requests waiting for a connection attempt, by client id; an emptied reply marks
    // one the client cancelled.
    std::multimap<QByteArray, std::shared_ptr<Reply>> unsent;
    qint64 heldBytes = 0; // what pending and unsent requests hold
    // Answers held back after progress (progressQuietMs), by when they may go.
    std::multimap<qint64, std::function<void()>> heldAnswers;
    QTimer heldAnswerTimer;
    // One timer for all relayed requests, armed for the earliest deadline in `pending`, instead
    // of a QTimer object per request whose creation and deleteLater cost allocations and extra
    // wake-ups of the event loop on every call.
    QTimer callTimer;
    QElapsedTimer callClock; // started at construction; the clock of the deadlines
    QTimer stallTimer;       // bytes for Vesk Studio have waited without any being taken
    // Gives back the room of a large answer once Vesk Studio has sent nothing for a while.
    QTimer releaseTimer;

    AccountProbe accountProbe;
};

} // namespace ves::mcp
