// The report's request through WinHTTP in asynchronous mode: the route of the
// user's Internet Settings, redirects followed by WinHTTP itself (five at
// most, each checked against the host rule), one deadline enforced by closing
// the request handle from a timer, and the caller kept until WinHTTP has said
// the request handle is closing, so no callback of ours runs after it.
#include "actions/fetch_winhttp.h"

#include <winsock2.h>
#include <windows.h>
#include <winhttp.h>

#include <cstring>
#include <string>

#include "actions/route.h"
#include "actions/url.h"

namespace {

constexpr std::size_t kMaxAnswerBytes = 64 * 1024;

struct WinHttpCloser {
    HINTERNET h = nullptr;
    explicit WinHttpCloser(HINTERNET handle) : h(handle) {}
    ~WinHttpCloser() {
        if (h != nullptr) WinHttpCloseHandle(h);
    }
    WinHttpCloser(const WinHttpCloser&) = delete;
    WinHttpCloser& operator=(const WinHttpCloser&) = delete;
};

struct KernelCloser {
    HANDLE h;
    explicit KernelCloser(HANDLE handle) : h(handle) {}
    ~KernelCloser() {
        if (h != nullptr) CloseHandle(h);
    }
    KernelCloser(const KernelCloser&) = delete;
    KernelCloser& operator=(const KernelCloser&) = delete;
};

// What one request's callbacks share with the thread that waits for it.
struct Exchange {
    HANDLE done = nullptr;    // the answer was read as far as it will be
    HANDLE closed = nullptr;  // WinHTTP will call no more for the request
    HINTERNET request = nullptr;  // taken by whoever closes it first
    DWORD status = 0;
    std::size_t total = 0;
    char buffer[4096];
};

void CloseRequest(Exchange& x) {
    HINTERNET request = static_cast<HINTERNET>(InterlockedExchangePointer(&x.request, nullptr));
    if (request != nullptr) WinHttpCloseHandle(request);
}

void ReadMore(HINTERNET h, Exchange& x) {
    if (!WinHttpReadData(h, x.buffer, sizeof x.buffer, nullptr)) SetEvent(x.done);
}

std::wstring Wide(const TextString& text) {
    std::wstring wide;
    for (const char c : text) wide.push_back(static_cast<wchar_t>(static_cast<unsigned char>(c)));
    return wide;
}

void CALLBACK OnStatus(HINTERNET h, DWORD_PTR context, DWORD code, void* info, DWORD length) {
    Exchange& x = *reinterpret_cast<Exchange*>(context);
    switch (code) {
    case WINHTTP_CALLBACK_STATUS_SENDREQUEST_COMPLETE:
        if (!WinHttpReceiveResponse(h, nullptr)) SetEvent(x.done);
        break;
    case WINHTTP_CALLBACK_STATUS_HEADERS_AVAILABLE: {
        DWORD size = sizeof x.status;
        WinHttpQueryHeaders(h, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER, WINHTTP_HEADER_NAME_BY_INDEX,
                            &x.status, &size, WINHTTP_NO_HEADER_INDEX);
        ReadMore(h, x);
        break;
    }
    case WINHTTP_CALLBACK_STATUS_READ_COMPLETE:
        x.total += length;
        if (length == 0 || x.total >= kMaxAnswerBytes) {
            SetEvent(x.done);
        } else {
            ReadMore(h, x);
        }
        break;
    case WINHTTP_CALLBACK_STATUS_REDIRECT: {
        // The host rule holds for WinHTTP's redirects too.
        TextString location;
        for (const wchar_t* p = static_cast<const wchar_t*>(info); p != nullptr && *p != 0; ++p) {
            location.push_back(*p < 0x80 ? static_cast<char>(*p) : ' ');
        }
        HttpUrl next;
        if (!SplitHttpUrl(location.c_str(), next)) {
            x.status = 0;
            SetEvent(x.done);
        }
        break;
    }
    case WINHTTP_CALLBACK_STATUS_REQUEST_ERROR:
        SetEvent(x.done);
        break;
    case WINHTTP_CALLBACK_STATUS_HANDLE_CLOSING:
        SetEvent(x.closed);
        break;
    default:
        break;
    }
}

void CALLBACK OnDeadline(void* context, BOOLEAN) { CloseRequest(*static_cast<Exchange*>(context)); }

// One request for `url` through `proxy` (null: directly); the answer's
// status, 0 when none came.
DWORD Send(const HttpUrl& url, const HttpUrl* proxy, ULONGLONG deadline) {
    const ULONGLONG now = GetTickCount64();
    if (now >= deadline) return 0;
    const DWORD left = static_cast<DWORD>(deadline - now);
    const std::wstring proxyName = proxy != nullptr ? Wide(AbsoluteUrl(*proxy).substr(7)) : std::wstring();
    const WinHttpCloser session(WinHttpOpen(L"Quentra",
                                            proxy != nullptr ? WINHTTP_ACCESS_TYPE_NAMED_PROXY
                                                             : WINHTTP_ACCESS_TYPE_NO_PROXY,
                                            proxy != nullptr ? proxyName.c_str() : WINHTTP_NO_PROXY_NAME,
                                            WINHTTP_NO_PROXY_BYPASS, WINHTTP_FLAG_ASYNC));
    if (session.h == nullptr) return 0;
    const int timeout = static_cast<int>(left);
    WinHttpSetTimeouts(session.h, timeout, timeout, timeout, timeout);
    const WinHttpCloser connection(WinHttpConnect(session.h, Wide(url.host).c_str(),
                                                  static_cast<INTERNET_PORT>(url.port), 0));
    if (connection.h == nullptr) return 0;
    Exchange x;
    const KernelCloser done(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    const KernelCloser closed(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    if (done.h == nullptr || closed.h == nullptr) return 0;
    x.done = done.h;
    x.closed = closed.h;
    x.request = WinHttpOpenRequest(connection.h, L"GET", Wide(url.target).c_str(), nullptr, WINHTTP_NO_REFERER,
                                   WINHTTP_DEFAULT_ACCEPT_TYPES, WINHTTP_FLAG_REFRESH);
    if (x.request == nullptr) return 0;
    DWORD redirects = kMaxRedirects;
    WinHttpSetOption(x.request, WINHTTP_OPTION_MAX_HTTP_AUTOMATIC_REDIRECTS, &redirects, sizeof redirects);
    DWORD noCookies = WINHTTP_DISABLE_COOKIES;
    WinHttpSetOption(x.request, WINHTTP_OPTION_DISABLE_FEATURE, &noCookies, sizeof noCookies);
    if (WinHttpSetStatusCallback(x.request, OnStatus, WINHTTP_CALLBACK_FLAG_ALL_NOTIFICATIONS, 0) ==
        WINHTTP_INVALID_STATUS_CALLBACK) {
        CloseRequest(x);
        return 0;
    }
    HANDLE timer = nullptr;
    if (!CreateTimerQueueTimer(&timer, nullptr, OnDeadline, &x, left, 0, WT_EXECUTEONLYONCE)) {
        CloseRequest(x);
        WaitForSingleObject(x.closed, INFINITE);
        return 0;
    }
    if (!WinHttpSendRequest(x.request, L"Cache-Control: no-cache\r\nPragma: no-cache", static_cast<DWORD>(-1L),
                            WINHTTP_NO_REQUEST_DATA, 0, 0, reinterpret_cast<DWORD_PTR>(&x))) {
        SetEvent(x.done);
    }
    WaitForSingleObject(x.done, INFINITE);
    // The timer's callback has run or never will once this returns.
    DeleteTimerQueueTimer(nullptr, timer, INVALID_HANDLE_VALUE);
    CloseRequest(x);
    // No callback of ours may run after this function returns.
    WaitForSingleObject(x.closed, INFINITE);
    return x.status;
}

}  // namespace

void FetchWithWinHttp(const HttpUrl& target, const ProxyRoute& route, ULONGLONG deadline) {
    if (GoesThroughProxy(route, target)) {
        const DWORD status = Send(target, &route.proxy, deadline);
        if (status != 0 && status != 407) return;
    }
    Send(target, nullptr, deadline);
}
