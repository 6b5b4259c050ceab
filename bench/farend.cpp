// farend.cpp - a fast stand-in for the CAD application's end of the pipe, for the benchmarks
//
// Serves a Unix domain socket at the given path and answers every request line at once:
//   tools/list            -> one tool, "blob"
//   tools/call            -> {"content":[{"type":"text","text":"xxx..."}],"isError":false} where
//                            the text holds arguments.size bytes (default 16); with
//                            arguments.kind "numbers" the answer holds coordinates instead,
//                            {"content":[...],"isError":false,"structuredContent":{"points":
//                            [1234.5,-87.25,...]}}, at least arguments.size bytes of them
//   initialize, ping      -> answered too, so that a byte relay (socat) can sit in front of it
//   notifications/...     -> ignored
// Requests with a "jsonrpc" member (a client's frames passed through unchanged) are answered with
// "jsonrpc":"2.0"; the id is echoed as it came. Members are written in ascending key order, the
// way a Qt application writes them; with --sdk PATH a second socket is served whose answers are
// in the order of the MCP SDKs, with white space after each colon and comma:
//   {"result": {"content": [{"type": "text", "text": "..."}], "isError": false},
//    "jsonrpc": "2.0", "id": N} No Qt: epoll, non-blocking sockets, many lines per
// read, each byte searched for a line feed once, and large texts written from one shared buffer
// with writev instead of being copied per answer.
//
// Usage: farend SOCKET_PATH [--max-size BYTES] [--unsorted] [--sdk SOCKET_PATH]

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

std::string xs; // the shared payload: max-size bytes of 'x'
// The shared coordinates, in the forms a CAD program writes them (each as Qt writes it), in a
// fixed pseudo-random order: separated by "," (Qt's form) and by ", " (the SDKs' white space).
std::string numbers, spacedNumbers;
// Write object members in ascending key order, as a Qt application's QJsonDocument does.
bool qtOrder = true;

struct Segment
{
    std::string owned;         // used when ext is null
    const char *ext = nullptr; // points into xs
    size_t length = 0;
    size_t offset = 0; // bytes already written

    const char *data() const { return ext ? ext : owned.data(); }
    size_t size() const { return ext ? length : owned.size(); }
};

// A growable byte buffer that never zero-fills: reads go straight into its spare room.
struct Buffer
{
    char *data = nullptr;
    size_t size = 0;
    size_t capacity = 0;

    ~Buffer() { std::free(data); }
    void reserveFree(size_t room)
    {
        if (capacity - size >= room)
            return;
        const size_t wanted = std::max(size + room, capacity * 2);
        data = static_cast<char *>(std::realloc(data, wanted));
        if (!data)
            std::abort();
        capacity = wanted;
    }
};

struct Client
{
    int fd = -1;
    Buffer in; // received bytes; [head, size) not yet consumed
    size_t head = 0;
    size_t scanned = 0; // offset in `in` up to which no line feed was found
    std::deque<Segment> out;
    bool wantWrite = false;
    bool sdk = false; // answers in the SDKs' member order, with white space
};

// ---- a minimal JSON scanner: enough to read the top level of a request line ----

void skipWs(std::string_view s, size_t &i)
{
    while (i < s.size() && (s[i] == ' ' || s[i] == '\t' || s[i] == '\r' || s[i] == '\n'))
        ++i;
}

bool skipString(std::string_view s, size_t &i)
{
    if (i >= s.size() || s[i] != '"')
        return false;
    ++i;
    while (i < s.size()) {
        const char c = s[i];
        if (c == '\\') {
            i += 2;
            continue;
        }
        ++i;
        if (c == '"')
            return true;
    }
    return false;
}

bool skipValue(std::string_view s, size_t &i, int depth = 0)
{
    skipWs(s, i);
    if (i >= s.size() || depth > 64)
        return false;
    const char c = s[i];
    if (c == '"')
        return skipString(s, i);
    if (c == '{' || c == '[') {
        const char close = c == '{' ? '}' : ']';
        ++i;
        skipWs(s, i);
        if (i < s.size() && s[i] == close) {
            ++i;
            return true;
        }
        for (;;) {
            if (c == '{') {
                skipWs(s, i);
                if (!skipString(s, i))
                    return false;
                skipWs(s, i);
                if (i >= s.size() || s[i] != ':')
                    return false;
                ++i;
            }
            if (!skipValue(s, i, depth + 1))
                return false;
            skipWs(s, i);
            if (i >= s.size())
                return false;
            if (s[i] == ',') {
                ++i;
                continue;
            }
            if (s[i] == close) {
                ++i;
                return true;
            }
            return false;
        }
    }
    while (i < s.size() && s[i] != ',' && s[i] != '}' && s[i] != ']' && s[i] != ' ')
        ++i;
    return true;
}

