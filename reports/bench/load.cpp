// quentra-reports-load: sends reports to a receiver as a fleet of tray
// machines does, each report on a new connection, and prints what came back.
//
//   quentra-reports-load --port P [--clients N] [--requests TOTAL]
//                        [--addresses-from 127.A.B.C] [--prefix TEXT] [--machines M]
//                        [--acked FILE] [--stop-on-error]
//                        [--attack N --attack-addresses M [--attack-from 127.A.B.C]
//                         [--attack-for SECONDS]]
//
// N clients at once (default 16) send TOTAL reports (default 1000) between
// them, each its next report as soon as its last is answered; with N equal to
// TOTAL every report goes at once (a burst). With --addresses-from, client c
// sends from the c-th loopback address counting from there (x.y.z.0 and
// x.y.z.255 skipped), as machines behind no shared address do; without it
// every client sends from 127.0.0.1. Report i carries m=PREFIX-i and t=i%2;
// with --machines, m=PREFIX-(i%M) and t=i/M%2, so that M machines each send
// many reports, some of them at the same time (the campaign tests' two
// receivers).
//
// --attack holds N more connections from M addresses (from 127.200.0.1 by
// default) while the reports go: half of them send nothing, half the start
// of a request and then a byte every 100 ms; each one the receiver closes is
// opened again at once. The reports start once the attack has gone on for
// SECONDS (default 6: past the receiver's head deadline, so that it is
// closing and the attack reopening connections as fast as both can).
//
// --acked writes the identifier of every report answered 200, one a line;
// with --stop-on-error a client stops at its first failed request (the kill
// test ends the load by killing the receiver). One line on stdout:
//
//   acked A failed F seconds S rate R p50_ms X p99_ms Y max_ms Z
//   status_200 A status_503 B status_other C no_answer D
//   [attack_opened O attack_closed K]
//
// One thread drives every connection (epoll), so a thousand clients cost
// descriptors, not threads.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "fd.h"

namespace {

using Clock = std::chrono::steady_clock;
using reports::UniqueFd;

constexpr auto kRequestTimeout = std::chrono::seconds(10);
constexpr auto kDripEvery = std::chrono::milliseconds(100);

struct Options {
    int port = 0;
    long long clients = 16, total = 1000, machines = 0;
    std::string prefix = "load", acked, addressesFrom;
    bool stopOnError = false;
    long long attack = 0, attackAddresses = 0;
    std::string attackFrom = "127.200.0.1";
    double attackFor = 6;
};

// The n-th usable loopback address from `first` (x.y.z.0 and .255 skipped);
// empty when it would leave 127.0.0.0/8.
std::string NthAddress(const std::string& first, long long n) {
    in_addr a{};
    if (inet_pton(AF_INET, first.c_str(), &a) != 1) return {};
    std::uint32_t host = ntohl(a.s_addr);
    for (long long i = 0; i < n || (host & 0xFF) == 0 || (host & 0xFF) == 255;) {
        ++host;
        if ((host & 0xFF) != 0 && (host & 0xFF) != 255) ++i;
    }
    if ((host >> 24) != 127) return {};
    a.s_addr = htonl(host);
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &a, text, sizeof text);
    return text;
}

// A connection to 127.0.0.1:port from `source` (any when empty) with
// `request` sent, then made non-blocking; empty when it failed. A report's is
// connected and sent at once, as a tray does: on the loopback the handshake
// ends within connect() while the receiver's queue of new connections has
// room; it stays a blocking socket, read without waiting. An attacker's (`wait` false) is left under way, so that a full queue
// holds up no report.
UniqueFd Connect(const std::string& source, int port, const std::string& request, bool wait) {
    UniqueFd fd = UniqueFd::Of(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | (wait ? 0 : SOCK_NONBLOCK), 0));
    if (!fd) return fd;
    if (!source.empty()) {
        // The port is chosen at connect, per destination: thousands of
        // connections from one address need not each hold a port of their own.
        const int yes = 1;
        sockaddr_in local{};
        local.sin_family = AF_INET;
        if (setsockopt(fd.get(), IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &yes, sizeof yes) != 0 ||
            inet_pton(AF_INET, source.c_str(), &local.sin_addr) != 1 ||
            bind(fd.get(), reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
            return {};
        }
    }
    sockaddr_in remote{};
    remote.sin_family = AF_INET;
    remote.sin_port = htons(static_cast<std::uint16_t>(port));
    remote.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (!wait) {
        return connect(fd.get(), reinterpret_cast<sockaddr*>(&remote), sizeof remote) == 0 || errno == EINPROGRESS
                   ? std::move(fd)
                   : UniqueFd();
    }
    // Left blocking: every later read says MSG_DONTWAIT, one call less a report.
    if (connect(fd.get(), reinterpret_cast<sockaddr*>(&remote), sizeof remote) != 0 ||
        (!request.empty() && send(fd.get(), request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size()))) {
        return {};
    }
    return fd;
}

