// Stand-in for the vendor's report server, for tests and the demo.
//
//   report-receiver [ADDR:]PORT LOGFILE MODE TIMEOUT_MS [PARENT_PID]
//
// Listens on ADDR:PORT, a loopback address (default 127.0.0.1) only. Every request line that arrives ("GET
// /traycast.html?t=0&m=... HTTP/1.1") is appended to LOGFILE, one line each.
// MODE says how to answer: "200", "500", "blackhole" (accept, read, log,
// and never answer, so the client hangs until we go away), "drip" (a valid
// answer, one byte every 5 s from its first byte on), "dripbody" (a 200's
// whole head at once, then its 64-byte body one byte every 5 s) or "flood" (a 200 whose
// body is 300 MiB, sent as fast as the client takes it), "redirect" or
// "redirect=PREFIX" (a 302 to "/moved" or PREFIX followed by the request's
// path, for a request of /traycast.html; a 200 for anything else), "loop"
// (a 302 back to the same path, every time) or "drop" (a listener whose
// queue is full, so that connection attempts go unanswered and nothing is
// logged: an address that drops them) or "pac=HOST:PORT" (a 200 whose body is a
// proxy auto-config script that names the proxy HOST:PORT for every URL).
// The receiver ends by itself after
// TIMEOUT_MS, or as soon as the process PARENT_PID has ended; a test usually
// ends it earlier by its process handle. A test process that was killed thus
// never leaves a receiver holding the port for the tests after it.
//
// LOGFILE is created (empty if new) once the socket listens, so a starter
// knows when requests can be made. Exit codes: 0 after the timeout, 2 for bad
// arguments, 3 when the port cannot be bound (another receiver, most likely).
#include <winsock2.h>
#include <windows.h>
#include <ws2tcpip.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "common/handles.h"

