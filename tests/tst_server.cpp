// tst_server.cpp - McpServer in process against a real QLocalServer: each row a short session
// between the client, the server and Vesk Studio's end of the pipe, written as steps:
//   > LINE          the client sends LINE              < PATTERN   the client's next message
//   call ID TOOL    the client calls TOOL              <| PATTERN  ...written unparsed, as received
//   list ID [P]     the client lists the tools         err ID CODE the next message is this error
//   init            notifications/initialized          tool ID B   ...a tool result, isError B
//   cancel PARAMS   notifications/cancelled            v PATTERN   what Vesk Studio receives next
//   listen, accept  the far end listens, takes the connection
//   ^ LINE          the far end writes LINE            ok ID [R]   the far end answers ID
//   ~ BYTES         ...BYTES, \n and \r escaped          pad ID N    ...an answer of N bytes
//   drop, close     the far end disconnects, stops listening
//   log TEXT        a log line starts "vesk-mcp: TEXT"  nolog TEXT  ...none does
//   with OPTIONS (first, if any: timeout=MS connect=MS poll=MS,probe=PID,OPEN,SID,SID verbose)
//   connected B, pending N, finish MS, finished N, quiet (nothing else was written), mark,
//   since>= MS, since< MS, jam, release (a pipe whose connect stays under way), wait MS
// Every row ends with quiet: the client got nothing more than the row expects. Patterns name
// what matters (support.h); the exact texts are in tst_program's table.
#include "support.h"

#include <QElapsedTimer>
#include <QThread>
#include <QRegularExpression>

#ifdef Q_OS_LINUX
#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#endif

using namespace ves::mcp;
using namespace ves::mcp::testing;

namespace {

#ifdef Q_OS_LINUX
// A listening Unix socket whose backlog is full: a connect to it neither succeeds nor fails
// until release() makes room, so an attempt stays under way until the server's time-out.
struct JammedPipe
{
    QString path;
    int listener = -1, filler = -1;
    QLocalSocket peer;
    sockaddr_un a{};

    explicit JammedPipe(const QString &pipeName)
        : path(QDir::tempPath() + QLatin1Char('/') + pipeName)
    {
        a.sun_family = AF_UNIX;
        std::strncpy(a.sun_path, QFile::encodeName(path).constData(), sizeof a.sun_path - 1);
    }
    ~JammedPipe()
    {
        for (int fd : {listener, filler})
            if (fd >= 0)
                ::close(fd);
        QFile::remove(path);
    }
    int connectOnce()
    {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (::connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0)
            return fd;
        ::close(fd);
        return -1;
    }
    bool open()
    {
        listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (::bind(listener, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0
            || ::listen(listener, 0) != 0)
            return false;
        filler = connectOnce(); // takes the one place in the backlog
        const int probe = connectOnce();
        return filler >= 0 && probe < 0 && errno == EAGAIN;
    }
    bool release()
    {
        ::close(::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC));
        ::close(std::exchange(filler, -1));
        int fd = -1;
        return waitFor([&] { return (fd = ::accept4(listener, nullptr, nullptr, 0)) >= 0; })
               && peer.setSocketDescriptor(fd);
    }
};
#endif

// The account check's system calls, answering what a row sets.
namespace probe {
std::uint32_t pid;
bool canOpen;
std::string serverSid, ownSid;
std::uint32_t serverProcessId(native::Handle)
{
    return pid;
}
native::Handle openProcess(std::uint32_t p)
{
    return canOpen && p ? native::Handle(7) : 0;
}
void closeProcess(native::Handle) {}
native::Handle currentProcess()
{
    return native::Handle(8);
}
std::string userSid(native::Handle h)
{
    return h == native::Handle(7) ? serverSid : ownSid;
}
} // namespace probe

QByteArray callLine(const QByteArray &id, const QByteArray &tool)
{
    return R"({"jsonrpc":"2.0","id":)" + id + R"(,"method":"tools/call","params":{"name":")" + tool
           + "\"}}";
}

} // namespace

class TestServer : public QObject
{
    Q_OBJECT

private slots:
    void sessions_data();
    void sessions();
    void answerBeforeLongWork();
};

