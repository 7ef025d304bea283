#include "actions/report.h"

#include <winsock2.h>
#include <windows.h>
#include <wininet.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "actions/fetch_winhttp.h"
#include "actions/url.h"
#include "common/handles.h"
#include "environment/probes.h"

namespace {

constexpr DWORD kReportDelayMs = 1000;
constexpr int kMachineIdSize = 260;
// A report is a few hundred bytes each way. Past these bounds the server is
// broken or hostile, and the thread, which keeps the library mapped, stops.
constexpr ULONGLONG kRequestTimeoutMs = 30000;
constexpr DWORD kMaxProxyInfoBytes = 64 * 1024;

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

// The report's request, on the machine's route, with its redirects, all
// within one deadline.
void Fetch(const char* url) {
    HttpUrl target;
    if (!SplitHttpUrl(url, target)) return;
    const ProxySettings settings = ReadProxySettings();
    ProxyRoute route;
    route.enabled = settings.enabled;
    route.proxy = settings.proxy;
    route.bypass = settings.bypass;
    FetchWithWinHttp(target, route, GetTickCount64() + kRequestTimeoutMs);
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
