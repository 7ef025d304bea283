#include "support/cycle.h"

#include <wininet.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <utility>
#include <sstream>

#include "support/deployed.h"

namespace qc {

namespace {

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!line.empty()) lines.push_back(line);
    }
    return lines;
}

// "http://HOST:PORT" split; false for anything else.
bool SplitOrigin(std::string* host, int* port) {
    const std::string origin = ReportOrigin();
    const std::string scheme = "http://";
    if (origin.compare(0, scheme.size(), scheme) != 0) return false;
    const std::string rest = origin.substr(scheme.size());
    const std::size_t colon = rest.find(':');
    if (colon == std::string::npos) return false;
    const std::string digits = rest.substr(colon + 1);
    if (digits.empty() || digits.size() > 5 || digits.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    *host = rest.substr(0, colon);
    *port = std::stoi(digits);
    return *port > 0 && *port < 65536;
}

}  // namespace

std::string ReportOrigin() { return QUENTRA_REPORT_ORIGIN; }

bool ReportOriginIsLoopback() {
    std::string host;
    int port = 0;
    return SplitOrigin(&host, &port) && host == "127.0.0.1";
}

int ReportPort() {
    std::string host;
    int port = 0;
    return SplitOrigin(&host, &port) ? port : 0;
}

std::string ExpectedTarget(int t, const std::string& encodedId) {
    return (t == 0 ? deployed::kShownReportTarget : deployed::kInstalledReportTarget) + encodedId;
}

std::string ExpectedReportUrl(int t, const std::string& encodedId) {
    return ReportOrigin() + ExpectedTarget(t, encodedId);
}

Receiver::Receiver(const std::string& name, const char* mode, std::vector<std::string> ownIds,
                   const std::string& where)
    : ownIds_(std::move(ownIds)) {
    if (!ReportOriginIsLoopback()) {
        ADD_FAILURE() << "report origin " << ReportOrigin() << " is not http://127.0.0.1:PORT";
        return;
    }
    const std::string dir = qt::FreshDir("receiver-" + name);
    log = qt::Join(dir, "requests.log");
    const std::string exe = qt::Join(qt::Join(qt::BinDir(), "standins"), "report-receiver.exe");
    // Ends by itself as soon as this process ends, should it die first.
    const std::string address = where.empty() ? "127.0.0.1:" + std::to_string(ReportPort()) : where;
    std::string commandLine = "\"" + exe + "\" " + address + " \"" + log + "\" " + mode + " 120000 " +
                              std::to_string(GetCurrentProcessId());
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info = {};
    if (!CreateProcessA(exe.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, dir.c_str(), &startup,
                        &info)) {
        ADD_FAILURE() << "cannot start " << exe << " (error " << GetLastError() << ")";
        return;
    }
    UniqueKernelHandle thread(info.hThread);
    process_.reset(info.hProcess);
    // It creates its log once it listens; it exits at once if it cannot.
    for (int i = 0; i < 1000; ++i) {
        if (qt::Exists(log)) {
            ok_ = true;
            return;
        }
        if (WaitForSingleObject(process_.get(), 20) == WAIT_OBJECT_0) {
            DWORD code = 0;
            GetExitCodeProcess(process_.get(), &code);
            ADD_FAILURE() << "report receiver ended with " << code << " before listening on " << address
                          << " (3: the port is taken)";
            return;
        }
    }
    ADD_FAILURE() << "report receiver did not listen within 20 s";
}

Receiver::~Receiver() { Stop(); }

