// driver.cpp - the load driver of the benchmarks: starts MCP servers over stdio and measures them
//
// For each peer (a command started with stdin/stdout pipes, or "direct": the driver talks to the
// far end's socket itself) it runs the MCP handshake and measures:
//   sequential round trips of a small tools/call (p50, p99), pipelined throughput with 64 and 256
//   calls in flight, large results (1, 16, 64 MiB) from request to the last byte of the answer
//   line, the peak RSS (VmHWM) of the server process around the largest result, answers of
//   coordinates (1 and 16 MiB of numbers, in a fresh server process with its own peak RSS), the
//   cold start (spawn to the initialize answer, median of many runs), and the CPU the server uses
//   while idle with the far end absent. The far end's and the driver's own CPU use are reported,
//   so that it can be seen that neither of them limits the figures.
// It prints a markdown table with the target ratios and writes the figures as JSON.
//
// Usage: driver --farend PATH --sock PATH [--quick] [--json FILE] [--logdir DIR]
//               [--only seq,pipe,large,numbers,cold,idle] [--seq CALLS] [--pipe CALLS]
//               [--farend-arg ARG]... [--pin | --no-pin]
// --pin puts the driver and the far end on CPU 0 and each server on CPU 1.
//               --peer 'NAME=COMMAND ARGS...' ...
// In COMMAND and in far end arguments, {sock} stands for the far end's socket path; every peer
// whose name starts with "vesk-mcp" gets its own ratio column. The idle measurement runs the same
// command with {sock} replaced by a path where nothing listens. The peer named "direct" needs no
// command.

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <numeric>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point t0)
{
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

const double nan = std::nan("");

// ---- processes ----

struct Conn
{
    pid_t pid = -1; // -1: a direct socket
    int rfd = -1;
    int wfd = -1;
    // read side
    char *buf = nullptr;
    size_t size = 0, capacity = 0, head = 0, scanned = 0;
    // write side
    std::string out;
    size_t outOff = 0;
    std::string error; // why the connection failed, empty while all is well
};

void setNonBlocking(int fd)
{
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
}

std::string logDir = "/tmp";

// CPU placement: with pinning, the driver and the far end run on CPU 0 and every server on
// CPU 1, so that each server meets the same placement instead of whatever the scheduler chose
// when it started (on a small virtual machine that choice alone can double a round trip).
bool pinning = false;

void pinTo(int cpu)
{
    if (!pinning)
        return;
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    sched_setaffinity(0, sizeof set, &set);
}

bool spawn(Conn &c, const std::vector<std::string> &argv, const std::string &logName, int cpu = 1)
{
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0)
        return false;
    const std::string logPath = logDir + "/" + logName + ".stderr.log";
    const int logFd = open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    std::vector<char *> args;
    for (const auto &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    const pid_t pid = fork();
    if (pid < 0)
        return false;
    if (pid == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        if (logFd >= 0)
            dup2(logFd, 2);
        pinTo(cpu);
        execvp(args[0], args.data());
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    if (logFd >= 0)
        close(logFd);
    c.pid = pid;
    c.wfd = in[1];
    c.rfd = out[0];
    setNonBlocking(c.wfd);
    setNonBlocking(c.rfd);
    return true;
}

bool connectDirect(Conn &c, const std::string &path)
{
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    if (connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        close(fd);
        return false;
    }
    setNonBlocking(fd);
    c.rfd = c.wfd = fd;
    return true;
}

void finish(Conn &c, bool gentle)
{
    if (c.wfd >= 0 && c.wfd != c.rfd)
        close(c.wfd);
    if (c.pid > 0) {
        if (gentle) {
            // Closing stdin asks the server to end; give it a moment, then insist.
            for (int i = 0; i < 300; ++i) {
                if (waitpid(c.pid, nullptr, WNOHANG) == c.pid) {
                    c.pid = -1;
                    break;
                }
                usleep(10000);
            }
        }
        if (c.pid > 0) {
            kill(c.pid, SIGTERM);
            for (int i = 0; i < 200 && waitpid(c.pid, nullptr, WNOHANG) != c.pid; ++i)
                usleep(10000);
            kill(c.pid, SIGKILL);
            waitpid(c.pid, nullptr, 0);
        }
    }
    if (c.rfd >= 0)
        close(c.rfd);
    std::free(c.buf);
    c = Conn();
}

// ---- /proc ----

// utime + stime of a process, in seconds (all its threads).
double cpuSeconds(pid_t pid)
{
    std::ifstream f("/proc/" + std::to_string(pid) + "/stat");
    std::string s((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    const size_t close = s.rfind(')');
    if (close == std::string::npos)
        return nan;
    std::istringstream rest(s.substr(close + 2));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    // fields after the name: state(3) ... utime(14) stime(15)
    for (int i = 3; i <= 15 && rest >> field; ++i) {
        if (i == 14)
            utime = std::stoull(field);
        if (i == 15)
            stime = std::stoull(field);
    }
    return double(utime + stime) / double(sysconf(_SC_CLK_TCK));
}

// CPU time of all the threads of a process, in seconds, from the scheduler's nanosecond counts
// (/proc/<pid>/task/*/schedstat); the tick-based figures of /proc/<pid>/stat are too coarse for
// runs of a few seconds. Threads that have ended are not counted.
double preciseCpuSeconds(pid_t pid)
{
    const std::string dir = "/proc/" + std::to_string(pid) + "/task";
    DIR *d = opendir(dir.c_str());
    if (!d)
        return nan;
    double total = 0;
    while (dirent *e = readdir(d)) {
        if (e->d_name[0] == '.')
            continue;
        std::ifstream f(dir + "/" + e->d_name + "/schedstat");
        unsigned long long ns = 0;
        if (f >> ns)
            total += double(ns) / 1e9;
    }
    closedir(d);
    return total;
}

// A "VmHWM:" or "VmRSS:" figure of /proc/<pid>/status, in bytes.
double statusBytes(pid_t pid, const char *key)
{
    std::ifstream f("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    const size_t n = std::strlen(key);
    while (std::getline(f, line)) {
        if (line.compare(0, n, key) == 0)
            return std::strtod(line.c_str() + n, nullptr) * 1024.0;
    }
    return nan;
}

double ownCpuSeconds()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec)
           + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// ---- lines in and out ----

// Writes what the pipe takes. False on failure.
bool pump(Conn &c)
{
    while (c.outOff < c.out.size()) {
        const ssize_t w = write(c.wfd, c.out.data() + c.outOff, c.out.size() - c.outOff);
        if (w < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN)
                return true;
            c.error = std::string("write: ") + std::strerror(errno);
            return false;
        }
        c.outOff += size_t(w);
    }
    c.out.clear();
    c.outOff = 0;
    return true;
}

void send(Conn &c, std::string_view text)
{
    c.out.append(text.data(), text.size());
}

// Reads what is there. False at the end of the stream or on an error.
bool fill(Conn &c)
{
    for (;;) {
        if (c.head == c.size) {
            c.head = c.scanned = c.size = 0;
        } else if (c.head > (4u << 20) && c.head > c.size / 2) {
            std::memmove(c.buf, c.buf + c.head, c.size - c.head);
            c.size -= c.head;
            c.scanned -= c.head;
            c.head = 0;
        }
        const size_t want = std::max<size_t>(1 << 20, c.size / 2);
        if (c.capacity - c.size < want) {
            c.capacity = std::max(c.size + want, c.capacity * 2);
            c.buf = static_cast<char *>(std::realloc(c.buf, c.capacity));
        }
        const ssize_t r = read(c.rfd, c.buf + c.size, want);
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0 && errno == EAGAIN)
            return true;
        if (r <= 0) {
            c.error = r == 0 ? "end of output" : std::string("read: ") + std::strerror(errno);
            return false;
        }
        c.size += size_t(r);
        if (size_t(r) < want)
            return true;
    }
}

// The next complete line, if one is buffered.
bool takeLine(Conn &c, std::string_view &line)
{
    const void *lf = std::memchr(c.buf + c.scanned, '\n', c.size - c.scanned);
    if (!lf) {
        c.scanned = c.size;
        return false;
    }
    const size_t p = size_t(static_cast<const char *>(lf) - c.buf);
    line = std::string_view(c.buf + c.head, p - c.head);
    c.head = c.scanned = p + 1;
    return true;
}

// Waits for input (and for room to write while something is queued). False on error or time-out.
bool wait(Conn &c, int timeoutMs)
{
    pollfd fds[2];
    int n = 0;
    fds[n++] = {c.rfd, POLLIN, 0};
    if (c.outOff < c.out.size()) {
        if (c.wfd == c.rfd)
            fds[0].events |= POLLOUT;
        else
            fds[n++] = {c.wfd, POLLOUT, 0};
    }
    const int r = poll(fds, nfds_t(n), timeoutMs);
    if (r == 0) {
        c.error = "no answer in time";
        return false;
    }
    if (r < 0 && errno != EINTR) {
        c.error = std::string("poll: ") + std::strerror(errno);
        return false;
    }
    return true;
}

// Sends what is queued and waits for one complete line.
bool readLine(Conn &c, std::string_view &line, int timeoutMs)
{
    const auto t0 = Clock::now();
    for (;;) {
        if (!pump(c))
            return false;
        if (takeLine(c, line))
            return true;
        const int left = timeoutMs - int(secondsSince(t0) * 1000);
        if (left <= 0 || !wait(c, left)) {
            c.error = c.error.empty() ? "no answer in time" : c.error;
            return false;
        }
        if (!fill(c))
            return false;
    }
}

long long idOf(std::string_view line)
{
    const size_t at = line.find("\"id\":");
    if (at == std::string_view::npos)
        return -1;
    return std::strtoll(std::string(line.substr(at + 5, 24)).c_str(), nullptr, 10);
}

// numbers: an answer of coordinates instead of text.
std::string callText(long long id, size_t size, bool numbers = false)
{
    return "{\"jsonrpc\":\"2.0\",\"id\":" + std::to_string(id)
           + ",\"method\":\"tools/call\",\"params\":{\"name\":\"blob\",\"arguments\":{\"size\":"
           + std::to_string(size) + (numbers ? ",\"kind\":\"numbers\"" : "") + "}}}\n";
}

const char initializeText[]
        = "{\"jsonrpc\":\"2.0\",\"id\":0,\"method\":\"initialize\",\"params\":{\"protocolVersion\":"
          "\"2025-06-18\",\"capabilities\":{},\"clientInfo\":{\"name\":\"bench-driver\","
          "\"version\":\"1\"}}}\n";
const char initializedText[] = "{\"jsonrpc\":\"2.0\",\"method\":\"notifications/initialized\"}\n";

// A small answer must be a result for the expected id and not a tool error.
bool checkAnswer(Conn &c, std::string_view line, long long id)
{
    if (line.size() < 65536) {
        if (idOf(line) != id || line.find("\"result\"") == std::string_view::npos
            || line.find("\"isError\":true") != std::string_view::npos) {
            c.error = "unexpected answer to " + std::to_string(id) + ": "
                      + std::string(line.substr(0, 400));
            return false;
        }
    }
    return true;
}

bool handshake(Conn &c, bool listTools)
{
    std::string_view line;
    send(c, initializeText);
    if (!readLine(c, line, 20000))
        return false;
    if (idOf(line) != 0) {
        c.error = "bad initialize answer: " + std::string(line.substr(0, 300));
        return false;
    }
    send(c, initializedText);
    if (!listTools)
        return pump(c);
    send(c, "{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"tools/list\",\"params\":{}}\n");
    if (!readLine(c, line, 20000))
        return false;
    if (idOf(line) != 1 || line.find("\"blob\"") == std::string_view::npos) {
        c.error = "bad tools/list answer: " + std::string(line.substr(0, 300));
        return false;
    }
    return true;
}

// ---- measurements ----

struct Usage
{
    double wall = 0, server = nan, farend = nan, driver = 0;
};

struct UsageProbe
{
    pid_t server, farend;
    Clock::time_point t0 = Clock::now();
    double s0, f0, d0;
    UsageProbe(pid_t server, pid_t farend)
        : server(server)
        , farend(farend)
        , s0(server > 0 ? preciseCpuSeconds(server) : nan)
        , f0(preciseCpuSeconds(farend))
        , d0(ownCpuSeconds())
    {}
    Usage done() const
    {
        Usage u;
        u.wall = secondsSince(t0);
        u.server = server > 0 ? preciseCpuSeconds(server) - s0 : nan;
        u.farend = preciseCpuSeconds(farend) - f0;
        u.driver = ownCpuSeconds() - d0;
        return u;
    }
};

long long nextId = 100;

bool sequential(Conn &c, int count, int warmup, std::vector<double> &rtt)
{
    std::string_view line;
    for (int i = 0; i < warmup + count; ++i) {
        const long long id = nextId++;
        const auto t0 = Clock::now();
        send(c, callText(id, 64));
        if (!readLine(c, line, 30000) || !checkAnswer(c, line, id))
            return false;
        if (i >= warmup)
            rtt.push_back(secondsSince(t0) * 1e6);
    }
    return true;
}

bool pipelined(Conn &c, int total, int window, double &callsPerSecond)
{
    const auto t0 = Clock::now();
    int sent = 0, received = 0;
    const long long first = nextId;
    std::string_view line;
    while (received < total) {
        while (sent < total && sent - received < window) {
            send(c, callText(nextId++, 64));
            ++sent;
        }
        if (!pump(c))
            return false;
        bool any = false;
        while (takeLine(c, line)) {
            any = true;
            if (line.find("\"isError\":true") != std::string_view::npos
                || line.find("\"result\"") == std::string_view::npos) {
                c.error = "unexpected answer: " + std::string(line.substr(0, 400));
                return false;
            }
            const long long id = idOf(line);
            if (id < first || id >= nextId) {
                c.error = "answer with a foreign id: " + std::string(line.substr(0, 200));
                return false;
            }
            ++received;
        }
        if (any)
            continue;
        if (!wait(c, 30000) || !fill(c))
            return false;
    }
    callsPerSecond = total / secondsSince(t0);
    return true;
}

// Seconds from sending the request to having the whole answer line.
bool large(Conn &c, size_t size, double &seconds, bool numbers = false)
{
    const long long id = nextId++;
    std::string_view line;
    const auto t0 = Clock::now();
    send(c, callText(id, size, numbers));
    if (!readLine(c, line, 300000))
        return false;
    seconds = secondsSince(t0);
    // Numbers written with white space by the far end reach the client without it.
    if (line.size() < (numbers ? size / 10 * 8 : size)) {
        c.error = "short answer: " + std::to_string(line.size()) + " bytes";
        return false;
    }
    return true;
}

double percentile(std::vector<double> v, double q)
{
    if (v.empty())
        return nan;
    std::sort(v.begin(), v.end());
    const size_t i = std::min(v.size() - 1, size_t(std::ceil(q * double(v.size())) - 1));
    return v[i];
}

double median(std::vector<double> v)
{
    if (v.empty())
        return nan;
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// ---- configuration and results ----

struct Peer
{
    std::string name;
    std::vector<std::string> argv; // empty for "direct"
};

struct Settings
{
    bool quick = false;
    int seqCount = 10000, seqWarmup = 500;
    int pipeTotal = 100000;
    std::vector<std::pair<size_t, int>> sizes;       // size, repetitions
    std::vector<std::pair<size_t, int>> numberSizes; // the same for answers of coordinates
    int coldRuns = 21;
    int idleSeconds = 10;
    std::string only; // parts to run (seq, pipe, large, numbers, cold, idle), comma-separated

    bool runs(const char *part) const
    {
        return only.empty()
               || ("," + only + ",").find(std::string(",") + part + ",") != std::string::npos;
    }
};

std::map<std::string, std::map<std::string, double>> results; // peer -> figure -> value
std::map<std::string, std::string> failures;                  // peer -> first failure

void record(const std::string &peer, const std::string &key, double value)
{
    results[peer][key] = value;
}

double get(const std::string &peer, const std::string &key)
{
    const auto p = results.find(peer);
    if (p == results.end())
        return nan;
    const auto v = p->second.find(key);
    return v == p->second.end() ? nan : v->second;
}

std::vector<std::string> substitute(const std::vector<std::string> &argv, const std::string &sock)
{
    std::vector<std::string> out;
    for (std::string a : argv) {
        for (size_t at; (at = a.find("{sock}")) != std::string::npos;)
            a.replace(at, 6, sock);
        out.push_back(a);
    }
    return out;
}

std::string mib(size_t size)
{
    return std::to_string(size >> 20) + "MiB";
}

void note(const std::string &peer, const std::string &what, const Conn &c)
{
    std::fprintf(stderr, "  %s: %s failed: %s\n", peer.c_str(), what.c_str(), c.error.c_str());
    if (!failures.count(peer))
        failures[peer] = what + ": " + c.error;
}

bool openPeer(Conn &c, const Peer &peer, const std::string &sock)
{
    if (peer.argv.empty())
        return connectDirect(c, sock) || ((c.error = "cannot connect to the far end"), false);
    return spawn(c, substitute(peer.argv, sock), peer.name)
           || ((c.error = "cannot start the command"), false);
}

// One open peer during the load phases. The peers take turns in rounds, so that the load of the
// rest of the machine, which changes over time, falls on all of them alike.
struct Live
{
    const Peer *peer = nullptr;
    Conn c;
    bool alive = true;
    std::map<std::string, Usage> usage; // per phase, summed over the peer's turns

    void add(const std::string &phase, const Usage &u)
    {
        Usage &t = usage[phase];
        t.wall += u.wall;
        t.server = (std::isnan(t.server) ? 0 : t.server) + u.server;
        t.farend = (std::isnan(t.farend) ? 0 : t.farend) + u.farend;
        t.driver += u.driver;
    }
    void fail(const std::string &what)
    {
        note(peer->name, what, c);
        finish(c, false);
        alive = false;
    }
};

void recordUsage(Live &l, const std::string &phase, double calls)
{
    const Usage &u = l.usage[phase];
    const std::string &name = l.peer->name;
    record(name, phase + "_server_cpu_pct", 100 * u.server / u.wall);
    record(name, phase + "_farend_cpu_pct", 100 * u.farend / u.wall);
    record(name, phase + "_driver_cpu_pct", 100 * u.driver / u.wall);
    if (calls > 0)
        record(name, phase + "_server_cpu_us_per_call", u.server * 1e6 / calls);
}

// One large answer of size bytes (text, or numbers) to each live peer in turn, reps rounds;
// records the best time and throughput of each, and the usage of all rounds.
void bestOfLarge(std::vector<Live> &live, size_t size, int reps, bool numbers, pid_t farend)
{
    const std::string k = (numbers ? "n" : "r") + mib(size);
    std::map<std::string, double> best;
    for (int i = 0; i < reps; ++i) {
        for (Live &l : live) {
            double t = nan;
            if (!l.alive)
                continue;
            const UsageProbe probe(l.c.pid, farend);
            if (!large(l.c, size, t, numbers)) {
                l.fail(mib(size) + (numbers ? " of numbers" : " result"));
                continue;
            }
            l.add(k, probe.done());
            const auto it = best.find(l.peer->name);
            best[l.peer->name] = it == best.end() ? t : std::min(it->second, t);
        }
    }
    for (Live &l : live) {
        if (!l.alive)
            continue;
        const double t = best[l.peer->name];
        record(l.peer->name, k + "_ms", t * 1e3);
        record(l.peer->name, k + "_MBps", double(size) / t / 1e6);
        recordUsage(l, k, 0);
    }
}

void runLoad(const std::vector<Peer> &peers,
             const Settings &s,
             const std::string &sock,
             pid_t farend)
{
    std::vector<Live> live;
    for (const Peer &p : peers) {
        Live l;
        l.peer = &p;
        if (!openPeer(l.c, p, sock) || !handshake(l.c, true))
            l.fail("handshake");
        live.push_back(std::move(l));
    }
    const int rounds = s.quick ? 2 : 10;

    if (s.runs("seq")) {
        std::fprintf(
                stderr, "sequential small calls: %d per peer in %d rounds\n", s.seqCount, rounds);
        std::map<std::string, std::vector<double>> rtt;
        for (Live &l : live) {
            std::vector<double> warm;
            if (l.alive && !sequential(l.c, s.seqWarmup, 0, warm))
                l.fail("sequential");
        }
        for (int r = 0; r < rounds; ++r) {
            for (Live &l : live) {
                if (!l.alive)
                    continue;
                if (r > 0 && l.c.pid > 0) {
                    // A new process each round: where the scheduler puts a process and its
                    // threads when it starts decides much of a round trip on a small machine,
                    // so each figure is taken over several placements.
                    std::vector<double> warm;
                    finish(l.c, false);
                    if (!openPeer(l.c, *l.peer, sock) || !handshake(l.c, true)
                        || !sequential(l.c, std::max(20, s.seqWarmup / rounds), 0, warm)) {
                        l.fail("sequential (restart)");
                        continue;
                    }
                }
                const UsageProbe probe(l.c.pid, farend);
                if (!sequential(l.c, s.seqCount / rounds, 0, rtt[l.peer->name]))
                    l.fail("sequential");
                else
                    l.add("seq", probe.done());
            }
        }
        for (Live &l : live) {
            if (!l.alive)
                continue;
            const auto &v = rtt[l.peer->name];
            record(l.peer->name, "seq_p50_us", percentile(v, 0.5));
            record(l.peer->name, "seq_p99_us", percentile(v, 0.99));
            record(l.peer->name,
                   "seq_mean_us",
                   std::accumulate(v.begin(), v.end(), 0.0) / double(v.size()));
            recordUsage(l, "seq", double(v.size()));
        }
    }

    for (const int window : {64, 256}) {
        if (!s.runs("pipe"))
            break;
        std::fprintf(stderr,
                     "pipelined, %d in flight: %d calls per peer in %d rounds\n",
                     window,
                     s.pipeTotal,
                     rounds);
        const std::string k = "pipe" + std::to_string(window);
        for (Live &l : live) {
            // Warm-up, so that a JIT compiler has seen the path before the clock runs.
            double rate = nan;
            if (l.alive && !pipelined(l.c, std::min(5000, s.pipeTotal / 5), window, rate))
                l.fail("pipelined warm-up " + std::to_string(window));
        }
        for (int r = 0; r < rounds; ++r) {
            for (Live &l : live) {
                double rate = nan;
                if (!l.alive)
                    continue;
                const UsageProbe probe(l.c.pid, farend);
                if (!pipelined(l.c, s.pipeTotal / rounds, window, rate))
                    l.fail("pipelined " + std::to_string(window));
                else
                    l.add(k, probe.done());
            }
        }
        for (Live &l : live) {
            if (!l.alive)
                continue;
            record(l.peer->name, k + "_calls_per_s", double(s.pipeTotal) / l.usage[k].wall);
            recordUsage(l, k, double(s.pipeTotal));
        }
    }

    if (s.runs("large")) {
        std::map<std::string, double> rssBefore;
        for (Live &l : live) {
            if (l.alive && l.c.pid > 0)
                rssBefore[l.peer->name] = statusBytes(l.c.pid, "VmRSS:");
        }
        for (const auto &[size, reps] : s.sizes) {
            std::fprintf(stderr, "%s results: best of %d per peer\n", mib(size).c_str(), reps);
            bestOfLarge(live, size, reps, false, farend);
        }
        for (Live &l : live) {
            if (!l.alive || l.c.pid <= 0)
                continue;
            const size_t payload = s.sizes.back().first;
            const double hwm = statusBytes(l.c.pid, "VmHWM:");
            const double before = rssBefore[l.peer->name];
            record(l.peer->name, "peak_rss_MiB", hwm / 1048576.0);
            record(l.peer->name, "peak_rss_x_payload", hwm / double(payload));
            record(l.peer->name, "rss_before_large_MiB", before / 1048576.0);
            record(l.peer->name, "peak_growth_x_payload", (hwm - before) / double(payload));
        }
    }
    for (Live &l : live) {
        if (l.alive)
            finish(l.c, true);
    }
}

// Answers of coordinates, the peers taking turns, each in a fresh process: its peak RSS is then
// that of these answers alone, not of the largest text before them.
void runNumbers(const std::vector<Peer> &peers,
                const Settings &s,
                const std::string &sock,
                pid_t farend)
{
    if (!s.runs("numbers"))
        return;
    std::vector<Live> live;
    for (const Peer &p : peers) {
        Live l;
        l.peer = &p;
        if (!openPeer(l.c, p, sock) || !handshake(l.c, true))
            l.fail("handshake (numbers)");
        live.push_back(std::move(l));
    }
    for (const auto &[size, reps] : s.numberSizes) {
        std::fprintf(stderr, "%s of numbers: best of %d per peer\n", mib(size).c_str(), reps);
        bestOfLarge(live, size, reps, true, farend);
    }
    for (Live &l : live) {
        if (!l.alive)
            continue;
        if (l.c.pid > 0) {
            const double hwm = statusBytes(l.c.pid, "VmHWM:");
            record(l.peer->name, "numbers_peak_rss_MiB", hwm / 1048576.0);
            record(l.peer->name,
                   "numbers_peak_rss_x_payload",
                   hwm / double(s.numberSizes.back().first));
        }
        finish(l.c, true);
    }
}

// Spawn to the initialize answer, the peers taking turns.
void runColdStart(const std::vector<Peer> &peers, const Settings &s, const std::string &sock)
{
    if (!s.runs("cold"))
        return;
    std::fprintf(stderr, "cold start: %d runs per peer\n", s.coldRuns);
    std::map<std::string, std::vector<double>> times;
    std::map<std::string, bool> failed;
    for (int i = 0; i < s.coldRuns; ++i) {
        for (const Peer &peer : peers) {
            if (peer.argv.empty() || failed[peer.name])
                continue;
            Conn c;
            const auto t0 = Clock::now();
            std::string_view line;
            if (!spawn(c, substitute(peer.argv, sock), peer.name)) {
                c.error = "cannot start the command";
            } else {
                send(c, initializeText);
                if (readLine(c, line, 20000) && idOf(line) == 0)
                    times[peer.name].push_back(secondsSince(t0) * 1e3);
                else if (c.error.empty())
                    c.error = "bad initialize answer";
            }
            if (!c.error.empty()) {
                note(peer.name, "cold start", c);
                failed[peer.name] = true;
            }
            finish(c, false);
        }
    }
    for (const auto &[name, v] : times) {
        if (failed[name] || v.empty())
            continue;
        record(name, "cold_start_ms", median(v));
        record(name, "cold_start_min_ms", *std::min_element(v.begin(), v.end()));
    }
}

// The CPU the servers use while the far end is absent, all of them at the same time.
void runIdle(const std::vector<Peer> &peers, const Settings &s, const std::string &absentSock)
{
    if (!s.runs("idle"))
        return;
    std::fprintf(stderr, "idle: %d s with the far end absent\n", s.idleSeconds);
    std::vector<std::pair<const Peer *, Conn>> running;
    for (const Peer &peer : peers) {
        if (peer.argv.empty())
            continue;
        Conn c;
        if (!spawn(c, substitute(peer.argv, absentSock), peer.name + "-idle")) {
            note(peer.name, "idle", c);
            continue;
        }
        const bool greeted = handshake(c, false);
        usleep(300000); // let the start-up and the first connection attempt settle
        if (waitpid(c.pid, nullptr, WNOHANG) == c.pid) {
            c.pid = -1;
            std::fprintf(
                    stderr, "  %s ends without its far end: no idle figure\n", peer.name.c_str());
            finish(c, false);
            continue;
        }
        if (!greeted) {
            note(peer.name, "idle (handshake without far end)", c);
            finish(c, false);
            continue;
        }
        running.emplace_back(&peer, std::move(c));
    }
    std::vector<std::pair<double, double>> before;
    for (auto &[peer, c] : running)
        before.emplace_back(cpuSeconds(c.pid), preciseCpuSeconds(c.pid));
    usleep(useconds_t(s.idleSeconds) * 1000000u);
    for (size_t i = 0; i < running.size(); ++i) {
        auto &[peer, c] = running[i];
        const double cpu = cpuSeconds(c.pid) - before[i].first;
        const double precise = preciseCpuSeconds(c.pid) - before[i].second;
        record(peer->name, "idle_cpu_ms", cpu * 1e3);
        record(peer->name, "idle_cpu_ms_per_10s", cpu * 1e3 * 10.0 / s.idleSeconds);
        record(peer->name, "idle_cpu_precise_ms_per_10s", precise * 1e3 * 10.0 / s.idleSeconds);
        finish(c, true);
    }
}

// ---- report ----

std::string fmt(double v, int decimals = 1)
{
    if (std::isnan(v))
        return "n/a";
    char b[64];
    std::snprintf(b, sizeof b, "%.*f", decimals, v);
    return b;
}

struct Row
{
    std::string label, key;
    int decimals;
    std::string target; // empty: no target
};

std::string verdict(double ratio, double limit, bool atMost)
{
    if (std::isnan(ratio))
        return "n/a";
    const bool met = atMost ? ratio <= limit : ratio >= limit;
    return fmt(ratio, 2) + (met ? " met" : " NOT met");
}

} // namespace

int main(int argc, char **argv)
{
    std::signal(SIGPIPE, SIG_IGN);
    Settings s;
    std::string farendPath, sock, jsonPath;
    std::vector<std::string> farendArgs;
    std::vector<Peer> peers;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "driver: %s needs a value\n", a.c_str());
                std::exit(2);
            }
            return argv[++i];
        };
        if (a == "--quick") {
            s.quick = true;
        } else if (a == "--pin") {
            pinning = sysconf(_SC_NPROCESSORS_ONLN) >= 2;
        } else if (a == "--no-pin") {
            pinning = false;
        } else if (a == "--only") {
            s.only = value();
        } else if (a == "--seq") {
            s.seqCount = std::atoi(value().c_str());
        } else if (a == "--pipe") {
            s.pipeTotal = std::atoi(value().c_str());
        } else if (a == "--farend-arg") {
            farendArgs.push_back(value());
        } else if (a == "--farend") {
            farendPath = value();
        } else if (a == "--sock") {
            sock = value();
        } else if (a == "--json") {
            jsonPath = value();
        } else if (a == "--logdir") {
            logDir = value();
        } else if (a == "--peer") {
            const std::string spec = value();
            const size_t eq = spec.find('=');
            Peer p;
            p.name = spec.substr(0, eq);
            if (eq != std::string::npos) {
                std::istringstream words(spec.substr(eq + 1));
                for (std::string w; words >> w;)
                    p.argv.push_back(w);
            }
            peers.push_back(p);
        } else {
            std::fprintf(stderr, "driver: unknown argument %s\n", a.c_str());
            return 2;
        }
    }
    if (farendPath.empty() || sock.empty() || peers.empty()) {
        std::fprintf(stderr,
                     "usage: driver --farend PATH --sock PATH [--quick] [--json FILE] "
                     "[--logdir DIR] --peer 'NAME=COMMAND ...' ...\n");
        return 2;
    }
    if (s.quick) {
        s.seqCount = std::min(s.seqCount, 300);
        s.seqWarmup = 30;
        s.pipeTotal = std::min(s.pipeTotal, 3000);
        s.sizes = {{size_t(1) << 20, 2}};
        s.numberSizes = {{size_t(1) << 20, 2}};
        s.coldRuns = 3;
        s.idleSeconds = 2;
    } else {
        s.sizes = {{size_t(1) << 20, 5}, {size_t(16) << 20, 3}, {size_t(64) << 20, 3}};
        s.numberSizes = {{size_t(1) << 20, 5}, {size_t(16) << 20, 3}};
    }

    // The far end, shared by every peer.
    Conn fe;
    std::vector<std::string> farendArgv = {farendPath, sock};
    farendArgs = substitute(farendArgs, sock);
    farendArgv.insert(farendArgv.end(), farendArgs.begin(), farendArgs.end());
    if (pinning)
        pinTo(0);
    if (!spawn(fe, farendArgv, "farend", 0)) {
        std::fprintf(stderr, "driver: cannot start the far end\n");
        return 1;
    }
    std::string_view ready;
    if (!readLine(fe, ready, 10000) || ready != "ready") {
        std::fprintf(stderr, "driver: the far end did not start: %s\n", fe.error.c_str());
        return 1;
    }
    const pid_t farend = fe.pid;
    const std::string absent = sock + ".absent";
    unlink(absent.c_str());

    runLoad(peers, s, sock, farend);
    runNumbers(peers, s, sock, farend);
    runColdStart(peers, s, sock);
    runIdle(peers, s, absent);
    finish(fe, false);
    unlink(sock.c_str());
    for (const std::string &arg : farendArgs) {
        if (arg.rfind(sock, 0) == 0) // a further socket of the far end
            unlink(arg.c_str());
    }

    // The table: one column per peer, then the target and whether vesk-mcp meets it.
    const std::string big = mib(s.sizes.back().first);
    std::vector<Row> rows = {
            {"sequential small call p50 (µs)", "seq_p50_us", 1, "≤ 1.3× socat"},
            {"sequential small call p99 (µs)", "seq_p99_us", 1, "≤ 2× socat"},
            {"pipelined, 64 in flight (calls/s)", "pipe64_calls_per_s", 0, "≥ 5× sdk-relay"},
            {"pipelined, 256 in flight (calls/s)", "pipe256_calls_per_s", 0, "≥ 5× sdk-relay"},
    };
    for (const auto &[size, reps] : s.sizes) {
        const std::string m = mib(size);
        rows.push_back(
                {m + " result (ms, best of " + std::to_string(reps) + ")", "r" + m + "_ms", 1, ""});
        rows.push_back(
                {m + " result (MB/s)",
                 "r" + m + "_MBps",
                 1,
                 size == s.sizes.back().first && !s.quick ? "≥ 10× sdk-relay, ≥ 1/2 socat" : ""});
    }
    const std::string bigNumbers = mib(s.numberSizes.back().first);
    for (const auto &[size, reps] : s.numberSizes) {
        const std::string m = mib(size);
        rows.push_back({m + " of numbers (ms, best of " + std::to_string(reps) + ")",
                        "n" + m + "_ms",
                        1,
                        ""});
        rows.push_back({m + " of numbers (MB/s)",
                        "n" + m + "_MBps",
                        1,
                        m == bigNumbers && !s.quick ? "≥ 5× sdk-relay, ≥ 1/4 socat" : ""});
    }
    rows.push_back({"peak RSS, fresh process, numbers up to " + bigNumbers + " (MiB)",
                    "numbers_peak_rss_MiB",
                    1,
                    ""});
    rows.push_back({"that peak RSS / " + bigNumbers + " (×)",
                    "numbers_peak_rss_x_payload",
                    2,
                    s.quick ? "" : "≤ 2×"});
    rows.push_back({"peak RSS around the " + big + " result (MiB)", "peak_rss_MiB", 1, ""});
    rows.push_back({"peak RSS / payload (×)", "peak_rss_x_payload", 2, s.quick ? "" : "≤ 2×"});
    rows.push_back({"(peak RSS − RSS before) / payload (×)", "peak_growth_x_payload", 2, ""});
    rows.push_back({"cold start: spawn to initialize answer (ms, median)",
                    "cold_start_ms",
                    2,
                    "≤ 2× socat"});
    rows.push_back({"idle CPU, far end absent (ms per 10 s, utime+stime)",
                    "idle_cpu_ms_per_10s",
                    2,
                    "≤ 10 ms"});
    rows.push_back({"idle CPU, far end absent (ms per 10 s, schedstat)",
                    "idle_cpu_precise_ms_per_10s",
                    3,
                    ""});
    rows.push_back({"server CPU per call, sequential (µs)", "seq_server_cpu_us_per_call", 1, ""});
    rows.push_back(
            {"server CPU per call, pipelined 256 (µs)", "pipe256_server_cpu_us_per_call", 1, ""});
    rows.push_back({"server CPU during pipelined 256 (%)", "pipe256_server_cpu_pct", 0, ""});
    rows.push_back({"far end CPU during pipelined 256 (%)", "pipe256_farend_cpu_pct", 0, ""});
    rows.push_back({"driver CPU during pipelined 256 (%)", "pipe256_driver_cpu_pct", 0, ""});
    rows.push_back(
            {"server CPU during " + big + " results (%)", "r" + big + "_server_cpu_pct", 0, ""});
    rows.push_back(
            {"far end CPU during " + big + " results (%)", "r" + big + "_farend_cpu_pct", 0, ""});
    rows.push_back(
            {"driver CPU during " + big + " results (%)", "r" + big + "_driver_cpu_pct", 0, ""});

    // The ratios of each vesk-mcp peer (one per far end style) to the others.
    std::vector<std::string> ours;
    for (const Peer &p : peers) {
        if (p.name.rfind("vesk-mcp", 0) == 0)
            ours.push_back(p.name);
    }
    std::map<std::string, std::map<std::string, std::string>> verdictsOf;
    for (const std::string &v : ours) {
        auto ratioTo = [&](const std::string &key, const std::string &other) {
            return get(v, key) / get(other, key);
        };
        auto &verdicts = verdictsOf[v];
        verdicts["seq_p50_us"] = verdict(ratioTo("seq_p50_us", "socat"), 1.3, true);
        verdicts["seq_p99_us"] = verdict(ratioTo("seq_p99_us", "socat"), 2.0, true);
        verdicts["pipe64_calls_per_s"]
                = verdict(ratioTo("pipe64_calls_per_s", "sdk-relay"), 5, false);
        verdicts["pipe256_calls_per_s"]
                = verdict(ratioTo("pipe256_calls_per_s", "sdk-relay"), 5, false);
        if (!s.quick) {
            const std::string k = "r" + big + "_MBps";
            verdicts[k] = verdict(ratioTo(k, "sdk-relay"), 10, false) + " / "
                          + verdict(ratioTo(k, "socat"), 0.5, false);
            verdicts["peak_rss_x_payload"] = verdict(get(v, "peak_rss_x_payload"), 2, true);
            const std::string n = "n" + bigNumbers + "_MBps";
            verdicts[n] = verdict(ratioTo(n, "sdk-relay"), 5, false) + " / "
                          + verdict(ratioTo(n, "socat"), 0.25, false);
            verdicts["numbers_peak_rss_x_payload"]
                    = verdict(get(v, "numbers_peak_rss_x_payload"), 2, true);
        }
        verdicts["cold_start_ms"] = verdict(ratioTo("cold_start_ms", "socat"), 2, true);
        verdicts["idle_cpu_ms_per_10s"] = verdict(get(v, "idle_cpu_ms_per_10s"), 10, true);
    }
    const std::map<std::string, std::string> verdicts = verdictsOf["vesk-mcp"];

    std::string table = "| figure |";
    std::string rule = "|---|";
    for (const Peer &p : peers) {
        table += " " + (p.argv.empty() ? p.name + " (driver ↔ far end)" : p.name) + " |";
        rule += "---:|";
    }
    table += " target for vesk-mcp |";
    rule += "---|";
    for (const std::string &v : ours) {
        table += " " + v + " ratio |";
        rule += "---|";
    }
    table += "\n" + rule + "\n";
    for (const Row &r : rows) {
        table += "| " + r.label + " |";
        for (const Peer &p : peers)
            table += " " + fmt(get(p.name, r.key), r.decimals) + " |";
        table += " " + r.target + " |";
        for (const std::string &v : ours)
            table += " " + (r.target.empty() ? std::string() : verdictsOf[v][r.key]) + " |";
        table += "\n";
    }
    std::printf("%s", table.c_str());
    for (const auto &[peer, why] : failures)
        std::printf("\nfailure: %s: %s\n", peer.c_str(), why.c_str());

    if (!jsonPath.empty()) {
        std::ofstream j(jsonPath);
        j << "{\n  \"mode\": \"" << (s.quick ? "quick" : "full") << "\",\n  \"peers\": {";
        bool firstPeer = true;
        for (const auto &[peer, figures] : results) {
            j << (firstPeer ? "\n" : ",\n") << "    \"" << peer << "\": {";
            firstPeer = false;
            bool first = true;
            for (const auto &[key, value] : figures) {
                j << (first ? "" : ", ") << "\"" << key
                  << "\": " << (std::isnan(value) ? std::string("null") : fmt(value, 3));
                first = false;
            }
            j << "}";
        }
        j << "\n  },\n  \"targets\": {";
        bool first = true;
        for (const auto &[key, text] : verdicts) {
            j << (first ? "\n" : ",\n") << "    \"" << key << "\": \"" << text << "\"";
            first = false;
        }
        j << "\n  },\n  \"targets_by_peer\": {";
        first = true;
        for (const auto &[peer, texts] : verdictsOf) {
            j << (first ? "\n" : ",\n") << "    \"" << peer << "\": {";
            first = false;
            bool firstText = true;
            for (const auto &[key, text] : texts) {
                j << (firstText ? "" : ", ") << "\"" << key << "\": \"" << text << "\"";
                firstText = false;
            }
            j << "}";
        }
        j << "\n  },\n  \"failures\": {";
        first = true;
        for (const auto &[peer, why] : failures) {
            std::string esc;
            for (char ch : why) {
                if (ch == '"' || ch == '\\')
                    esc += '\\';
                esc += (unsigned char)ch < 0x20 ? ' ' : ch;
            }
            j << (first ? "\n" : ",\n") << "    \"" << peer << "\": \"" << esc << "\"";
            first = false;
        }
        j << "\n  }\n}\n";
    }
    return failures.empty() ? 0 : 1;
}