// Calls f(key, rawValue) for each member of the object text s; false when s is not an object.
template<typename F>
bool forEachMember(std::string_view s, F f)
{
    size_t i = 0;
    skipWs(s, i);
    if (i >= s.size() || s[i] != '{')
        return false;
    ++i;
    skipWs(s, i);
    if (i < s.size() && s[i] == '}')
        return true;
    for (;;) {
        skipWs(s, i);
        const size_t keyStart = i;
        if (!skipString(s, i))
            return false;
        const std::string_view key = s.substr(keyStart + 1, i - keyStart - 2);
        skipWs(s, i);
        if (i >= s.size() || s[i] != ':')
            return false;
        ++i;
        skipWs(s, i);
        const size_t valueStart = i;
        if (!skipValue(s, i))
            return false;
        f(key, s.substr(valueStart, i - valueStart));
        skipWs(s, i);
        if (i < s.size() && s[i] == ',') {
            ++i;
            continue;
        }
        return i < s.size() && s[i] == '}';
    }
}

std::string_view unquote(std::string_view v)
{
    if (v.size() >= 2 && v.front() == '"' && v.back() == '"')
        return v.substr(1, v.size() - 2);
    return {};
}

// ---- answers ----

void queue(Client &c, std::string text)
{
    Segment seg;
    seg.owned = std::move(text);
    c.out.push_back(std::move(seg));
}

void queueShared(Client &c, size_t length, const std::string &from = xs)
{
    Segment seg;
    seg.ext = from.data();
    seg.length = length;
    c.out.push_back(std::move(seg));
}

void makeNumbers(size_t size)
{
    static const char *const forms[] = {
            "1234.5", "-87.25", "0.1", "2500", "3.3333333333333335", "-1e-05", "4821.125",
            "-0.75", "12.000000000000002", "-2999.9999999999995", "0.30000000000000004",
            "7.5e-06", "15000", "-640.0625", "1.4142135623730951", "-0.001"};
    unsigned state = 12345;
    while (numbers.size() < size) {
        state = state * 1103515245u + 12345u;
        const char *form = forms[(state >> 16) % (sizeof forms / sizeof *forms)];
        if (!numbers.empty()) {
            numbers += ',';
            spacedNumbers += ", ";
        }
        numbers += form;
        spacedNumbers += form;
    }
}

// The length of the coordinates that hold at least size bytes: up to the end of a number.
size_t numbersLength(const std::string &from, size_t size)
{
    const size_t comma = from.find(',', std::min(size, from.size()));
    return comma == std::string::npos ? from.size() : comma;
}

std::string head(bool rpc, std::string_view id)
{
    std::string h = rpc ? "{\"jsonrpc\":\"2.0\",\"id\":" : "{\"id\":";
    h.append(id.data(), id.size());
    return h;
}

