#include "actions/report.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <wininet.h>

#include <cstdint>
#include <cstring>
#include <memory>

#include "actions/url.h"
#include "common/handles.h"
#include "environment/probes.h"

namespace {

constexpr DWORD kReportDelayMs = 1000;
constexpr int kMachineIdSize = 260;
// A report is a few hundred bytes each way. Past these bounds the server is
// broken or hostile, and the thread, which keeps the library mapped, stops.
constexpr DWORD kRequestTimeoutMs = 30000;
constexpr DWORD kMaxAnswerBytes = 64 * 1024;

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

// Waits until `s` can be read or written, or the deadline passes. A refused
// or failed connection shows in the exception set, not as writable: it ends
// the wait too, with false.
bool WaitFor(SOCKET s, bool write, ULONGLONG deadline) {
    const ULONGLONG now = GetTickCount64();
    if (now >= deadline) return false;
    const ULONGLONG left = deadline - now;
    fd_set ready, failed;
    FD_ZERO(&ready);
    FD_ZERO(&failed);
    FD_SET(s, &ready);
    FD_SET(s, &failed);
    timeval tv = {static_cast<long>(left / 1000), static_cast<long>(left % 1000) * 1000};
    if (select(0, write ? nullptr : &ready, write ? &ready : nullptr, &failed, &tv) < 1) return false;
    return FD_ISSET(s, &ready) && !FD_ISSET(s, &failed);
}

// A non-blocking connection to the first address of `host` that answers
// before the deadline.
UniqueSocket Connect(const char* host, INTERNET_PORT port, ULONGLONG deadline) {
    char service[8];
    if (FormatBounded(service, sizeof service, "%u", static_cast<unsigned>(port)) < 0) return UniqueSocket();
    addrinfo hints = {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo* found = nullptr;
    if (getaddrinfo(host, service, &hints, &found) != 0) return UniqueSocket();
    const std::unique_ptr<addrinfo, decltype(&freeaddrinfo)> addresses(found, &freeaddrinfo);
    for (const addrinfo* a = found; a != nullptr; a = a->ai_next) {
        UniqueSocket s(socket(a->ai_family, a->ai_socktype, a->ai_protocol));
        if (!s) continue;
        u_long nonBlocking = 1;
        if (ioctlsocket(s.get(), FIONBIO, &nonBlocking) != 0) continue;
        if (connect(s.get(), a->ai_addr, static_cast<int>(a->ai_addrlen)) != 0 &&
            WSAGetLastError() != WSAEWOULDBLOCK) {
            continue;
        }
        if (!WaitFor(s.get(), true, deadline)) continue;
        int error = 0;
        int size = sizeof error;
        if (getsockopt(s.get(), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &size) != 0 || error != 0) {
            continue;
        }
        return s;
    }
    return UniqueSocket();
}

// One plain HTTP GET, every step of it under one deadline: connecting,
// sending, and reading at most 64 KiB of answer, which is dropped in memory;
// nothing of it reaches the disk or a cache. The thread only ever waits in
// select(), so a silent, dripping or endless server costs it the deadline at
// most, and no library calls back into this one after the thread let it go.
// (WinINet reads the answer's head with a timeout per byte, not per request,
// so a server that drips its head held a report thread for minutes.)
void Fetch(const char* url) {
    char host[256] = {};
    char path[2048] = {};
    URL_COMPONENTSA parts = {};
    parts.dwStructSize = sizeof parts;
    parts.lpszHostName = host;
    parts.dwHostNameLength = sizeof host;
    parts.lpszUrlPath = path;  // the path with its query, as the URL has them
    parts.dwUrlPathLength = sizeof path;
    if (!InternetCrackUrlA(url, 0, 0, &parts) || parts.nScheme != INTERNET_SCHEME_HTTP) return;
    char port[8] = {};
    if (parts.nPort != INTERNET_DEFAULT_HTTP_PORT &&
        FormatBounded(port, sizeof port, ":%u", static_cast<unsigned>(parts.nPort)) < 0) {
        return;
    }
    char head[sizeof path + sizeof host + 256];
    if (FormatBounded(head, sizeof head,
                      "GET %s HTTP/1.1\r\nHost: %s%s\r\nUser-Agent: Quentra\r\nAccept: */*\r\n"
                      "Cache-Control: no-cache\r\nPragma: no-cache\r\nConnection: close\r\n\r\n",
                      path, host, port) < 0) {
        return;
    }
    const WinsockSession winsock;
    if (!winsock.ok) return;
    const ULONGLONG deadline = GetTickCount64() + kRequestTimeoutMs;
    const UniqueSocket s = Connect(host, parts.nPort, deadline);
    if (!s) return;
    const std::size_t length = std::strlen(head);
    for (std::size_t sent = 0; sent < length;) {
        if (!WaitFor(s.get(), true, deadline)) return;
        const int n = send(s.get(), head + sent, static_cast<int>(length - sent), 0);
        if (n <= 0) return;
        sent += static_cast<std::size_t>(n);
    }
    char chunk[4096];
    for (DWORD total = 0; total < kMaxAnswerBytes;) {
        if (!WaitFor(s.get(), false, deadline)) return;
        const int n = recv(s.get(), chunk, sizeof chunk, 0);
        if (n <= 0) return;  // the server is done, or gone
        total += static_cast<DWORD>(n);
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
