// quentra-bounded campaign BYTES | report MODE
//
// What hostile input costs the host, for scripts/bench-hostile.sh; not a test.
//
//   campaign BYTES  one TCCheck on a campaign file of BYTES bytes beside the
//                   DLL: its time, the process's peak working set, and whether
//                   a decoded copy appeared in %TEMP% while it ran.
//   report MODE     a showing reported to the loopback stand-in server in MODE
//                   (blackhole, drip, dripbody, flood, loop); after TCDestory and FreeLibrary,
//                   how long until the DLL is unmapped, and the largest file
//                   the run left in %TEMP%.
//
// Each prints one line "bounded: ..." and is meant to run in a fresh process,
// so that the peak working set is its own.
#include <windows.h>
#include <psapi.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "common/handles.h"
#include "support/sandbox.h"

namespace {

double NowMs() {
    LARGE_INTEGER f, c;
    QueryPerformanceFrequency(&f);
    QueryPerformanceCounter(&c);
    return 1000.0 * static_cast<double>(c.QuadPart) / static_cast<double>(f.QuadPart);
}

std::string TempDir() {
    char temp[MAX_PATH] = {};
    GetTempPathA(MAX_PATH, temp);
    return temp;
}

const char kCampaign[] =
    "[Common]\r\nPurpose=bounded\r\nMaxPopupTimes=1000000\r\nPopupFrequency=127\r\n"
    "[NoAntiVirus]\r\nTitle=bounded\r\nMessage=%s\r\nID=bounded\r\n[GameScan]\r\ng1o=Quillstorm\r\n";

void PrepareShowable(const char* name) {
    qt::InstallSuite(name);
    qt::ClearBookkeeping();
    qt::AddShortcut(qt::CleanDesktop(), "Quillstorm.lnk");
}

int Campaign(std::size_t bytes) {
    PrepareShowable("bounded-campaign");
    qt::Plugin plugin;
    qt::LoadPlugin(plugin, "bounded-campaign", kCampaign);
    QUENTRA_INSTANCE instance = plugin.create();
    // A first check pays for the process's first use of COM and the shell.
    plugin.check(instance);
    qt::ClearBookkeeping();
    // The file is written a MiB at a time, so that this process's own peak
    // stays small and the peak below is the check's. The mask works word by
    // word, so whole-word pieces encode independently.
    {
        const std::string path = qt::Join(plugin.dir, "quentracfg.dat");
        UniqueFile out(std::fopen(path.c_str(), "wb"));
        std::string head = std::string(kCampaign) + "[Padding]\r\n";
        head += std::string((4 - head.size() % 4) % 4, ';');
        std::fwrite(qt::Encode(head).data(), 1, head.size(), out.get());
        const std::string piece = qt::Encode(std::string(1 << 20, ';'));
        for (std::size_t left = bytes > head.size() ? bytes - head.size() : 0; left > 0;) {
            const std::size_t n = left < piece.size() ? left : piece.size();
            std::fwrite(piece.data(), 1, n, out.get());
            left -= n;
        }
    }
    PROCESS_MEMORY_COUNTERS memory = {};
    GetProcessMemoryInfo(GetCurrentProcess(), &memory, sizeof memory);
    const double baseline = static_cast<double>(memory.PeakWorkingSetSize) / 1048576.0;
    std::atomic<bool> stop{false};
    std::atomic<int> seen{0};
    const std::string temp = TempDir();
    std::thread watcher([&] {
        while (!stop) {
            if (!qt::List(temp, "~tc*.tmp").empty()) ++seen;
        }
    });
    const double start = NowMs();
    const int answer = plugin.check(instance);
    const double ms = NowMs() - start;
    stop = true;
    watcher.join();
    plugin.destroy(instance);
    GetProcessMemoryInfo(GetCurrentProcess(), &memory, sizeof memory);
    std::printf("bounded: campaign %zu bytes: TCCheck %d in %.1f ms, peak working set %.1f MiB (%.1f MiB before), "
                "decoded copy %s\n",
                bytes, answer, ms, static_cast<double>(memory.PeakWorkingSetSize) / 1048576.0, baseline,
                seen > 0 ? "written" : "not written");
    return 0;
}

int Report(const char* mode) {
    PrepareShowable("bounded-report");
    const std::string dir = qt::FreshDir("bounded-receiver");
    const std::string log = qt::Join(dir, "requests.log");
    const std::string exe = qt::Join(qt::Join(qt::BinDir(), "standins"), "report-receiver.exe");
    std::string origin = QUENTRA_REPORT_ORIGIN;
    const std::string port = origin.substr(origin.rfind(':') + 1);
    std::string command = "\"" + exe + "\" " + port + " \"" + log + "\" " + mode + " 120000";
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info = {};
    if (!CreateProcessA(exe.c_str(), &command[0], nullptr, nullptr, FALSE, 0, nullptr, dir.c_str(), &startup, &info)) {
        std::fprintf(stderr, "quentra-bounded: cannot start %s\n", exe.c_str());
        return 1;
    }
    const UniqueKernelHandle thread(info.hThread), receiver(info.hProcess);
    for (int i = 0; i < 500 && !qt::Exists(log); ++i) Sleep(20);
    const std::string temp = TempDir();
    const std::vector<std::string> before = qt::List(temp, "*");

    qt::Plugin plugin;
    qt::LoadPlugin(plugin, "bounded-report", kCampaign);
    const std::string dll = qt::Join(plugin.dir, "Quentra.dll");
    QUENTRA_INSTANCE instance = plugin.create();
    const int answer = plugin.check(instance);
    plugin.destroy(instance);
    plugin.Unload();
    const double unloaded = NowMs();
    while (GetModuleHandleA(dll.c_str()) != nullptr && NowMs() - unloaded < 120000) Sleep(20);
    const double seconds = (NowMs() - unloaded) / 1000.0;
    std::size_t largest = 0;
    for (const std::string& name : qt::List(temp, "*")) {
        bool old = false;
        for (const std::string& b : before) old = old || b == name;
        if (!old) largest = std::max(largest, qt::ReadBytes(qt::Join(temp, name)).size());
    }
    TerminateProcess(receiver.get(), 0);
    std::printf("bounded: report to a %s server: TCCheck %d, DLL unmapped %.1f s after FreeLibrary, "
                "largest new file in %%TEMP%% %zu bytes\n",
                mode, answer, seconds, largest);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "campaign") == 0) return Campaign(std::strtoull(argv[2], nullptr, 10));
    if (argc == 3 && std::strcmp(argv[1], "report") == 0) return Report(argv[2]);
    std::fprintf(stderr, "usage: quentra-bounded campaign BYTES | report blackhole|drip|dripbody|flood|loop\n");
    return 2;
}