void answer(Client &c, std::string_view line)
{
    std::string_view id, method, params;
    bool rpc = false;
    if (!forEachMember(line, [&](std::string_view key, std::string_view value) {
            if (key == "id")
                id = value;
            else if (key == "method")
                method = unquote(value);
            else if (key == "params")
                params = value;
            else if (key == "jsonrpc")
                rpc = true;
        })) {
        std::fprintf(stderr, "farend: not a JSON object (%zu bytes)\n", line.size());
        return;
    }
    if (id.empty())
        return; // notifications need no answer
    if (method == "tools/call") {
        std::string_view arguments;
        forEachMember(params, [&](std::string_view key, std::string_view value) {
            if (key == "arguments")
                arguments = value;
        });
        size_t size = 16;
        bool coordinates = false;
        forEachMember(arguments, [&](std::string_view key, std::string_view value) {
            if (key == "size")
                size = std::strtoull(std::string(value).c_str(), nullptr, 10);
            else if (key == "kind")
                coordinates = unquote(value) == "numbers";
        });
        size = std::min(size, xs.size());
        if (coordinates && c.sdk) {
            queue(c,
                  "{\"result\": {\"content\": [{\"type\": \"text\", \"text\": \"coordinates\"}], "
                  "\"structuredContent\": {\"points\": [");
            queueShared(c, numbersLength(spacedNumbers, size), spacedNumbers);
            queue(c,
                  "]}, \"isError\": false}, \"jsonrpc\": \"2.0\", \"id\": " + std::string(id)
                          + "}\n");
        } else if (coordinates) {
            queue(c,
                  head(rpc, id)
                          + ",\"result\":{\"content\":[{\"text\":\"coordinates\",\"type\":"
                            "\"text\"}],\"isError\":false,\"structuredContent\":{\"points\":[");
            queueShared(c, numbersLength(numbers, size), numbers);
            queue(c, "]}}}\n");
        } else if (c.sdk) {
            queue(c, "{\"result\": {\"content\": [{\"type\": \"text\", \"text\": \"");
            queueShared(c, size);
            queue(c,
                  "\"}], \"isError\": false}, \"jsonrpc\": \"2.0\", \"id\": " + std::string(id)
                          + "}\n");
        } else if (qtOrder) {
            queue(c, head(rpc, id) + ",\"result\":{\"content\":[{\"text\":\"");
            queueShared(c, size);
            queue(c, "\",\"type\":\"text\"}],\"isError\":false}}\n");
        } else {
            queue(c, head(rpc, id) + ",\"result\":{\"content\":[{\"type\":\"text\",\"text\":\"");
            queueShared(c, size);
            queue(c, "\"}],\"isError\":false}}\n");
        }
    } else if (method == "tools/list") {
        queue(c,
              head(rpc, id)
                      + ",\"result\":{\"tools\":[{\"name\":\"blob\",\"description\":\"Returns a "
                        "text of the requested size.\",\"inputSchema\":{\"type\":\"object\","
                        "\"properties\":{\"size\":{\"type\":\"integer\"}}}}]}}\n");
    } else if (method == "initialize") {
        queue(c,
              head(rpc, id)
                      + ",\"result\":{\"protocolVersion\":\"2025-06-18\",\"capabilities\":{"
                        "\"tools\":{}},\"serverInfo\":{\"name\":\"farend\",\"version\":\"1\"}}}\n");
    } else if (method == "ping") {
        queue(c, head(rpc, id) + ",\"result\":{}}\n");
    } else {
        queue(c,
              head(rpc, id) + ",\"error\":{\"code\":-32601,\"message\":\"Method not found\"}}\n");
    }
}

// ---- the event loop ----

int epfd = -1;
std::unordered_map<int, std::unique_ptr<Client>> clients;

void closeClient(Client &c)
{
    epoll_ctl(epfd, EPOLL_CTL_DEL, c.fd, nullptr);
    close(c.fd);
    clients.erase(c.fd);
}

// Writes as much as the socket takes. False when the client is gone.
bool flushOut(Client &c)
{
    while (!c.out.empty()) {
        iovec iov[64];
        int n = 0;
        for (auto it = c.out.begin(); it != c.out.end() && n < 64; ++it, ++n) {
            iov[n].iov_base = const_cast<char *>(it->data() + it->offset);
            iov[n].iov_len = it->size() - it->offset;
        }
        const ssize_t w = writev(c.fd, iov, n);
        if (w < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK)
                break;
            return false;
        }
        size_t left = size_t(w);
        while (left > 0 && !c.out.empty()) {
            Segment &s = c.out.front();
            const size_t rest = s.size() - s.offset;
            if (left >= rest) {
                left -= rest;
                c.out.pop_front();
            } else {
                s.offset += left;
                left = 0;
            }
        }
    }
    const bool want = !c.out.empty();
    if (want != c.wantWrite) {
        epoll_event ev{};
        ev.events = EPOLLIN | (want ? EPOLLOUT : 0u);
        ev.data.fd = c.fd;
        epoll_ctl(epfd, EPOLL_CTL_MOD, c.fd, &ev);
        c.wantWrite = want;
    }
    return true;
}