// One connection the loop drives: a report, or an attacker's.
struct Conn {
    UniqueFd fd;
    bool attacker = false, drips = false;
    std::string source;
    std::string request;
    std::string in;
    long long report = -1;
    Clock::time_point start;
    std::uint32_t generation = 0;  // told apart from the connection before it in the same slot
    bool dripped = false;          // an attacker's first bytes are out
};

class Load {
public:
    explicit Load(Options o) : o_(std::move(o)), poller_(UniqueFd::OrThrow(epoll_create1(EPOLL_CLOEXEC), "epoll_create1")) {}

    int Run() {
        conns_.resize(static_cast<std::size_t>(o_.clients + o_.attack));
        for (long long a = 0; a < o_.attack; ++a) {
            Conn& c = conns_[static_cast<std::size_t>(o_.clients + a)];
            c.attacker = true;
            c.drips = a % 2 == 1;
            c.source = NthAddress(o_.attackFrom, a % std::max(1LL, o_.attackAddresses));
            if (c.source.empty()) return Fail("--attack-addresses leaves 127.0.0.0/8");
            Open(c);
        }
        // The reports wait for the attack to be in full swing.
        const auto attackUntil = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                                    std::chrono::duration<double>(o_.attack > 0 ? o_.attackFor : 0));
        while (Clock::now() < attackUntil) Turn();
        start_ = Clock::now();
        for (long long i = 0; i < o_.clients; ++i) {
            Conn& c = conns_[static_cast<std::size_t>(i)];
            if (!o_.addressesFrom.empty()) {
                c.source = NthAddress(o_.addressesFrom, i);
                if (c.source.empty()) return Fail("--addresses-from leaves 127.0.0.0/8 for this many clients");
            }
            NextReport(c);
        }
        while (active_ > 0) Turn();
        const double seconds = std::chrono::duration<double>(Clock::now() - start_).count();
        if (!o_.acked.empty()) {
            std::ofstream out(o_.acked, std::ios::trunc);
            for (const std::string& id : ackedIds_) out << id << '\n';
            if (!out.flush()) return Fail("cannot write " + o_.acked);
        }
        std::vector<std::uint32_t>& l = latencies_;
        std::sort(l.begin(), l.end());
        auto at = [&](double p) {
            return l.empty() ? 0.0 : l[std::min(l.size() - 1, static_cast<std::size_t>(p * static_cast<double>(l.size())))] / 1000.0;
        };
        std::printf("acked %zu failed %lld seconds %.3f rate %.0f p50_ms %.2f p99_ms %.2f max_ms %.2f status_200 %lld "
                    "status_503 %lld status_other %lld no_answer %lld",
                    l.size(), status503_ + statusOther_ + noAnswer_, seconds, static_cast<double>(l.size()) / seconds,
                    at(0.50), at(0.99), l.empty() ? 0.0 : l.back() / 1000.0, static_cast<long long>(l.size()),
                    status503_, statusOther_, noAnswer_);
        if (o_.attack > 0) std::printf(" attack_opened %lld attack_closed %lld", attackOpened_, attackClosed_);
        std::printf("\n");
        return 0;
    }