void TestServer::sessions_data()
{
    QTest::addColumn<QByteArray>("steps");
    const auto row = [](const char *sentence, const char *steps) {
        QTest::newRow(sentence) << QByteArray(steps);
    };
    // JSON-RPC
    row("a blank line, a byte-order mark and white space around a request are dropped",
        "> \t \r \n> \xEF\xBB\xBF {\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"ping\"}\r\v\f\n"
        "< {\"id\":1,\"result\":{}}");
    row("unparsable lines get -32700 with id null and change nothing after them",
        "> {\n< {\"id\":null,\"error\":{\"code\":-32700}}\n> {\"jsonrpc\":}\nerr null -32700\n"
        "> {\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"ping\"} x\nerr null -32700");
    row("non-objects in a batch are invalid and nested arrays are not unpacked",
        "> [\"a\",null,[{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"ping\"}]]\n"
        "< [{\"id\":null,\"error\":{\"code\":-32600}},{\"id\":null,\"error\":{\"code\":-32600}},"
        "{\"id\":null,\"error\":{\"code\":-32600}}]");
    row("a batch of notifications and client responses writes nothing",
        "> [{\"jsonrpc\":\"2.0\",\"method\":\"notifications/x\"},{\"method\":5},"
        "{\"jsonrpc\":\"2.0\",\"id\":1,\"result\":{}},{\"id\":\"x\",\"error\":{}}]");
    row("a mixed batch answers its requests in order in one array",
        "> [{\"jsonrpc\":\"2.0\",\"id\":\"a\",\"method\":\"ping\"},{\"jsonrpc\":\"2.0\","
        "\"method\":\"n/x\"},{\"jsonrpc\":\"2.0\",\"id\":2,\"method\":\"nope\"},"
        "{\"jsonrpc\":\"2.0\",\"id\":4}]\n"
        "< [{\"id\":\"a\",\"result\":{}},{\"id\":2,\"error\":{\"code\":-32601}},"
        "{\"id\":4,\"error\":{\"code\":-32600}}]");
    row("ids keep their type and value",
        "> {\"jsonrpc\":\"2.0\",\"id\":1.5,\"method\":\"ping\"}\n< {\"id\":1.5}\n"
        "> {\"jsonrpc\":\"2.0\",\"id\":\"7\",\"method\":\"ping\"}\n< {\"id\":\"7\"}");
    row("invalid and unknown notifications get nothing",
        "> {\"jsonrpc\":\"2.0\",\"method\":\"notifications/initialized\",\"params\":[]}\n"
        "> {\"jsonrpc\":\"2.0\",\"method\":7}\n> {\"jsonrpc\":\"2.0\",\"method\":\"n/x\"}\n"
        "> {\"jsonrpc\":\"2.0\",\"method\":\"notifications/cancelled\",\"params\":{}}");
    row("initialize agrees a supported version, else the newest, and may come twice",
        "> {\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"initialize\",\"params\":"
        "{\"protocolVersion\":\"2025-03-26\",\"clientInfo\":\"x\"}}\n"
        "< {\"id\":1,\"result\":{\"protocolVersion\":\"2025-03-26\",\"capabilities\":"
        "{\"tools\":{\"listChanged\":true}},\"serverInfo\":{\"name\":\"vesk-studio\"}}}\n"
        "> {\"jsonrpc\":\"2.0\",\"id\":2,\"method\":\"initialize\",\"params\":"
        "{\"protocolVersion\":\"2099-01-01\"}}\n< "
        "{\"result\":{\"protocolVersion\":\"2025-11-25\"}}");
    // Without Vesk Studio
    row("without Vesk Studio the status tool reports it and other tools are tool errors",
        "call 1 vesk_status\ntool 1 false\ncall 2 add_wall\ntool 2 true\nlist 3 "
        "{\"cursor\":\"p\"}\n"
        "< {\"id\":3,\"result\":{\"tools\":[{\"name\":\"vesk_status\"}]}}\n"
        "log Vesk Studio is not reachable (@PIPE@)");
    row("a batch waits for its tool call, and the end of input for the batch",
        "with connect=1500\n"
        "jam\n> [{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"ping\"},{\"jsonrpc\":\"2.0\",\"id\":2,"
        "\"method\":\"tools/call\",\"params\":{\"name\":\"d\"}}]\nfinish 600000\nfinished 1\n"
        "< [{\"id\":1},{\"id\":2,\"result\":{\"isError\":true}}]\nlog timed out connecting to "
        "@PIPE@");
    row("the grace ends a wait for a connection attempt",
        "with connect=600000\n"
        "jam\nlist 1\nfinish 200\nfinished 1\nlog input closed, 1 request(s) left unanswered");
    row("requests during an attempt join it instead of restarting it",
        "jam\nmark\ncall 1 add_wall\nwait 1200\ncall 2 undo\ntool 1 true\ntool 2 true\n"
        "since>= 2000\nsince< 2950");
    row("queued requests go out in order on one connection; a cancelled waiting one never",
        "jam\ncall 1 add_wall\ncall 2 delete_room\ncall 3 undo\ncancel {\"requestId\":2}\n"
        "release\nv {\"id\":1,\"params\":{\"name\":\"add_wall\"}}\nv "
        "{\"id\":2,\"params\":{\"name\":\"undo\"}}\n"
        "^ {\"id\":2,\"result\":{\"n\":3}}\nok 1\n< {\"id\":3,\"result\":{\"n\":3}}\n< {\"id\":1}\n"
        "pending 0");
    // The link
    row("the initialized notification connects, and later requests reuse the link",
        "listen\n> {\"jsonrpc\":\"2.0\",\"id\":0,\"method\":\"initialize\",\"params\":"
        "{\"protocolVersion\":\"x\"}}\n< {\"id\":0}\ninit\naccept\n"
        "connected true\nlog connected to Vesk Studio (@PIPE@)\nlog Vesk Studio is reachable\n"
        "init\ncall 2 undo\nv {\"id\":1}\nok 1\n< {\"id\":2}");
    row("polling retries while unreachable, stops when connected and at the end",
        "with poll=50\n"
        "list 1\n< {\"id\":1}\ninit\nlog Vesk Studio is not reachable (@PIPE@)\nlisten\naccept\n"
        "connected true\n< {\"method\":\"notifications/tools/list_changed\"}\ndrop\naccept\n"
        "connected true\nclose\ndrop\nconnected false\n"
        "finish 3000\nfinished 1");
    row("without polling each request makes one attempt",
        "init\ncall 1 add_wall\ntool 1 true\nlisten\ncall 2 add_wall\naccept\nv {\"id\":1}");
    row("Vesk Studio's lines may come split, joined, blank or invalid",
        "listen\ncall 11 a\ncall 12 b\naccept\nv {\"id\":1}\nv {\"id\":2}\n"
        "~ \\n\\r\\n[1,2]\\n{\"id\":2,\\n{\"id\":2,\"res\nwait 50\n~ ult\":{\"n\":2}}\\r\\n"
        "{\"id\":1,\"result\":{\"n\":1}}\\n\n< {\"id\":12,\"result\":{\"n\":2}}\n"
        "< {\"id\":11,\"result\":{\"n\":1}}\nlog Vesk Studio sent invalid JSON (\n"
        "connected true");
    row("a lost connection answers what is pending",
        "listen\ncall 1 add_wall\nlist 2\naccept\nv {\"id\":1}\nv {\"id\":2}\ndrop\ntool 1 true\n"
        "< {\"id\":2,\"result\":{\"tools\":[{\"name\":\"vesk_status\"}]}}\npending 0\n"
        "log connection to Vesk Studio closed (");
    row("list_changed once per change of reachability after a listing",
        "with poll=50\n"
        "init\nlist 1\n< {\"id\":1}\nlisten\naccept\n< "
        "{\"method\":\"notifications/tools/list_changed\"}\n"
        "drop\naccept\nconnected true\nlist 2\nv {\"id\":1}\nok 1 {\"tools\":[]}\n< {\"id\":2}\n"
        "close\ndrop\n< {\"method\":\"notifications/tools/list_changed\"}\nwait 300");
    row("no list_changed before the initialized notification",
        "list 1\n< {\"id\":1}\nlisten\ncall 2 undo\naccept\nv {\"id\":1}\n"
        "^ {\"method\":\"notifications/tools/list_changed\"}\nok 1\n< {\"id\":2}");
    row("Vesk Studio's list_changed is passed on each time",
        "listen\ninit\naccept\nconnected true\n^ {\"method\":\"notifications/tools/list_changed\","
        "\"params\":{\"x\":1}}\n< {\"method\":\"notifications/tools/list_changed\"}\n"
        "^ {\"method\":\"notifications/tools/list_changed\"}\n"
        "< {\"method\":\"notifications/tools/list_changed\"}");
    row("a server of the same account is accepted",
        "with probe=4242,1,S-1-5-21-1001,S-1-5-21-1001\n"
        "listen\ncall 1 add_wall\naccept\nv {\"id\":1}\nlog connected to Vesk Studio (@PIPE@)");
    row("a server process without id is refused",
        "with probe=0,1,S-1,S-1\n"
        "listen\ncall 1 add_wall\naccept\ntool 1 true\n"
        "log refusing pipe @PIPE@: cannot identify the server process");
    row("a server process that cannot be opened is refused",
        "with probe=4242,0,S-1,S-1\n"
        "listen\ncall 1 add_wall\naccept\ntool 1 true\n"
        "log refusing pipe @PIPE@: cannot open server process 4242");
    row("a server of another account is refused, and checked again",
        "with poll=50,probe=4242,1,S-2,S-1\n"
        "listen\ninit\naccept\naccept\naccept\nconnected false\nnolog connected to\n"
        "log refusing pipe @PIPE@: server process 4242 belongs to another account");
    row("an unreadable server identifier is refused",
        "with probe=4242,1,,S-1\n"
        "listen\ncall 1 add_wall\naccept\ntool 1 true\nnolog connected to");
    // The relay
    row("requests get Vesk Studio's own ids, counting on across connections",
        "listen\ncall 1 add_wall\naccept\nv {\"id\":1,\"method\":\"tools/call\",\"params\":"
        "{\"name\":\"add_wall\",\"arguments\":{}}}\ncall 2 vesk_status\ntool 2 false\nok 1\n"
        "< {\"id\":1,\"result\":{}}\ndrop\nconnected false\nlist 3\naccept\n"
        "v {\"id\":2,\"method\":\"tools/list\",\"params\":{}}");
    row("params are forwarded whole, arguments null becoming {}",
        "listen\n> {\"jsonrpc\":\"2.0\",\"id\":\"r\",\"method\":\"tools/call\",\"params\":"
        "{\"name\":\"w\",\"arguments\":{\"l\":\"Phòng\",\"p\":[[0,2.5]]},\"_meta\":"
        "{\"progressToken\":\"p1\"}}}\naccept\nv {\"id\":1,\"method\":\"tools/call\",\"params\":"
        "{\"name\":\"w\",\"arguments\":{\"l\":\"Phòng\",\"p\":[[0,2.5]]},\"_meta\":"
        "{\"progressToken\":\"p1\"}}}\n> {\"jsonrpc\":\"2.0\",\"id\":2,\"method\":\"tools/call\","
        "\"params\":{\"name\":\"w\",\"arguments\":null}}\nv {\"params\":{\"arguments\":{}}}\n"
        "> {\"jsonrpc\":\"2.0\",\"id\":3,\"method\":\"tools/list\",\"params\":null}\n"
        "v {\"id\":3,\"params\":{}}");
    row("the status tool is added to the first page only, and Vesk Studio's own is kept",
        "listen\nlist 1\naccept\nv {\"id\":1}\nok 1 "
        "{\"tools\":[{\"name\":\"a\"}],\"nextCursor\":\"p2\"}\n"
        "< {\"id\":1,\"result\":{\"tools\":[{\"name\":\"a\"},{\"name\":\"vesk_status\"}],"
        "\"nextCursor\":\"p2\"}}\nlist 2 {\"cursor\":\"p2\"}\nv {\"params\":{\"cursor\":\"p2\"}}\n"
        "ok 2 {\"tools\":[{\"name\":\"b\"}]}\n< "
        "{\"id\":2,\"result\":{\"tools\":[{\"name\":\"b\"}]}}\n"
        "list 3\nv {\"id\":3}\nok 3 {\"tools\":[{\"name\":\"vesk_status\",\"x\":1}]}\n"
        "< {\"result\":{\"tools\":[{\"x\":1}]}}\ncall 4 vesk_status\nv {\"id\":4}\nok 4\n< "
        "{\"id\":4}");
    row("a first page whose tools are not an array gets the status tool alone",
        "listen\nlist 1\naccept\nv {\"id\":1}\nok 1 {\"tools\":{\"name\":\"vesk_status\"}}\n"
        "< {\"result\":{\"tools\":[{\"name\":\"vesk_status\"}]}}");
    row("results and errors pass with the client's id, data and all",
        "listen\ncall 7 a\ncall 8 b\ncall 9 c\naccept\nv {\"id\":1}\nv {\"id\":2}\nv {\"id\":3}\n"
        "^ "
        "{\"id\":1,\"error\":{\"code\":-32000,\"message\":\"locked\",\"data\":{\"by\":[\"u\"]}}}\n"
        "< "
        "{\"id\":7,\"error\":{\"code\":-32000,\"message\":\"locked\",\"data\":{\"by\":[\"u\"]}}}\n"
        "^ {\"id\":2,\"error\":{\"code\":\"7\",\"message\":5}}\nerr 8 -32603\n"
        "^ {\"id\":3.0,\"result\":[1]}\nerr 9 -32603");
    row("answers that match no request are ignored",
        "listen\ncall 7 a\naccept\nv {\"id\":1}\n^ {\"id\":\"1\",\"result\":{}}\n"
        "^ {\"id\":1.5,\"result\":{}}\n^ {\"id\":4294967297,\"result\":{}}\n^ "
        "{\"id\":1,\"method\":\"x\"}\n"
        "log Vesk Studio sent a message without id or method\nok 1\n< {\"id\":7}");
    row("a time-out answers, is logged, cancels in Vesk Studio, and rounds up",
        "with timeout=1001\n"
        "listen\ncall 1 add_wall\nlist 2\naccept\nv {\"id\":1}\nv {\"id\":2}\ntool 1 true\n"
        "< {\"id\":2,\"error\":{\"code\":-32603,\"message\":\"Vesk Studio did not answer within 2 "
        "s\"}}\nv {\"method\":\"notifications/cancelled\",\"params\":{\"requestId\":1,"
        "\"reason\":\"timeout\"}}\nlog no answer to tools/call add_wall within 2 s\nok 1\n"
        "pending 0");
    row("each request times out its own time after it was sent",
        "with timeout=1500\n"
        "listen\ncall 1 a\naccept\nv {\"id\":1}\nwait 700\ncall 2 b\nv {\"id\":2}\nwait 700\nmark\n"
        "call 3 c\ncall 4 d\nv {\"id\":3}\nv {\"id\":4}\nok 4\n< {\"id\":4}\ntool 1 true\n"
        "tool 2 true\npending 1\ntool 3 true\nsince>= 1500");
    row("a connection attempt never ends before its bound",
        "with connect=300\njam\nmark\ncall 1 a\ntool 1 true\nsince>= 300\nmark\ncall 2 a\n"
        "tool 2 true\nsince>= 300\nmark\ncall 3 a\ntool 3 true\nsince>= 300\nmark\ncall 4 a\n"
        "tool 4 true\nsince>= 300\nmark\ncall 5 a\ntool 5 true\nsince>= 300\nmark\ncall 6 a\n"
        "tool 6 true\nsince>= 300\nmark\ncall 7 a\ntool 7 true\nsince>= 300");
    row("a cancelled request is cancelled in Vesk Studio with its reason, and not answered",
        "listen\ncall 5 a\naccept\nv {\"id\":1}\ncancel {\"requestId\":\"5\"}\n"
        "cancel {\"requestId\":6}\ncancel {\"requestId\":5,\"reason\":\"stop\"}\n"
        "v "
        "{\"method\":\"notifications/"
        "cancelled\",\"params\":{\"requestId\":1,\"reason\":\"stop\"}}\n"
        "ok 1\n> "
        "{\"jsonrpc\":\"2.0\",\"id\":\"s\",\"method\":\"tools/call\",\"params\":{\"name\":\"b\"}}\n"
        "v {\"id\":2}\ncancel {\"requestId\":\"s\",\"reason\":3}\n"
        "v {\"method\":\"notifications/cancelled\",\"params\":{\"requestId\":2}}\npending 0");
    row("a cancelled batch member leaves the others' answers",
        "listen\n> ["
        R"({"jsonrpc":"2.0","id":2,"method":"tools/call","params":{"name":"a"}},)"
        R"({"jsonrpc":"2.0","id":3,"method":"tools/call","params":{"name":"b"}}])"
        "\naccept\nv {\"id\":1}\nv {\"id\":2}\nok 2 {\"n\":2}\ncancel {\"requestId\":2}\n"
        "< [{\"id\":3,\"result\":{\"n\":2}}]");
    row("progress reaches an initialized client unchanged, also after the answer",
        "listen\ncall 1 a\naccept\nv {\"id\":1}\n^ {\"method\":\"notifications/progress\","
        "\"params\":{\"progressToken\":\"t\"}}\nok 1\n< {\"id\":1}\ninit\n"
        "^ {\"method\":\"notifications/progress\",\"params\":{\"progressToken\":\"t\","
        "\"progress\":0.5,\"message\":\"Đang\"}}\n< {\"method\":\"notifications/progress\","
        "\"params\":{\"progressToken\":\"t\",\"progress\":0.5,\"message\":\"Đang\"}}");
    row("the end of input waits for an outstanding call and ends once",
        "listen\ncall 1 a\naccept\nv {\"id\":1}\nfinish 60000\nwait 300\nfinished 0\nok 1\n"
        "< {\"id\":1}\nfinished 1");
    row("the grace ends a wait for an answer that never comes",
        "listen\ncall 1 a\naccept\nv {\"id\":1}\nmark\nfinish 300\nfinished 1\nsince>= 300\n"
        "log input closed, 1 request(s) left unanswered\nv {\"method\":\"notifications/cancelled\","
        "\"params\":{\"requestId\":1,\"reason\":\"vesk-mcp is shutting down\"}}");
    row("a break met while the last lines are written is logged once",
        "with timeout=300\n"
        "listen\ncall 1 a\naccept\nv {\"id\":1}\ndrop\nblock 500\ntool 1 true\nquiet\n"
        "once connection to Vesk Studio closed");
    row("a call of 20 MB reaches a Vesk Studio that reads, and its answer comes back",
        "listen\nbigcall 1 20000000\naccept\nv {\"id\":1,\"params\":{\"name\":\"big\"}}\nok 1\n"
        "< {\"id\":1,\"result\":{}}");
    row("2 MB of coordinates in another style come through unparsed, as Qt writes them",
        "listen\ncall 1 a\naccept\nv {\"id\":1}\ncoordinates 1 2000000");
    row("a line over 256 MiB from Vesk Studio closes the connection",
        "listen\ncall 1 a\naccept\nv {\"id\":1}\npad 1 268435457\ntool 1 true\n"
        "log connection to Vesk Studio closed (message from Vesk Studio too large)");
    // Answers in Qt's own form are written as received
    row("an answer in Qt's form is written unparsed, with the client's id",
        "with verbose\n"
        "listen\n> {\"jsonrpc\":\"2.0\",\"id\":\"é中\",\"method\":\"tools/call\",\"params\":"
        "{\"name\":\"a\"}}\naccept\nv {\"id\":1}\n^ {\"id\":1,\"result\":{\"A\":1,\"_\":"
        "[-5,0,true,null,{}],\"a\":\"x\\\"\\\\\\n\\u0001\",\"ab\":123456789012345678}}\n"
        "<| {\"id\":\"é中\",\"result\":{\"ab\":123456789012345678}}");
    row("answers in other JSON styles are rewritten unparsed; duplicate keys take the parsed way",
        "listen\ncall 1 a\ncall 2 b\ncall 3 c\ncall 4 d\naccept\nv {}\nv {}\nv {}\nv {}\n"
        "^ { \"result\" : {\"b\":1,\"a\":2}, \"id\":1}\n<| {\"id\":1,\"result\":{\"a\":2}}\n"
        "^ {\"id\":2,\"result\":{\"a\":9999999999999999999}}\n< {\"id\":2}\n"
        "^ {\"id\":3,\"result\":{\"a\":\"\\u00e9\",\"b\":1.0,\"c\":-0}}\n<| "
        "{\"id\":3,\"result\":{\"a\":\"é\",\"b\":1,\"c\":0}}\n"
        "^ {\"id\":4,\"result\":{\"a\":{\"a\":1,\"a\":2}}}\n< "
        "{\"id\":4,\"result\":{\"a\":{\"a\":2}}}");
    row("a U+FEFF opening a text or a key is kept, alone and in a batch; no key is written twice",
        "listen\ncall 1 a\n> [{\"jsonrpc\":\"2.0\",\"id\":\"p\",\"method\":\"ping\"},"
        R"({"jsonrpc":"2.0","id":2,"method":"tools/call","params":{"name":"a"}}])"
        "\naccept\nv {}\nv {}\n"
        "^ {\"id\":1,\"result\":{\"b\":\"\xEF\xBB\xBFx\",\"\\ufeffb\":\"\\ufeffy\"}}\n"
        "<| {\"id\":1,\"result\":{\"b\":\"\\ufeffx\",\"\\ufeffb\":\"\\ufeffy\"}}\n"
        "^ {\"result\": {\"\xEF\xBB\xBF"
        "b\": \"\\ufeffy\", \"b\": \"\xEF\xBB\xBFx\"}, \"id\": 2}\n"
        "< [{\"id\":\"p\"},{\"id\":2,\"result\":{\"b\":\"\\ufeffx\",\"\\ufeffb\":\"\\ufeffy\"}}]");
    row("a batch member's answer goes into the batch, not through",
        "listen\n> ["
        R"({"jsonrpc":"2.0","id":1,"method":"tools/call","params":{"name":"a"}},)"
        R"({"jsonrpc":"2.0","id":2,"method":"ping"}])"
        "\naccept\nv {\"id\":1}\nok 1 {\"a\":1}\n< [{\"id\":2},{\"id\":1,\"result\":{\"a\":1}}]");
    // The log shows 600 bytes of a message: a line read, an answer passed through.
    const QByteArray line600
            = R"({"jsonrpc":"2.0","id":")" + QByteArray(559, 'i') + R"(","method":"ping"})";
    const QByteArray line601 = QByteArray(line600).insert(23, 'i');
    const QByteArray answer = "^ {\"id\":1,\"result\":{\"p\":\"" + QByteArray(558, 'x') + "\"}}\n";
    QTest::newRow("a message of 600 bytes is logged whole, one of 601 shortened")
            << "with verbose\n> " + line600 + "\n> " + line601 + "\n< {}\n< {}\nlog <- "
                       + line601.left(600)
                       + "... (601 bytes)\nlisten\ncall 1 a\naccept\nv {\"id\":1}\n" + answer
                       + "<| {\"id\":1}\ncall 2 b\nv {\"id\":2}\n"
                       + QByteArray(answer).replace("1,", "2,").replace("\"}}", "x\"}}")
                       + "<| {\"id\":2}\nlog -> {\"id\":2,\"jsonrpc\":\"2.0\",\"result\":{\"p\":\""
                       + QByteArray(559, 'x') + "\"}... (601 bytes)\nnolog <- " + line600
                       + "...\nnolog -> {\"id\":1,\"jsonrpc\":\"2.0\",\"result\":{\"p\":\""
                       + QByteArray(558, 'x') + "\"}}...";
}