// Reads what is there, answers every complete line. False when the client is gone.
bool readIn(Client &c)
{
    for (;;) {
        Buffer &in = c.in;
        if (c.head == in.size) {
            in.size = c.head = c.scanned = 0;
        } else if (c.head > (1u << 20) && c.head > in.size / 2) {
            std::memmove(in.data, in.data + c.head, in.size - c.head);
            in.size -= c.head;
            c.scanned -= c.head;
            c.head = 0;
        }
        const size_t want = std::max<size_t>(262144, in.size / 2);
        in.reserveFree(want);
        const ssize_t r = read(c.fd, in.data + in.size, want);
        if (r <= 0) {
            if (r < 0 && errno == EINTR)
                continue;
            if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
                return true;
            return false;
        }
        in.size += size_t(r);
        for (;;) {
            const void *lf = std::memchr(in.data + c.scanned, '\n', in.size - c.scanned);
            if (!lf) {
                c.scanned = in.size;
                break;
            }
            const size_t p = size_t(static_cast<const char *>(lf) - in.data);
            std::string_view line(in.data + c.head, p - c.head);
            if (!line.empty() && line.back() == '\r')
                line.remove_suffix(1);
            if (!line.empty())
                answer(c, line);
            c.head = c.scanned = p + 1;
        }
        if (!flushOut(c))
            return false;
        if (size_t(r) < want)
            return true;
    }
}

// A listening socket at path, watched by the epoll set; -1 on failure.
int listenAt(const char *path)
{
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (std::strlen(path) >= sizeof addr.sun_path) {
        std::fprintf(stderr, "farend: path too long\n");
        return -1;
    }
    std::strcpy(addr.sun_path, path);
    unlink(path);
    if (bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 || listen(fd, 64) != 0) {
        std::perror("farend: bind/listen");
        return -1;
    }
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = fd;
    epoll_ctl(epfd, EPOLL_CTL_ADD, fd, &ev);
    return fd;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 2) {
        std::fprintf(stderr,
                     "usage: farend SOCKET_PATH [--max-size BYTES] [--unsorted] [--sdk "
                     "SOCKET_PATH]\n");
        return 2;
    }
    const char *path = argv[1];
    const char *sdkPath = nullptr;
    size_t maxSize = size_t(80) << 20;
    for (int i = 2; i < argc; ++i) {
        if (std::strcmp(argv[i], "--max-size") == 0 && i + 1 < argc)
            maxSize = std::strtoull(argv[++i], nullptr, 10);
        else if (std::strcmp(argv[i], "--unsorted") == 0)
            qtOrder = false;
        else if (std::strcmp(argv[i], "--sdk") == 0 && i + 1 < argc)
            sdkPath = argv[++i];
    }
    std::signal(SIGPIPE, SIG_IGN);
    xs.assign(maxSize, 'x');
    makeNumbers(std::min(maxSize, size_t(32) << 20) + 64);

    epfd = epoll_create1(EPOLL_CLOEXEC);
    const int lfd = listenAt(path);
    const int sdkfd = sdkPath ? listenAt(sdkPath) : -2;
    if (lfd < 0 || sdkfd == -1)
        return 1;
    std::printf("ready\n");
    std::fflush(stdout);

    epoll_event events[64];
    for (;;) {
        const int n = epoll_wait(epfd, events, 64, -1);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            std::perror("farend: epoll_wait");
            return 1;
        }
        for (int k = 0; k < n; ++k) {
            const int fd = events[k].data.fd;
            if (fd == lfd || fd == sdkfd) {
                for (;;) {
                    const int cfd = accept4(fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
                    if (cfd < 0)
                        break;
                    auto c = std::make_unique<Client>();
                    c->fd = cfd;
                    c->sdk = fd == sdkfd;
                    epoll_event ev{};
                    ev.events = EPOLLIN;
                    ev.data.fd = cfd;
                    epoll_ctl(epfd, EPOLL_CTL_ADD, cfd, &ev);
                    clients[cfd] = std::move(c);
                }
                continue;
            }
            const auto it = clients.find(fd);
            if (it == clients.end())
                continue;
            Client &c = *it->second;
            bool alive = true;
            if (events[k].events & EPOLLOUT)
                alive = flushOut(c);
            if (alive && (events[k].events & (EPOLLIN | EPOLLHUP | EPOLLERR)))
                alive = readIn(c);
            if (!alive)
                closeClient(c);
        }
    }
}
