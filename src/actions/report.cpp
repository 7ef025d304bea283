#include "actions/report.h"

#include <winsock2.h>
#include <windows.h>
#include <wininet.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "actions/autoproxy.h"
#include "actions/resolve.h"
#include "actions/route.h"
#include "actions/settings.h"
#include "common/handles.h"
#include "environment/probes.h"

namespace {

constexpr DWORD kReportDelayMs = 1000;
constexpr int kMachineIdSize = 260;
// A report is a few hundred bytes each way. Past these bounds the server is
// broken or hostile, and the thread, which keeps the library mapped, stops.
constexpr ULONGLONG kRequestTimeoutMs = 30000;
constexpr std::size_t kMaxAnswerBytes = 64 * 1024;
// Enough of an answer's head for its status line and Location header.
constexpr std::size_t kMaxHeadBytes = 8 * 1024;
// A connection attempt that has not succeeded by then gets company: the next
// address starts beside it.
constexpr ULONGLONG kNextAddressDelayMs = 1000;
// What of the deadline a proxy auto-config script may take; past it the
// report takes the settings' own proxy, or goes directly.
constexpr ULONGLONG kScriptTimeoutMs = 10000;

struct WinsockSession {
    bool ok = false;
    WinsockSession() {
        WSADATA data;
        ok = WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }
    ~WinsockSession() {
        if (ok) WSACleanup();
    }
    WinsockSession(const WinsockSession&) = delete;
    WinsockSession& operator=(const WinsockSession&) = delete;
};

ULONGLONG Left(ULONGLONG deadline) {
    const ULONGLONG now = GetTickCount64();
    return now < deadline ? deadline - now : 0;
}

// ---- connection and exchange ----------------------------------------------

// Waits until `s` can be read (or written), or the deadline passes. A failed
// socket shows in the exception set: it ends the wait too, with false.
bool WaitFor(SOCKET s, bool write, ULONGLONG deadline) {
    const ULONGLONG left = Left(deadline);
    if (left == 0) return false;
    fd_set ready, failed;
    FD_ZERO(&ready);
    FD_ZERO(&failed);
    FD_SET(s, &ready);
    FD_SET(s, &failed);
    timeval tv = {static_cast<long>(left / 1000), static_cast<long>(left % 1000) * 1000};
    if (select(0, write ? nullptr : &ready, write ? &ready : nullptr, &failed, &tv) < 1) return false;
    return FD_ISSET(s, &ready) && !FD_ISSET(s, &failed);
}

// A non-blocking connection attempt to `e`; empty when it failed at once.
UniqueSocket StartConnect(const Endpoint& e) {
    UniqueSocket s(socket(e.address.ss_family, SOCK_STREAM, IPPROTO_TCP));
    if (!s) return s;
    u_long nonBlocking = 1;
    if (ioctlsocket(s.get(), FIONBIO, &nonBlocking) != 0) return UniqueSocket();
    if (connect(s.get(), reinterpret_cast<const sockaddr*>(&e.address), e.length) != 0 &&
        WSAGetLastError() != WSAEWOULDBLOCK) {
        return UniqueSocket();
    }
    return s;
}

// The first of `endpoints` that accepts a connection before the deadline.
// Attempts start in order, the next one a second after the last, or at once
// when every attempt in flight has failed; the first to connect wins.
UniqueSocket Connect(const std::vector<Endpoint>& endpoints, ULONGLONG deadline) {
    std::vector<UniqueSocket> pending;
    std::size_t next = 0;
    ULONGLONG nextStart = 0;
    for (;;) {
        const ULONGLONG now = GetTickCount64();
        if (now >= deadline) return UniqueSocket();
        if (next < endpoints.size() && (pending.empty() || now >= nextStart)) {
            UniqueSocket s = StartConnect(endpoints[next++]);
            if (s) {
                pending.push_back(std::move(s));
                nextStart = now + kNextAddressDelayMs;
            }
            continue;
        }
        if (pending.empty()) return UniqueSocket();
        const ULONGLONG until = next < endpoints.size() ? std::min(deadline, nextStart) : deadline;
        const ULONGLONG wait = until > now ? until - now : 0;
        fd_set ready, failed;
        FD_ZERO(&ready);
        FD_ZERO(&failed);
        for (const UniqueSocket& s : pending) {
            FD_SET(s.get(), &ready);
            FD_SET(s.get(), &failed);
        }
        timeval tv = {static_cast<long>(wait / 1000), static_cast<long>(wait % 1000) * 1000};
        if (select(0, nullptr, &ready, &failed, &tv) < 0) return UniqueSocket();
        for (std::size_t i = 0; i < pending.size();) {
            const SOCKET s = pending[i].get();
            int error = 0;
            int size = sizeof error;
            const bool gone = FD_ISSET(s, &failed) != 0;
            const bool writable = FD_ISSET(s, &ready) != 0;
            if (writable && !gone &&
                getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &size) == 0 && error == 0) {
                return std::move(pending[i]);
            }
            if (gone || writable) {
                pending.erase(pending.begin() + static_cast<std::ptrdiff_t>(i));
                nextStart = GetTickCount64();  // a failure frees the next address at once
                continue;
            }
            ++i;
        }
    }
}

// "HOST[:PORT]" as the Host header names a server.
TextString HostHeader(const HttpUrl& url) {
    const TextString absolute = AbsoluteUrl(HttpUrl{url.host, url.port, "/"});
    return absolute.substr(7, absolute.size() - 8);
}

