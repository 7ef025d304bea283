#include "actions/report.h"

#include <windows.h>
#include <objbase.h>
#include <urlmon.h>
#include <wininet.h>

#include <cstdint>

#include "actions/url.h"
#include "common/handles.h"
#include "environment/probes.h"

namespace {

constexpr DWORD kReportDelayMs = 1000;
constexpr int kMachineIdSize = 260;

void Download(ReportKind kind) {
    // One byte more than GetCIDA is told, always zero: an identifier that
    // fills all 260 bytes without a terminator still ends inside the buffer.
    char machineId[kMachineIdSize + 1] = {};
    GetMachineId(machineId, kMachineIdSize);
    const TextString url = ReportUrl(kind, machineId);

    char tempDir[MAX_PATH] = {};
    const DWORD n = GetTempPathA(MAX_PATH, tempDir);
    if (n == 0 || n >= MAX_PATH) return;
    char file[MAX_PATH + 64];
    if (FormatBounded(file, sizeof file, "%s\\!~@$^&tempurl%d.~tmp", tempDir, static_cast<int>(kind)) < 0) return;

    Sleep(kReportDelayMs);

    // Every report of a kind from a machine has the same URL; a cached answer
    // would keep it from reaching the server, and the cache would keep the
    // machine identifier. So no entry is left for it, before or after.
    DeleteUrlCacheEntryA(url.c_str());
    const HRESULT com = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    const HRESULT hr = URLDownloadToFileA(nullptr, url.c_str(), file, 0, nullptr);
    if (SUCCEEDED(com)) CoUninitialize();
    DeleteUrlCacheEntryA(url.c_str());
    if (hr == S_OK) DeleteFileA(file);
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
        Download(kind);
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