void TestServer::sessions()
{
    QFETCH(QByteArray, steps);
    QString options;
    if (steps.startsWith("with ")) {
        options = QString::fromUtf8(steps.mid(5, steps.indexOf('\n') - 5));
        steps = steps.mid(steps.indexOf('\n') + 1);
    }
    ServerOptions o = testOptions();
    bool useProbe = false;
    for (const QString &option : options.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
        const QString key = option.section(QLatin1Char('='), 0, 0);
        const QString value = option.section(QLatin1Char('='), 1);
        if (key == QLatin1String("timeout"))
            o.callTimeoutMs = value.toInt();
        else if (key == QLatin1String("connect"))
            o.connectTimeoutMs = value.toInt();
        else if (key == QLatin1String("verbose"))
            o.verbose = true;
        for (const QString &part : option.split(QLatin1Char(','))) {
            if (part.startsWith(QLatin1String("poll=")))
                o.pollMs = part.mid(5).toInt();
            if (part.startsWith(QLatin1String("probe="))) {
                const QStringList p = option.mid(option.indexOf(QLatin1String("probe=")) + 6)
                                              .split(QLatin1Char(','));
                probe::pid = p.at(0).toUInt();
                probe::canOpen = p.at(1) == QLatin1String("1");
                probe::serverSid = p.at(2).toStdString();
                probe::ownSid = p.at(3).toStdString();
                useProbe = true;
            }
        }
    }
    LogCapture log;
    Rig rig(o);
    if (useProbe)
        rig.server->setAccountProbe({probe::serverProcessId,
                                     probe::openProcess,
                                     probe::closeProcess,
                                     probe::currentProcess,
                                     probe::userSid});
#ifdef Q_OS_LINUX
    std::unique_ptr<JammedPipe> jam;
#endif
    qsizetype toClient = 0, toApp = 0;
    int finished = 0;
    QElapsedTimer clock;
    clock.start();
    const auto next = [&](const QByteArray &pattern, bool pieces) {
        if (!waitFor([&] { return rig.sent.size() > toClient; }, 60000))
            return QByteArray("nothing written, expected " + pattern);
        const qsizetype i = toClient++;
        if (!matches(rig.sent.at(i), json(pattern)))
            return QByteArray("got " + rig.raw.at(i) + " expected " + pattern);
        if (rig.raw.at(i) != compact(rig.sent.at(i)))
            return QByteArray("not in Qt's compact form: " + rig.raw.at(i));
        if (pieces && !rig.inPieces.at(i))
            return QByteArray("parsed, not passed through: " + rig.raw.at(i));
        return QByteArray();
    };
    QList<QByteArray> lines = steps.split('\n');
    lines.append("quiet");
    for (const QByteArray &step : std::as_const(lines)) {
        const qsizetype space = step.indexOf(' ');
        const QByteArray op = space < 0 ? step : step.left(space);
        QByteArray arg = space < 0 ? QByteArray() : step.mid(space + 1);
        arg.replace("@PIPE@", rig.pipeName.toUtf8());
        const QList<QByteArray> a = arg.split(' ');
        QByteArray failure;
        if (op == ">") {
            rig.send(arg);
        } else if (op == "call") {
            rig.send(callLine(a.at(0), a.at(1)));
        } else if (op == "list") {
            rig.send(R"({"jsonrpc":"2.0","id":)" + a.at(0) + R"(,"method":"tools/list","params":)"
                     + (a.size() > 1 ? a.at(1) : "{}") + "}");
        } else if (op == "init") {
            rig.send(R"({"jsonrpc":"2.0","method":"notifications/initialized"})");
        } else if (op == "cancel") {
            rig.send(R"({"jsonrpc":"2.0","method":"notifications/cancelled","params":)" + arg
                     + "}");
        } else if (op == "<" || op == "<|") {
            failure = next(arg, op == "<|");
        } else if (op == "err") {
            failure = next(R"({"id":)" + a.at(0) + R"(,"error":{"code":)" + a.at(1) + "}}", false);
        } else if (op == "tool") {
            failure = next(R"({"id":)" + a.at(0) + R"(,"result":{"isError":)" + a.at(1) + "}}",
                           false);
        } else if (op == "quiet") {
            rig.send(R"({"jsonrpc":"2.0","id":"quiet","method":"ping"})");
            failure = next(R"({"id":"quiet"})", false);
        } else if (op == "v") {
            if (!waitFor([&] { return rig.studio.received.size() > toApp; }, 15000))
                failure = "Vesk Studio got nothing, expected " + arg;
            else if (!matches(rig.studio.received.at(toApp++), json(arg)))
                failure = "Vesk Studio got " + compact(rig.studio.received.at(toApp - 1));
        } else if (op == "listen") {
            QVERIFY(rig.listen());
        } else if (op == "accept") {
            QVERIFY2(rig.accept(), "no connection");
        } else if (op == "^") {
            rig.studio.write(arg + '\n');
        } else if (op == "~") {
            rig.studio.write(arg.replace("\\n", "\n").replace("\\r", "\r"));
        } else if (op == "ok") {
            rig.studio.write("{\"id\":" + a.at(0) + ",\"result\":" + (a.size() > 1 ? a.at(1) : "{}")
                             + "}\n");
        } else if (op == "pad") { // an answer of exactly that many bytes
            QByteArray line = "{\"id\":" + a.at(0) + R"(,"result":{},"pad":")";
            line.resize(a.at(1).toLongLong() - 2, 'x');
            rig.studio.write(line + "\"}\n");
        } else if (op == "coordinates") { // an answer of that many bytes of numbers, with spaces
            // In the forms a CAD program writes; near both ends every 300th one in a form Qt
            // writes otherwise, between them one stretch of most of the answer.
            static const char *const forms[] = {"1234.5",
                                                "-0.75",
                                                "3.3333333333333335",
                                                "-1e-05",
                                                "2500",
                                                "0.30000000000000004",
                                                "1.50",
                                                "1E2"};
            const int size = a.at(1).toInt();
            QByteArray points;
            for (int i = 0; points.size() < size; ++i) {
                const bool other = i % 300 == 299 && (i < 3000 || points.size() > size - 30000);
                points += (i ? ", " : "") + QByteArray(forms[other ? 6 + i / 300 % 2 : i % 6]);
            }
            rig.studio.write(R"({"result": {"points": [)" + points
                             + R"(]}, "jsonrpc": "2.0", "id": )" + a.at(0) + "}\n");
            failure = next(R"({"id":)" + a.at(0) + R"(,"result":{"points":[)" + points + "]}}",
                           true);
        } else if (op == "drop") {
            rig.studio.socket->disconnectFromServer();
        } else if (op == "close") {
            rig.app.close();
        } else if (op == "log") {
            if (!waitFor([&] { return log.read().contains("vesk-mcp: " + arg); }, 10000))
                failure = "not logged: " + arg;
        } else if (op == "nolog") {
            if (log.read().contains("vesk-mcp: " + arg))
                failure = "logged: " + arg;
        } else if (op == "connected") {
            if (!waitFor([&] { return rig.server->isConnected() == (arg == "true"); }))
                failure = "connected is not " + arg;
        } else if (op == "pending") {
            if (!waitFor([&] { return rig.server->pendingCount() == arg.toInt(); }))
                failure = "pending: " + QByteArray::number(rig.server->pendingCount());
        } else if (op == "finish") {
            rig.server->finishWhenIdle([&finished] { ++finished; }, arg.toInt());
            QCOMPARE(finished, 0); // never from inside the call
        } else if (op == "finished") {
            if (!waitFor([&] { return finished >= arg.toInt(); }, 15000) || finished != arg.toInt())
                failure = "finished " + QByteArray::number(finished) + " times";
        } else if (op == "bigcall") { // a tools/call whose arguments hold that many bytes
            rig.send(R"({"jsonrpc":"2.0","id":)" + a.at(0)
                     + R"(,"method":"tools/call","params":{"name":"big","arguments":{"s":")"
                     + QByteArray(a.at(1).toLongLong(), 'x') + "\"}}}");
        } else if (op == "block") { // the event loop stands still, as under a long handler
            QThread::msleep(arg.toULong());
        } else if (op == "once") {
            if (log.read().count("vesk-mcp: " + arg) != 1)
                failure = "not logged once: " + arg;
        } else if (op == "wait") {
            QTest::qWait(arg.toInt()); // room for something that must not happen
        } else if (op == "mark") {
            clock.restart();
        } else if (op == "since>=" || op == "since<") {
            const bool atLeast = op == "since>=";
            if ((clock.elapsed() >= arg.toInt()) != atLeast)
                failure = "after " + QByteArray::number(clock.elapsed()) + " ms";
        } else if (op == "jam" || op == "release") {
#ifdef Q_OS_LINUX
            if (op == "jam") {
                jam = std::make_unique<JammedPipe>(rig.pipeName);
                if (!jam->open())
                    QSKIP("cannot fill the listen backlog of a Unix socket here");
            } else {
                QVERIFY(jam->release());
                rig.studio.attach(&jam->peer);
            }
#else
            QSKIP("needs a Unix socket with a full backlog");
#endif
        } else {
            QFAIL(qPrintable("unknown step " + step));
        }
        QVERIFY2(failure.isEmpty(), (step + ": " + failure).constData());
    }
}

// While a long line is handled, what was answered before it has already been sent.
void TestServer::answerBeforeLongWork()
{
    QList<QByteArray> written;
    QList<int> flushedAt; // how many messages had been written at each flush
    McpServer server(
            testOptions(), [&written](const QByteArray &m) { written.append(m); }, nullptr);
    server.setOutputFlush([&] { flushedAt.append(int(written.size())); });
    const QByteArray ping = R"({"jsonrpc":"2.0","id":1,"method":"ping"})";
    server.handleLine(ping);
    server.handleLine("[" + ping + ("," + ping).repeated(2500) + "]"); // over 64 KiB
    QCOMPARE(written.size(), 2);
    QVERIFY(flushedAt.contains(1));
}

QTEST_GUILESS_MAIN(TestServer)
#include "tst_server.moc"