namespace {

enum class Mode { Ok, ServerError, Blackhole, Drip, DripBody, Flood, Redirect, Loop, Drop, Script };

struct Client {
    UniqueSocket socket;
    std::string received;
    bool logged = false;      // the request line went to the log
    bool answered = false;    // the answer was sent; waiting for the client to close
    ULONGLONG answeredAt = 0;
    std::string pending;           // drip: what is still to be sent
    ULONGLONG nextDripAt = 0;
    unsigned long long floodLeft = 0;  // flood: body bytes still to be sent
};

constexpr ULONGLONG kDripIntervalMs = 5000;
constexpr unsigned long long kFloodBytes = 300ull * 1024 * 1024;

// How long an answered client may keep its end open before we drop it.
constexpr ULONGLONG kLingerAfterAnswerMs = 3000;
// A request head larger than this is logged as far as it came and dropped.
constexpr std::size_t kMaxHead = 16384;

// The log opened for appending (created when missing); empty on failure.
UniqueFileHandle OpenLog(const std::string& logPath) {
    return UniqueFileHandle(CreateFileA(logPath.c_str(), FILE_APPEND_DATA,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                                        FILE_ATTRIBUTE_NORMAL, nullptr));
}

bool AppendLine(const std::string& logPath, const std::string& line) {
    UniqueFileHandle log = OpenLog(logPath);
    if (!log) return false;
    const std::string text = line + "\n";
    DWORD written = 0;
    return WriteFile(log.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
           written == text.size();
}

// Accepted sockets close with a zero linger: a reset instead of a FIN, so
// the server side never sits in TIME_WAIT and the next receiver can bind the
// port at once, even when this process is ended from outside. We close only
// after the client closed its end, or had ample time to read the answer.
void HardCloseOnExit(SOCKET s) {
    linger hard = {1, 0};
    setsockopt(s, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&hard), sizeof hard);
}

void Drop(Client& c) { c.socket.reset(); }

// The path of a request line's target, also when a proxy was sent the
// absolute URL: "GET http://host:port/traycast.html?… HTTP/1.1".
std::string RequestPath(const std::string& requestLine) {
    const std::size_t start = requestLine.find(' ');
    if (start == std::string::npos) return std::string();
    const std::size_t end = requestLine.find(' ', start + 1);
    std::string target = requestLine.substr(start + 1, end == std::string::npos ? std::string::npos : end - start - 1);
    if (target.compare(0, 7, "http://") == 0) {
        const std::size_t slash = target.find('/', 7);
        target = slash == std::string::npos ? "/" : target.substr(slash);
    }
    return target;
}

void SendRedirect(Client& c, const std::string& location) {
    const std::string head = "HTTP/1.1 302 Found\r\nLocation: " + location +
                             "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
    send(c.socket.get(), head.data(), static_cast<int>(head.size()), 0);
    c.answered = true;
    c.answeredAt = GetTickCount64();
}

std::string redirectPrefix = "/moved";
std::string scriptProxy;

void Answer(Client& c, Mode mode, const std::string& requestLine) {
    const std::string path = RequestPath(requestLine);
    if (mode == Mode::Loop) return SendRedirect(c, path);
    if (mode == Mode::Redirect && path.compare(0, 14, "/traycast.html") == 0) {
        return SendRedirect(c, redirectPrefix + path);
    }
    if (mode == Mode::Redirect) mode = Mode::Ok;
    if (mode == Mode::Script) {
        const std::string body =
            "function FindProxyForURL(url, host) { return \"PROXY " + scriptProxy + "; DIRECT\"; }\n";
        const std::string head = "HTTP/1.1 200 OK\r\nContent-Type: application/x-ns-proxy-autoconfig\r\n"
                                 "Content-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n";
        const std::string answer = head + body;
        send(c.socket.get(), answer.data(), static_cast<int>(answer.size()), 0);
        c.answered = true;
        c.answeredAt = GetTickCount64();
        return;
    }
    if (mode == Mode::Drip) {
        c.pending = "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 3\r\n\r\nok\n";
        c.nextDripAt = GetTickCount64();
        return;
    }
    if (mode == Mode::DripBody) {
        static const char kHead[] = "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 64\r\n\r\n";
        send(c.socket.get(), kHead, static_cast<int>(sizeof kHead - 1), 0);
        c.pending.assign(64, 'x');
        c.nextDripAt = GetTickCount64() + kDripIntervalMs;
        return;
    }
    if (mode == Mode::Flood) {
        char head[160];
        const int n = std::snprintf(head, sizeof head,
                                    "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\n"
                                    "Content-Length: %llu\r\nConnection: close\r\n\r\n",
                                    kFloodBytes);
        if (n > 0) send(c.socket.get(), head, n, 0);
        c.floodLeft = kFloodBytes;
        return;
    }
    const char* status = mode == Mode::Ok ? "200 OK" : "500 Internal Server Error";
    const char* body = mode == Mode::Ok ? "ok\n" : "error\n";
    char head[256];
    const int n = std::snprintf(head, sizeof head,
                                "HTTP/1.1 %s\r\nContent-Type: text/plain\r\nContent-Length: %u\r\n"
                                "Cache-Control: no-store\r\nConnection: close\r\n\r\n%s",
                                status, static_cast<unsigned>(std::strlen(body)), body);
    if (n > 0) send(c.socket.get(), head, n, 0);
    // The client closes first after reading the whole answer (Connection:
    // close); we wait for that rather than closing ourselves.
    c.answered = true;
    c.answeredAt = GetTickCount64();
}

bool ParseNumber(const char* text, unsigned long max, unsigned long& out) {
    char* end = nullptr;
    const unsigned long v = std::strtoul(text, &end, 10);
    if (end == text || *end != '\0' || v > max) return false;
    out = v;
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    unsigned long port = 0, timeoutMs = 0;
    Mode mode = Mode::Ok;
    struct Named {
        const char* name;
        Mode mode;
    } const modes[] = {{"200", Mode::Ok},     {"500", Mode::ServerError}, {"blackhole", Mode::Blackhole},
                       {"drip", Mode::Drip},  {"dripbody", Mode::DripBody}, {"flood", Mode::Flood},
                       {"redirect", Mode::Redirect},
                       {"loop", Mode::Loop},  {"drop", Mode::Drop}};
    bool modeOk = false;
    if (argc == 5 || argc == 6) {
        for (const Named& m : modes) {
            if (std::strcmp(argv[3], m.name) == 0) {
                mode = m.mode;
                modeOk = true;
            }
        }
        if (std::strncmp(argv[3], "pac=", 4) == 0 && argv[3][4] != '\0') {
            mode = Mode::Script;
            scriptProxy = argv[3] + 4;
            modeOk = true;
        }
        if (std::strncmp(argv[3], "redirect=", 9) == 0 && argv[3][9] != '\0') {
            mode = Mode::Redirect;
            redirectPrefix = argv[3] + 9;
            modeOk = true;
        }
    }
    // [ADDR:]PORT, the address a loopback one.
    std::string host = "127.0.0.1";
    const char* portText = modeOk ? argv[1] : "";
    if (const char* colon = std::strrchr(portText, ':')) {
        host.assign(portText, colon);
        portText = colon + 1;
    }
    in_addr hostAddress = {};
    const bool hostOk = inet_pton(AF_INET, host.c_str(), &hostAddress) == 1 &&
                        (ntohl(hostAddress.s_addr) >> 24) == 127;
    unsigned long parentPid = 0;
    if (!modeOk || !hostOk || !ParseNumber(portText, 65535, port) || port == 0 ||
        !ParseNumber(argv[4], 86400000, timeoutMs) || argv[2][0] == '\0' ||
        (argc == 6 && !ParseNumber(argv[5], 0xFFFFFFFFul, parentPid))) {
        std::fprintf(stderr, "usage: report-receiver [127.x.y.z:]PORT LOGFILE "
                             "200|500|blackhole|drip|dripbody|flood|redirect[=PREFIX]|loop|drop|pac=HOST:PORT "
                             "TIMEOUT_MS [PARENT_PID]\n");
        return 2;
    }
    UniqueKernelHandle parent;
    if (parentPid != 0) {
        parent.reset(OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(parentPid)));
        if (!parent) {
            std::fprintf(stderr, "report-receiver: process %lu is gone already\n", parentPid);
            return 2;
        }
    }
    const std::string logPath = argv[2];

