#include "actions/report.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <wininet.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "actions/url.h"
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
constexpr int kMaxRedirects = 5;
// A connection attempt that has not succeeded by then gets company: the next
// address starts beside it.
constexpr ULONGLONG kNextAddressDelayMs = 1000;
constexpr std::size_t kMaxAddresses = 16;
constexpr DWORD kMaxProxyInfoBytes = 64 * 1024;

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

// ---- the route ------------------------------------------------------------

struct ProxySettings {
    bool enabled = false;
    HttpUrl proxy;
    TextString bypass;
};

// A text that WinINet placed in `buffer`, or empty when the pointer leads
// outside it or the text has no terminator there.
TextString TextIn(const std::vector<unsigned char>& buffer, const char* text) {
    const char* begin = reinterpret_cast<const char*>(buffer.data());
    const char* end = begin + buffer.size();
    if (text == nullptr || text < begin || text >= end) return TextString();
    const void* zero = std::memchr(text, '\0', static_cast<std::size_t>(end - text));
    return zero != nullptr ? TextString(text, static_cast<const char*>(zero)) : TextString();
}

// The proxy of the user's Internet Settings, as WinINet reads them for this
// process. Only the settings are asked for: no request goes through WinINet,
// whose blocking reads cannot be bounded.
ProxySettings ReadProxySettings() {
    ProxySettings settings;
    const UniqueInternetHandle session(InternetOpenA("Quentra", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
    if (!session) return settings;
    DWORD size = 0;
    InternetQueryOptionA(session.get(), INTERNET_OPTION_PROXY, nullptr, &size);
    if (size < sizeof(INTERNET_PROXY_INFO) || size > kMaxProxyInfoBytes) return settings;
    std::vector<unsigned char> buffer(size);
    if (!InternetQueryOptionA(session.get(), INTERNET_OPTION_PROXY, buffer.data(), &size) ||
        size > buffer.size()) {
        return settings;
    }
    INTERNET_PROXY_INFO info;
    std::memcpy(&info, buffer.data(), sizeof info);
    if (info.dwAccessType != INTERNET_OPEN_TYPE_PROXY) return settings;
    const TextString list = TextIn(buffer, reinterpret_cast<const char*>(info.lpszProxy));
    settings.enabled = ProxyForHttp(list.c_str(), settings.proxy);
    settings.bypass = TextIn(buffer, reinterpret_cast<const char*>(info.lpszProxyBypass));
    return settings;
}

// ---- name resolution ------------------------------------------------------

struct Endpoint {
    sockaddr_storage address;
    int length;
};

void AddEndpoint(std::vector<Endpoint>& out, const sockaddr* address, std::size_t length) {
    if (address == nullptr || length == 0 || length > sizeof(sockaddr_storage) || out.size() >= kMaxAddresses) return;
    if (address->sa_family != AF_INET && address->sa_family != AF_INET6) return;
    for (const Endpoint& e : out) {
        if (static_cast<std::size_t>(e.length) == length && std::memcmp(&e.address, address, length) == 0) return;
    }
    Endpoint e = {};
    std::memcpy(&e.address, address, length);
    e.length = static_cast<int>(length);
    out.push_back(e);
}

// The resolver's own timeouts bound this one: for Windows without the
// asynchronous lookup, and (AI_NUMERICHOST) for an address written as such.
bool ResolveBlocking(const char* host, const char* service, int flags, std::vector<Endpoint>& out) {
    addrinfo hints = {};
    hints.ai_flags = flags;
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo* found = nullptr;
    if (getaddrinfo(host, service, &hints, &found) != 0) return false;
    const std::unique_ptr<addrinfo, decltype(&freeaddrinfo)> addresses(found, &freeaddrinfo);
    for (const addrinfo* a = found; a != nullptr; a = a->ai_next) AddEndpoint(out, a->ai_addr, a->ai_addrlen);
    return !out.empty();
}

using GetAddrInfoExWFn = INT(WSAAPI*)(PCWSTR, PCWSTR, DWORD, LPGUID, const ADDRINFOEXW*, PADDRINFOEXW*, timeval*,
                                      LPOVERLAPPED, LPLOOKUPSERVICE_COMPLETION_ROUTINE, LPHANDLE);
using OverlappedResultFn = INT(WSAAPI*)(LPOVERLAPPED);
using FreeAddrInfoExWFn = void(WSAAPI*)(PADDRINFOEXW);

// What an asynchronous lookup writes when it completes. It lives on the
// process heap, not in this thread or module, so a lookup that outlives the
// deadline (and the library) writes into memory that is still there.
struct Lookup {
    OVERLAPPED overlapped;
    PADDRINFOEXW result;
};

// The addresses of `host`, all found before the deadline.
bool Resolve(const TextString& host, unsigned port, ULONGLONG deadline, std::vector<Endpoint>& out) {
    out.clear();
    char service[8];
    if (FormatBounded(service, sizeof service, "%u", port) < 0) return false;
    // An address written as such needs no resolver, and no thread of the
    // system's pool that a lookup would start.
    if (ResolveBlocking(host.c_str(), service, AI_NUMERICHOST, out)) return true;
    const HMODULE winsock = GetModuleHandleA("ws2_32.dll");
    const auto lookupEx = reinterpret_cast<GetAddrInfoExWFn>(
        reinterpret_cast<void (*)()>(GetProcAddress(winsock, "GetAddrInfoExW")));
    const auto resultOf = reinterpret_cast<OverlappedResultFn>(
        reinterpret_cast<void (*)()>(GetProcAddress(winsock, "GetAddrInfoExOverlappedResult")));
    const auto freeEx = reinterpret_cast<FreeAddrInfoExWFn>(
        reinterpret_cast<void (*)()>(GetProcAddress(winsock, "FreeAddrInfoExW")));
    if (lookupEx == nullptr || resultOf == nullptr || freeEx == nullptr) {
        return ResolveBlocking(host.c_str(), service, 0, out);
    }
    wchar_t wideHost[256];
    wchar_t wideService[8];
    if (MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, host.c_str(), -1, wideHost, 256) == 0 ||
        MultiByteToWideChar(CP_ACP, 0, service, -1, wideService, 8) == 0) {
        return false;
    }
    UniqueKernelHandle done(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    Lookup* lookup = static_cast<Lookup*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(Lookup)));
    if (!done || lookup == nullptr) {
        if (lookup != nullptr) HeapFree(GetProcessHeap(), 0, lookup);
        return false;
    }
    lookup->overlapped.hEvent = done.get();
    ADDRINFOEXW hints = {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    int status = lookupEx(wideHost, wideService, NS_ALL, nullptr, &hints, &lookup->result, nullptr,
                          &lookup->overlapped, nullptr, nullptr);
    if (status == WSA_IO_PENDING) {
        if (WaitForSingleObject(done.get(), static_cast<DWORD>(Left(deadline))) != WAIT_OBJECT_0) {
            // Still resolving: the lookup keeps its block and its event.
            done.release();
            return false;
        }
        status = resultOf(&lookup->overlapped);
    } else if (status == WSAEINVAL) {
        // No asynchronous lookup on this Windows (7): the blocking one.
        HeapFree(GetProcessHeap(), 0, lookup);
        return ResolveBlocking(host.c_str(), service, 0, out);
    }
    if (status == 0) {
        // MinGW declares ai_next as a pointer to an incomplete twin of the type.
        for (const ADDRINFOEXW* a = lookup->result; a != nullptr;
             a = reinterpret_cast<const ADDRINFOEXW*>(a->ai_next)) {
            AddEndpoint(out, a->ai_addr, a->ai_addrlen);
        }
    }
    if (lookup->result != nullptr) freeEx(lookup->result);
    HeapFree(GetProcessHeap(), 0, lookup);
    return !out.empty();
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
    if (!Resolve(server.host, server.port, deadline, endpoints)) return false;
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
            // A redirect's body is of no use: its head is all we need.
            if (IsRedirect(AnswerStatus(head.data(), head.size())) && head.find("\r\n\r\n") != TextString::npos) {
                break;
            }
        }
    }
    return AnswerStatus(head.data(), head.size()) != 0;
}

// The report's request, on the machine's route, with its redirects, all
// within one deadline.
void Fetch(const char* url) {
    HttpUrl target;
    if (!SplitHttpUrl(url, target)) return;
    const ProxySettings route = ReadProxySettings();
    const WinsockSession winsock;
    if (!winsock.ok) return;
    const ULONGLONG deadline = GetTickCount64() + kRequestTimeoutMs;
    for (int hop = 0; hop <= kMaxRedirects; ++hop) {
        TextString head;
        bool answered = false;
        const bool viaProxy = route.enabled && !BypassesProxy(route.bypass.c_str(), target.host.c_str());
        if (viaProxy) {
            answered = Request(route.proxy, AbsoluteUrl(target), target, deadline, head) &&
                       AnswerStatus(head.data(), head.size()) != 407;
        }
        if (!answered) answered = Request(target, target.target, target, deadline, head);
        if (!answered) return;
        if (!IsRedirect(AnswerStatus(head.data(), head.size()))) return;
        HttpUrl next;
        if (!ResolveLocation(target, AnswerLocation(head.data(), head.size()).c_str(), next)) return;
        target = next;
    }
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