int FreePort() {
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0) return 0;
    struct Cleanup {
        ~Cleanup() { WSACleanup(); }
    } cleanup;
    UniqueSocket s(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int size = sizeof address;
    if (!s || bind(s.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        getsockname(s.get(), reinterpret_cast<sockaddr*>(&address), &size) != 0) {
        return 0;
    }
    return ntohs(address.sin_port);
}

void Receiver::Stop() {
    if (!process_) return;
    TerminateProcess(process_.get(), 0);
    WaitForSingleObject(process_.get(), 10000);
    process_.reset();
}

std::vector<std::string> Receiver::Targets() const {
    std::vector<std::string> targets;
    for (const std::string& line : Lines(qt::ReadBytes(log))) {
        // "GET TARGET HTTP/1.1"
        const std::size_t first = line.find(' ');
        const std::size_t last = line.rfind(' ');
        const std::string target =
            first != std::string::npos && last > first ? line.substr(first + 1, last - first - 1) : line;
        const std::string report = "/traycast.html?";
        const std::size_t id = target.find("&m=");
        const bool own = target.compare(0, report.size(), report) != 0 ||
                         (id != std::string::npos &&
                          std::find(ownIds_.begin(), ownIds_.end(), target.substr(id + 3)) != ownIds_.end());
        if (own) targets.push_back(target);
    }
    return targets;
}

bool Receiver::WaitForRequests(std::size_t count, DWORD timeoutMs) const {
    const double end = NowMs() + timeoutMs;
    for (;;) {
        if (Targets().size() >= count) return true;
        if (NowMs() > end) return false;
        Sleep(20);
    }
}

std::string ShowableCampaign(const std::string& extra, const std::string& purpose) {
    return "[Common]\r\nPurpose=" + purpose +
           "\r\nMaxPopupTimes=1000000\r\nPopupFrequency=127\r\n"
           "[NoAntiVirus]\r\n" +
           extra + (extra.empty() || extra.back() == '\n' ? "" : "\r\n") +
           "Message=Found %s on the desktop\r\n"
           "[GameScan]\r\nGame1m=Quillstorm\r\n";
}

qt::Suite PrepareShowable(const std::string& name) {
    qt::Suite suite = qt::InstallSuite(name);
    qt::ClearBookkeeping();
    const std::string desktop = qt::CleanDesktop();
    qt::AddShortcut(desktop, "Quillstorm.lnk");
    return suite;
}

void PutVerifier(const qt::Suite& suite, const std::string& id, bool withExport) {
    const std::string from =
        qt::Join(qt::Join(qt::Join(qt::BinDir(), "standins"), withExport ? "verify" : "verify-noexport"),
                 "Corvelverify.dll");
    ASSERT_TRUE(CopyFileA(from.c_str(), qt::Join(suite.root, "Corvelverify.dll").c_str(), FALSE)) << from;
    qt::WriteBytes(qt::Join(suite.root, "cid.txt"), id);
}

std::vector<std::string> InstallerLog(const qt::Suite& suite) {
    return Lines(qt::ReadBytes(qt::Join(qt::Join(suite.root, "modules"), "Corvelinst.log")));
}

bool WaitForInstallerStarts(const qt::Suite& suite, std::size_t count, DWORD timeoutMs) {
    const double end = NowMs() + timeoutMs;
    for (;;) {
        std::size_t starts = 0, folders = 0;
        for (const std::string& line : InstallerLog(suite)) {
            if (line.compare(0, 4, "cmd=") == 0) ++starts;
            if (line.compare(0, 4, "cwd=") == 0) ++folders;
        }
        if (starts >= count && folders >= count) return true;
        if (NowMs() > end) return false;
        Sleep(20);
    }
}

bool StillMapped(const qt::Plugin& plugin) {
    return GetModuleHandleA(qt::Join(plugin.dir, "Quentra.dll").c_str()) != nullptr;
}

bool UnloadAndWaitForReports(qt::Plugin& plugin, DWORD timeoutMs) {
    plugin.Unload();
    const double end = NowMs() + timeoutMs;
    for (;;) {
        if (!StillMapped(plugin)) return true;
        if (NowMs() > end) return false;
        Sleep(20);
    }
}

bool HasCacheEntry(const std::string& url) {
    DWORD size = 0;
    if (GetUrlCacheEntryInfoA(url.c_str(), nullptr, &size)) return true;
    return GetLastError() == ERROR_INSUFFICIENT_BUFFER;
}

bool SeedCacheEntry(const std::string& url) {
    char file[MAX_PATH] = {};
    if (!CreateUrlCacheEntryA(url.c_str(), 0, "htm", file, 0)) return false;
    qt::WriteBytes(file, "cached answer");
    FILETIME never = {};
    const char headers[] = "HTTP/1.1 200 OK\r\nContent-Length: 13\r\n\r\n";
    return CommitUrlCacheEntryA(url.c_str(), file, never, never, NORMAL_CACHE_ENTRY,
                                reinterpret_cast<BYTE*>(const_cast<char*>(headers)),
                                static_cast<DWORD>(std::strlen(headers)), nullptr, nullptr) != FALSE;
}

std::string ReportTempFile(int kind) {
    char temp[MAX_PATH] = {};
    GetTempPathA(MAX_PATH, temp);
    return std::string(temp) + "\\!~@$^&tempurl" + std::to_string(kind) + ".~tmp";
}

double NowMs() {
    LARGE_INTEGER frequency, counter;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&counter);
    return static_cast<double>(counter.QuadPart) * 1000.0 / static_cast<double>(frequency.QuadPart);
}

}  // namespace qc