    WSADATA wsa;
    if (WSAStartup(MAKEWORD(2, 2), &wsa) != 0) {
        std::fprintf(stderr, "report-receiver: no Winsock\n");
        return 3;
    }
    UniqueSocket listener(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    if (!listener) {
        std::fprintf(stderr, "report-receiver: no socket\n");
        return 3;
    }
    // No address sharing: a second receiver on the same port must fail here
    // rather than steal half the requests.
    BOOL exclusive = TRUE;
    setsockopt(listener.get(), SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&exclusive), sizeof exclusive);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<u_short>(port));
    address.sin_addr = hostAddress;
    if (bind(listener.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(listener.get(), mode == Mode::Drop ? 1 : 16) != 0) {
        std::fprintf(stderr, "report-receiver: cannot listen on %s:%lu (error %d); is another receiver running?\n",
                     host.c_str(), port, WSAGetLastError());
        return 3;
    }
    // Drop: connections of our own fill the queue that nobody accepts from,
    // so the system drops every later attempt unanswered.
    std::vector<UniqueSocket> fillers;
    for (int i = 0; mode == Mode::Drop && i < 4; ++i) {
        UniqueSocket filler(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
        u_long nonBlocking = 1;
        if (!filler || ioctlsocket(filler.get(), FIONBIO, &nonBlocking) != 0) continue;
        connect(filler.get(), reinterpret_cast<sockaddr*>(&address), sizeof address);
        fillers.push_back(std::move(filler));
        Sleep(100);
    }
    // The log's existence says "listening".
    if (!OpenLog(logPath)) {
        std::fprintf(stderr, "report-receiver: cannot create %s\n", logPath.c_str());
        return 2;
    }

    std::vector<Client> clients;
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    for (;;) {
        const ULONGLONG now = GetTickCount64();
        if (now >= deadline || (parent && WaitForSingleObject(parent.get(), 0) == WAIT_OBJECT_0)) break;
        fd_set readable, writable;
        FD_ZERO(&readable);
        FD_ZERO(&writable);
        if (mode != Mode::Drop) FD_SET(listener.get(), &readable);
        for (const Client& c : clients) {
            if (c.socket && readable.fd_count < FD_SETSIZE) FD_SET(c.socket.get(), &readable);
            if (c.socket && c.floodLeft > 0 && writable.fd_count < FD_SETSIZE) {
                FD_SET(c.socket.get(), &writable);
            }
        }
        const ULONGLONG wait = deadline - now < 100 ? deadline - now : 100;
        timeval tv = {0, static_cast<long>(wait * 1000)};
        const int ready = select(0, &readable, &writable, nullptr, &tv);
        if (ready == SOCKET_ERROR) {
            Sleep(10);
            continue;
        }
        if (FD_ISSET(listener.get(), &readable)) {
            Client c;
            c.socket.reset(accept(listener.get(), nullptr, nullptr));
            if (c.socket) {
                HardCloseOnExit(c.socket.get());
                clients.push_back(std::move(c));
            }
        }
        for (Client& c : clients) {
            if (!c.socket) continue;
            if (FD_ISSET(c.socket.get(), &readable)) {
                char chunk[4096];
                const int n = recv(c.socket.get(), chunk, sizeof chunk, 0);
                if (n <= 0) {
                    Drop(c);  // the client is done (or gone)
                    continue;
                }
                if (!c.logged) c.received.append(chunk, static_cast<std::size_t>(n));
            }
            if (!c.logged) {
                const std::size_t lineEnd = c.received.find("\r\n");
                const bool headDone = c.received.find("\r\n\r\n") != std::string::npos;
                if (lineEnd != std::string::npos && (headDone || c.received.size() > kMaxHead)) {
                    const std::string requestLine = c.received.substr(0, lineEnd);
                    AppendLine(logPath, requestLine);
                    c.logged = true;
                    c.received.clear();
                    if (mode != Mode::Blackhole) Answer(c, mode, requestLine);
                } else if (c.received.size() > kMaxHead) {
                    AppendLine(logPath, c.received.substr(0, 200));
                    Drop(c);
                    continue;
                }
            }
            if (!c.pending.empty() && GetTickCount64() >= c.nextDripAt) {
                if (send(c.socket.get(), c.pending.data(), 1, 0) != 1) {
                    Drop(c);
                    continue;
                }
                c.pending.erase(0, 1);
                c.nextDripAt += kDripIntervalMs;
            }
            if (c.floodLeft > 0 && FD_ISSET(c.socket.get(), &writable)) {
                static const std::string block(65536, 'x');
                const int n = send(c.socket.get(), block.data(),
                                   static_cast<int>(c.floodLeft < block.size() ? c.floodLeft : block.size()), 0);
                if (n <= 0) {
                    Drop(c);
                    continue;
                }
                c.floodLeft -= static_cast<unsigned long long>(n);
            }
            if (c.answered && GetTickCount64() - c.answeredAt > kLingerAfterAnswerMs) Drop(c);
        }
        // Forget closed clients.
        std::vector<Client> open;
        for (Client& c : clients) {
            if (c.socket) open.push_back(std::move(c));
        }
        clients.swap(open);
    }
    clients.clear();
    fillers.clear();
    listener.reset();
    WSACleanup();
    return 0;
}
