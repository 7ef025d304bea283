#include "actions/autoproxy.h"

#include <winhttp.h>

#include "common/handles.h"

namespace {

// The longest URL Windows' HTTP stacks take, its terminator not counted.
constexpr int kMaxUrlLength = 2084;

// A URL of the ANSI code page in UTF-16; empty when it is empty, or longer
// than any URL Windows takes.
struct WideUrl {
    wchar_t text[kMaxUrlLength + 1] = {};
    explicit WideUrl(const char* url) {
        if (MultiByteToWideChar(CP_ACP, 0, url, -1, text, kMaxUrlLength + 1) == 0) text[0] = L'\0';
    }
    bool empty() const { return text[0] == L'\0'; }
};

// The session is closed by whoever takes it first: the deadline's timer, or
// the caller once the lookup has returned.
HINTERNET Take(HINTERNET* slot) { return static_cast<HINTERNET>(InterlockedExchangePointer(slot, nullptr)); }

void CALLBACK CloseAtDeadline(void* slot, BOOLEAN) {
    const UniqueWinHttpHandle closing(Take(static_cast<HINTERNET*>(slot)));
}

// The turn of one lookup, ended when this goes. Wine's WinHTTP runs a script
// in the one script slot of the process: a second lookup while one runs
// fails. The plug-in's lookups take turns under a mutex named for this
// process, which every copy of the plug-in in it shares.
class ScriptTurn {
public:
    explicit ScriptTurn(ULONGLONG deadline) {
        char name[48];
        if (FormatBounded(name, sizeof name, "Local\\QuentraProxyScript-%lu", GetCurrentProcessId()) < 0) return;
        mutex_.reset(CreateMutexA(nullptr, FALSE, name));
        const ULONGLONG now = GetTickCount64();
        if (!mutex_ || now >= deadline) return;
        const DWORD waited = WaitForSingleObject(mutex_.get(), static_cast<DWORD>(deadline - now));
        held_ = waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED;
    }
    ~ScriptTurn() {
        if (held_) ReleaseMutex(mutex_.get());
    }
    ScriptTurn(const ScriptTurn&) = delete;
    ScriptTurn& operator=(const ScriptTurn&) = delete;
    bool held() const { return held_; }

private:
    UniqueKernelHandle mutex_;
    bool held_ = false;
};

}  // namespace

bool ScriptedProxy(const char* url, const TextString& scriptUrl, bool autoDetect, ULONGLONG deadline,
                   TextString& list) {
    list.clear();
    const WideUrl wideUrl(url), wideScript(scriptUrl.c_str());
    if (wideUrl.empty() || (wideScript.empty() && !autoDetect)) return false;
    const ScriptTurn turn(deadline);
    const ULONGLONG now = GetTickCount64();
    if (!turn.held() || now >= deadline) return false;
    HINTERNET slot = WinHttpOpen(L"Quentra", WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME,
                                 WINHTTP_NO_PROXY_BYPASS, 0);
    const HINTERNET session = slot;
    WINHTTP_PROXY_INFO info = {};
    bool found = false;
    {
        // Deleted before the session is taken below: waits for a callback
        // that runs; one that has not run by then never will.
        UniqueTimer timer;
        if (session != nullptr && CreateTimerQueueTimer(timer.receive(), nullptr, CloseAtDeadline, &slot,
                                                        static_cast<DWORD>(deadline - now), 0, WT_EXECUTEONLYONCE)) {
            WINHTTP_AUTOPROXY_OPTIONS options = {};
            options.dwFlags = (autoDetect ? WINHTTP_AUTOPROXY_AUTO_DETECT : 0) |
                              (wideScript.empty() ? 0 : WINHTTP_AUTOPROXY_CONFIG_URL);
            options.dwAutoDetectFlags = autoDetect ? WINHTTP_AUTO_DETECT_TYPE_DHCP | WINHTTP_AUTO_DETECT_TYPE_DNS_A : 0;
            options.lpszAutoConfigUrl = wideScript.empty() ? nullptr : wideScript.text;
            found = WinHttpGetProxyForUrl(session, wideUrl.text, &options, &info) != FALSE;
        }
    }
    const UniqueWinHttpHandle rest(Take(&slot));
    const UniqueGlobalMemory proxy(info.lpszProxy), bypass(info.lpszProxyBypass);
    if (!found) return false;
    if (info.dwAccessType != WINHTTP_ACCESS_TYPE_NAMED_PROXY || info.lpszProxy == nullptr) return true;  // directly
    for (const wchar_t* p = info.lpszProxy; *p != L'\0'; ++p) {
        if (*p < 0x20 || *p > 0x7E) {  // a proxy's host is plain ASCII
            list.clear();
            return false;
        }
        list.push_back(static_cast<char>(*p));
    }
    return true;
}
