#include "support/decision.h"

#include <shlwapi.h>

#include <cstdio>
#include <cstring>
#include <sstream>
#include <stdexcept>

#include "common/handles.h"
#include "environment/bookkeeping.h"
#include "environment/probes.h"
#include "files.h"
#include "support/deployed.h"

namespace qt {

std::string CampaignIni(const CampaignFields& fields) {
    std::ostringstream ini;
    ini << "[Common]\r\n"
        << "Purpose=" << fields.purpose << "\r\n"
        << "MaxPopupTimes=" << fields.maxPopupTimes << "\r\n"
        << "PopupFrequency=" << fields.popupFrequency << "\r\n"
        << "[NoAntiVirus]\r\n"
        << "ID=" << fields.id << "\r\n"
        << "Message=" << fields.message << "\r\n"
        << deployed::kX64Key << "=" << fields.suportX64 << "\r\n"
        << "DownloadURL=" << fields.downloadUrl << "\r\n"
        << "[GameScan]\r\n";
    for (const auto& entry : fields.gameScan) ini << entry.first << "=" << entry.second << "\r\n";
    return ini.str();
}

std::vector<std::pair<std::string, std::string>> WorkedGameScan() {
    return {{"g1m", "Quillstorm"}, {"g2m", "Tidewarden"}, {"g3o", "Copperwing"}, {"g4m", "Emberlane"},
            {"g5m", "Brambleport"}};
}

DecisionMachine::DecisionMachine(const std::string& name) {
    suite = InstallSuite("suite-" + name);
    DeleteKey(deployed::kVaultAppPathKey);
    ClearBookkeeping();
    RemoveHostConfig();
    desktop = CleanDesktop();
    // A test that left the mutex behind would end every later check at gate 4.
    UniqueKernelHandle mutex(OpenMutexA(READ_CONTROL, FALSE, deployed::kInstallMutexName));
    if (mutex) throw std::runtime_error("CorvelInstallMutex exists before the test");
}

DecisionMachine::~DecisionMachine() {
    CleanDesktop();
    RemoveHostConfig();
    ClearBookkeeping();
    RemoveSuiteRegistration();
    RemoveTree(suite.root);
}

std::string DecisionMachine::HostConfigPath() const { return Join(BinDir(), deployed::kHostConfigName); }

void DecisionMachine::HostConfig(const std::string& text) const {
    RemoveHostConfig();
    WriteBytes(HostConfigPath(), text);
}

void DecisionMachine::RemoveHostConfig() const {
    const std::string path = HostConfigPath();
    DeleteFileA(path.c_str());
    // The profile functions may cache a file; flush so the next read sees
    // the file as it is now.
    WritePrivateProfileStringA(nullptr, nullptr, nullptr, path.c_str());
}

static void ReadOne(HKEY key, const char* name, bool& present, DWORD& type, std::string& bytes) {
    present = ReadRegistryValue(key, name, type, bytes) == ERROR_SUCCESS;
}

StoredBookkeeping ReadBookkeeping() {
    StoredBookkeeping b;
    UniqueRegKey key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, deployed::kBookkeepingKey, 0, KEY_QUERY_VALUE, key.receive()) != ERROR_SUCCESS) {
        return b;
    }
    b.keyPresent = true;
    ReadOne(key.get(), deployed::kPopupCountValue, b.countPresent, b.countType, b.count);
    ReadOne(key.get(), deployed::kPurposeValue, b.purposePresent, b.purposeType, b.purpose);
    ReadOne(key.get(), deployed::kLastPopupValue, b.stampPresent, b.stampType, b.stamp);
    return b;
}

bool StoredBookkeeping::operator==(const StoredBookkeeping& o) const {
    return keyPresent == o.keyPresent && countPresent == o.countPresent && purposePresent == o.purposePresent &&
           stampPresent == o.stampPresent && countType == o.countType && purposeType == o.purposeType &&
           stampType == o.stampType && count == o.count && purpose == o.purpose && stamp == o.stamp;
}