// One GET to `server` for `url`, whose request line carries `requestTarget`.
// Keeps the answer's head in `head`; reads the rest of the answer up to
// kMaxAnswerBytes and drops it. True when an answer's status line arrived.
bool Request(const HttpUrl& server, const TextString& requestTarget, const HttpUrl& url, ULONGLONG deadline,
             TextString& head) {
    head.clear();
    const TextString request = "GET " + requestTarget + " HTTP/1.1\r\nHost: " + HostHeader(url) +
                               "\r\nUser-Agent: Quentra\r\nAccept: */*\r\nCache-Control: no-cache\r\n"
                               "Pragma: no-cache\r\nConnection: close\r\n\r\n";
    std::vector<Endpoint> endpoints;
    if (!ResolveEndpoints(server.host, server.port, deadline, endpoints)) return false;
    const UniqueSocket s = Connect(endpoints, deadline);
    if (!s) return false;
    for (std::size_t sent = 0; sent < request.size();) {
        if (!WaitFor(s.get(), true, deadline)) return false;
        const int n = send(s.get(), request.data() + sent, static_cast<int>(request.size() - sent), 0);
        if (n <= 0) return false;
        sent += static_cast<std::size_t>(n);
    }
    char chunk[4096];
    for (std::size_t total = 0; total < kMaxAnswerBytes;) {
        if (!WaitFor(s.get(), false, deadline)) break;
        const int n = recv(s.get(), chunk, sizeof chunk, 0);
        if (n <= 0) break;  // the server is done, or gone
        total += static_cast<std::size_t>(n);
        if (head.size() < kMaxHeadBytes) {
            head.append(chunk, std::min(static_cast<std::size_t>(n), kMaxHeadBytes - head.size()));
            if (AnswerHeadSuffices(head.data(), head.size())) break;
        }
    }
    return AnswerStatus(head.data(), head.size()) != 0;
}

// The route of the user's web traffic for `url`: the proxy a script names
// for it, when the settings ask for one and the script answers in time, else
// the settings' own proxy. The script's server is asked first within the
// report's own bounds, so a silent one costs no more than they allow.
ProxyRoute RouteFor(const char* url, ULONGLONG deadline) {
    const InternetSettings settings = ReadInternetSettings();
    if (settings.scriptUrl.empty() && !settings.autoDetect) return settings.manual;
    const ULONGLONG until = std::min(deadline, GetTickCount64() + kScriptTimeoutMs);
    HttpUrl script;
    TextString head, list;
    if (!settings.scriptUrl.empty() && (!SplitHttpUrl(settings.scriptUrl.c_str(), script) ||
                                        !Request(script, script.target, script, until, head))) {
        return settings.manual;
    }
    if (!ScriptedProxy(url, settings.scriptUrl, settings.autoDetect, until, list)) return settings.manual;
    ProxyRoute route;  // the script has no bypass list: it said what it wanted
    route.enabled = ProxyForHttp(list.c_str(), route.proxy);
    return route;
}

// The report's request, on the machine's route, with its redirects, all
// within one deadline.
void Fetch(const char* url) {
    HttpUrl target;
    if (!SplitHttpUrl(url, target)) return;
    const WinsockSession winsock;
    if (!winsock.ok) return;
    const ULONGLONG deadline = GetTickCount64() + kRequestTimeoutMs;
    const ProxyRoute route = RouteFor(url, deadline);
    RunReportHops(target, route, [&](const HttpUrl& server, const TextString& requestTarget, const HttpUrl& hop,
                                     TextString& head) { return Request(server, requestTarget, hop, deadline, head); });
}

void Report(ReportKind kind) {
    // One byte more than GetCIDA is told, always zero: an identifier that
    // fills all 260 bytes without a terminator still ends inside the buffer.
    char machineId[kMachineIdSize + 1] = {};
    GetMachineId(machineId, kMachineIdSize);
    const TextString url = ReportUrl(kind, machineId);

    Sleep(kReportDelayMs);

    // The request neither reads nor writes the cache, and no entry another
    // program made for the URL is left: it would keep the machine identifier.
    DeleteUrlCacheEntryA(url.c_str());
    Fetch(url.c_str());
    DeleteUrlCacheEntryA(url.c_str());
}

// This module, without touching its reference count.
HMODULE ThisModule() {
    HMODULE self = nullptr;
    GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCSTR>(&ThisModule), &self);
    return self;
}

DWORD WINAPI ReportThread(void* parameter) {
    const ReportKind kind = static_cast<ReportKind>(reinterpret_cast<std::intptr_t>(parameter));
    try {
        Report(kind);
    } catch (...) {
        // Nothing leaves a report thread; a report is best effort.
    }
    // Drops the reference StartReport took, and never returns into code that
    // the drop may have unmapped.
    FreeLibraryAndExitThread(ThisModule(), 0);
}

}  // namespace

TextString ReportUrl(ReportKind kind, const char* machineId) {
    TextString url = QUENTRA_REPORT_ORIGIN;
    url += kind == ReportKind::Installed ? "/traycast.html?t=1&m=" : "/traycast.html?t=0&m=";
    url += PercentEncode(machineId);
    return url;
}

void StartReport(ReportKind kind) {
    // The thread's own reference on this module: handed to the thread, which
    // drops it as it ends, or dropped here when the thread cannot start.
    UniqueModule self;
    if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCSTR>(&StartReport),
                            self.receive())) {
        return;
    }
    void* parameter = reinterpret_cast<void*>(static_cast<std::intptr_t>(kind));
    UniqueKernelHandle thread(CreateThread(nullptr, 0, ReportThread, parameter, 0, nullptr));
    if (!thread) return;
    self.release();
    // Detached: the handle closes here and nobody waits for the thread.
}