private:
    int Fail(const std::string& why) {
        std::fprintf(stderr, "quentra-reports-load: %s\n", why.c_str());
        return 1;
    }

    void Open(Conn& c) {
        c.start = Clock::now();
        c.fd = Connect(c.source, o_.port, c.request, !c.attacker);
        c.dripped = false;
        c.in.clear();
        ++c.generation;
        if (!c.fd) return;
        epoll_event e{};
        e.events = EPOLLIN | EPOLLRDHUP;
        e.data.u64 = Key(c);
        if (epoll_ctl(poller_.get(), EPOLL_CTL_ADD, c.fd.get(), &e) != 0) c.fd.reset();
        if (c.attacker && c.fd) {
            ++attackOpened_;
            ++attackOpen_;
        }
    }

    std::uint64_t Key(const Conn& c) const {
        return static_cast<std::uint64_t>(&c - conns_.data()) << 32 | c.generation;
    }

    // Report i's machine identifier.
    std::string Machine(long long report) const {
        return o_.prefix + "-" + std::to_string(o_.machines > 0 ? report % o_.machines : report);
    }

    void NextReport(Conn& c) {
        if (next_ >= o_.total) return;
        c.report = next_++;
        ++active_;
        const std::string id = Machine(c.report);
        const long long kind = o_.machines > 0 ? c.report / o_.machines % 2 : c.report % 2;
        c.request = "GET /traycast.html?t=" + std::to_string(kind) + "&m=" + id +
                " HTTP/1.1\r\nHost: 127.0.0.1\r\nUser-Agent: quentra-reports-load\r\nConnection: close\r\n\r\n";
        Open(c);
        if (!c.fd) Finish(c, 0);
    }

    // A report's connection ended with `status` (0: no answer).
    void Finish(Conn& c, int status) {
        c.fd.reset();
        --active_;
        if (status == 200) {
            latencies_.push_back(static_cast<std::uint32_t>(
                std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - c.start).count()));
            if (!o_.acked.empty()) ackedIds_.push_back(Machine(c.report));
        } else {
            (status == 503 ? status503_ : status == 0 ? noAnswer_ : statusOther_)++;
            if (o_.stopOnError) return;
        }
        NextReport(c);
    }

    static int StatusOf(const std::string& reply) {
        return reply.compare(0, 9, "HTTP/1.1 ") == 0 || reply.compare(0, 9, "HTTP/1.0 ") == 0 ? std::atoi(reply.c_str() + 9) : 0;
    }

    void Event(Conn& c, std::uint32_t events) {
        if (!c.fd) return;
        if (events & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR)) {
            char buffer[4096];
            for (;;) {
                const ssize_t n = recv(c.fd.get(), buffer, sizeof buffer, MSG_DONTWAIT);
                if (n > 0) {
                    if (!c.attacker) c.in.append(buffer, static_cast<std::size_t>(n));
                    continue;
                }
                if (n == 0 || errno != EAGAIN) return Ended(c);
                break;
            }
        }
    }

    // The receiver closed the connection (or it failed).
    void Ended(Conn& c) {
        if (!c.attacker) return Finish(c, StatusOf(c.in));
        --attackOpen_;
        ++attackClosed_;
        c.fd.reset();  // opened again at the next drip
    }

    void Turn() {
        epoll_event events[256];
        const int n = epoll_wait(poller_.get(), events, 256, 10);
        for (int i = 0; i < n; ++i) {
            Conn& c = conns_[static_cast<std::size_t>(events[i].data.u64 >> 32)];
            if (Key(c) == events[i].data.u64) Event(c, events[i].events);  // else a slot's earlier connection
        }
        const auto now = Clock::now();
        if (now - lastSweep_ < kDripEvery) return;
        lastSweep_ = now;
        for (Conn& c : conns_) {
            if (!c.fd) {
                if (c.attacker && (active_ > 0 || next_ == 0)) Open(c);
                continue;
            }
            if (c.attacker && c.drips) {
                // The start of a request, then a byte at a time; while the
                // connection is still under way, nothing.
                const char* bytes = c.dripped ? "a" : "GET /tr";
                const ssize_t sent = send(c.fd.get(), bytes, std::strlen(bytes), MSG_NOSIGNAL | MSG_DONTWAIT);
                if (sent > 0) c.dripped = true;
                if (sent < 0 && errno != EAGAIN && errno != ENOTCONN) Ended(c);
            } else if (!c.attacker && now - c.start > kRequestTimeout) {
                Finish(c, 0);
            }
        }
    }

    Options o_;
    UniqueFd poller_;
    std::vector<Conn> conns_;
    long long next_ = 0, active_ = 0;
    long long status503_ = 0, statusOther_ = 0, noAnswer_ = 0;
    long long attackOpen_ = 0, attackOpened_ = 0, attackClosed_ = 0;
    std::vector<std::uint32_t> latencies_;  // microseconds, of the reports answered 200
    std::vector<std::string> ackedIds_;
    Clock::time_point start_, lastSweep_;
};

}  // namespace

int main(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool hasValue = i + 1 < argc;
        if (a == "--port" && hasValue) o.port = std::atoi(argv[++i]);
        else if (a == "--clients" && hasValue) o.clients = std::atoll(argv[++i]);
        else if (a == "--requests" && hasValue) o.total = std::atoll(argv[++i]);
        else if (a == "--prefix" && hasValue) o.prefix = argv[++i];
        else if (a == "--machines" && hasValue) o.machines = std::atoll(argv[++i]);
        else if (a == "--acked" && hasValue) o.acked = argv[++i];
        else if (a == "--addresses-from" && hasValue) o.addressesFrom = argv[++i];
        else if (a == "--attack" && hasValue) o.attack = std::atoll(argv[++i]);
        else if (a == "--attack-addresses" && hasValue) o.attackAddresses = std::atoll(argv[++i]);
        else if (a == "--attack-from" && hasValue) o.attackFrom = argv[++i];
        else if (a == "--attack-for" && hasValue) o.attackFor = std::atof(argv[++i]);
        else if (a == "--stop-on-error") o.stopOnError = true;
        else {
            std::fprintf(stderr, "quentra-reports-load: unknown argument %s\n", a.c_str());
            return 2;
        }
    }
    if (o.port <= 0 || o.clients <= 0 || o.total <= 0 || o.machines < 0 || o.attack < 0 || (o.attack > 0 && o.attackAddresses <= 0)) {
        std::fprintf(stderr, "quentra-reports-load: --port, --clients and --requests must be positive, and --attack "
                             "needs --attack-addresses\n");
        return 2;
    }
    // Each connection is a descriptor.
    rlimit files{};
    if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
        files.rlim_cur = files.rlim_max;
        if (setrlimit(RLIMIT_NOFILE, &files) != 0) std::perror("quentra-reports-load: setrlimit");
    }
    try {
        return Load(o).Run();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "quentra-reports-load: %s\n", e.what());
        return 1;
    }
}