std::string StoredBookkeeping::Describe() const {
    if (!keyPresent) return "{no key}";
    std::ostringstream s;
    s << "{count ";
    if (countPresent && count.size() == 4) {
        int n = 0;
        std::memcpy(&n, count.data(), 4);
        s << n;
    } else {
        s << (countPresent ? "(odd)" : "(none)");
    }
    s << ", purpose " << (purposePresent ? "\"" + purpose + "\"" : "(none)");
    s << ", stamp " << (stampPresent ? "\"" + stamp + "\"" : "(none)") << "}";
    return s.str();
}

void StorePurpose(const std::string& purpose) {
    SetRaw(deployed::kBookkeepingKey, deployed::kPurposeValue, REG_SZ, purpose);
}

void StoreCount(int count) { SetDword(deployed::kBookkeepingKey, deployed::kPopupCountValue, static_cast<DWORD>(count)); }

void StoreStamp(const std::string& text) { SetRaw(deployed::kBookkeepingKey, deployed::kLastPopupValue, REG_SZ, text); }

SYSTEMTIME LocalNow() {
    SYSTEMTIME t;
    GetLocalTime(&t);
    return t;
}

SYSTEMTIME LocalDaysFrom(int days) {
    // Through FILETIME, so that month and year ends come out right.
    const SYSTEMTIME now = LocalNow();
    FILETIME ft;
    SystemTimeToFileTime(&now, &ft);
    ULARGE_INTEGER u;
    u.LowPart = ft.dwLowDateTime;
    u.HighPart = ft.dwHighDateTime;
    u.QuadPart += static_cast<ULONGLONG>(static_cast<LONGLONG>(days) * 24LL * 3600LL * 10000000LL);
    ft.dwLowDateTime = u.LowPart;
    ft.dwHighDateTime = u.HighPart;
    SYSTEMTIME t;
    FileTimeToSystemTime(&ft, &t);
    return t;
}

std::string StampOf(const SYSTEMTIME& t) {
    char text[64];
    std::snprintf(text, sizeof text, "%d-%d-%d %02d:%02d:%02d", t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute,
                  t.wSecond);
    return text;
}

int TodayBit() { return 1 << LocalNow().wDayOfWeek; }

int RunProgram(const std::string& commandLine, std::string* output, DWORD timeoutMs) {
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    UniqueKernelHandle readEnd, writeEnd;
    if (!CreatePipe(readEnd.receive(), writeEnd.receive(), &inherit, 0)) return -1;
    SetHandleInformation(readEnd.get(), HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    si.hStdOutput = writeEnd.get();
    si.hStdError = writeEnd.get();
    PROCESS_INFORMATION pi = {};
    std::string line = commandLine;
    if (!CreateProcessA(nullptr, &line[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi)) return -1;
    UniqueKernelHandle process(pi.hProcess), thread(pi.hThread);
    writeEnd.reset();
    // Read until the child has ended and the pipe is drained. End of file
    // cannot be awaited: a process the child starts (the shell may start
    // the desktop process) can inherit the write end and outlive it.
    std::string out;
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    bool ended = false;
    for (;;) {
        DWORD available = 0;
        if (!PeekNamedPipe(readEnd.get(), nullptr, 0, nullptr, &available, nullptr)) break;
        if (available > 0) {
            char buffer[4096];
            DWORD got = 0;
            if (!ReadFile(readEnd.get(), buffer, available < sizeof buffer ? available : sizeof buffer, &got, nullptr)) {
                break;
            }
            for (DWORD i = 0; i < got; ++i) {
                if (buffer[i] != '\r') out.push_back(buffer[i]);
            }
            continue;
        }
        if (ended) break;  // ended, and nothing more to read
        ended = WaitForSingleObject(process.get(), 20) == WAIT_OBJECT_0;
        if (!ended && GetTickCount64() > deadline) break;
    }
    if (output != nullptr) *output = out;
    if (WaitForSingleObject(process.get(), 0) != WAIT_OBJECT_0) {
        TerminateProcess(process.get(), 1);  // our own child, stuck past the bound
        return -1;
    }
    DWORD code = 0;
    GetExitCodeProcess(process.get(), &code);
    return static_cast<int>(code);
}

}  // namespace qt
