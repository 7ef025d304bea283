// quentra-bench: the plug-in's speed under Wine, against a floor of the same
// Win32 calls in the same order on the same inputs with none of our logic.
// Prints a markdown table and writes the figures to the file named by its
// first argument (for the plot). Not a test: it asserts nothing.
#include <winsock2.h>
#include <windows.h>
#include <objbase.h>
#include <shlobj.h>
#include <shlwapi.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "common/handles.h"
#include "campaign/rules.h"
#include "environment/bookkeeping.h"
#include "environment/probes.h"
#include "support/deployed.h"
#include "support/sandbox.h"

namespace {

using Clock = std::chrono::steady_clock;

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

struct Stats {
    double median = 0, p95 = 0;
};

Stats Summarise(std::vector<double> samples) {
    std::sort(samples.begin(), samples.end());
    Stats s;
    s.median = samples[samples.size() / 2];
    s.p95 = samples[std::min(samples.size() - 1, samples.size() * 95 / 100)];
    return s;
}

std::string Campaign(int patterns) {
    std::string ini =
        "[Common]\r\nPurpose=bench\r\nMaxPopupTimes=1000000\r\nPopupFrequency=127\r\n"
        "[NoAntiVirus]\r\nTitle=Bench\r\nMessage=Try %s today\r\nID=bench-1\r\n"
        "DownloadURL=http://download.corvelsafe.com/vault/setup.exe\r\n[GameScan]\r\n";
    for (int i = 0; i < patterns; ++i) {
        char line[64];
        std::snprintf(line, sizeof line, "g%03d%c=Game Title %03d\r\n", i, i % 3 == 0 ? 'm' : 'o', i);
        ini += line;
    }
    return ini;
}

void FillDesktop(const std::string& desktop, int count) {
    qt::CleanDesktop();
    for (int i = 0; i < count; ++i) {
        char name[64];
        std::snprintf(name, sizeof name, "Shortcut %05d.lnk", i);
        qt::AddShortcut(desktop, name);
    }
}

// The floor: the Win32 calls of one check that ends at the scan, in their
// order, on the same files and keys, without decoding, parsing or matching.
void FloorCheck(const std::string& dllDir, const std::vector<char>& plain, const std::string& hostConfig,
                int gameScanKeys) {
    char buffer[MAX_PATH];
    DWORD size = sizeof buffer;
    SHGetValueA(HKEY_LOCAL_MACHINE, deployed::kVaultAppPathKey, nullptr, nullptr, buffer, &size);
    char suite[MAX_PATH] = {};
    size = sizeof suite - 1;
    SHGetValueA(HKEY_LOCAL_MACHINE, deployed::kSuiteAppPathKey, nullptr, nullptr, suite, &size);
    PathFileExistsA(suite);
    PathRemoveFileSpecA(suite);
    char installer[MAX_PATH];
    PathCombineA(installer, suite, deployed::kInstallerRelativePath);
    PathFileExistsA(installer);
    const UniqueKernelHandle mutex(OpenMutexA(READ_CONTROL, FALSE, deployed::kInstallMutexName));

    char campaign[MAX_PATH];
    GetModuleFileNameA(nullptr, campaign, MAX_PATH);
    std::snprintf(campaign, sizeof campaign, "%s\\quentracfg.dat", dllDir.c_str());
    char tempDir[MAX_PATH], temp[MAX_PATH];
    GetTempPathA(MAX_PATH, tempDir);
    GetTempFileNameA(tempDir, "~tc", 0, temp);
    UniqueFile in(std::fopen(campaign, "rb"));
    std::fseek(in.get(), 0, SEEK_END);
    const long length = std::ftell(in.get());
    std::fseek(in.get(), 0, SEEK_SET);
    std::vector<char> raw(static_cast<std::size_t>(length));
    std::fread(raw.data(), 1, raw.size(), in.get());
    in.reset();
    UniqueFile out(std::fopen(temp, "wb"));
    std::fwrite(plain.data(), 1, plain.size(), out.get());
    out.reset();

    std::vector<char> value(4096);
    GetPrivateProfileStringA("Common", "Purpose", "", value.data(), 4096, temp);
    DWORD type = 0;
    size = 0;
    SHGetValueA(HKEY_LOCAL_MACHINE, deployed::kBookkeepingKey, deployed::kPurposeValue, &type, nullptr, &size);
    size = 4096;
    SHGetValueA(HKEY_LOCAL_MACHINE, deployed::kBookkeepingKey, deployed::kPurposeValue, &type, value.data(), &size);
    for (const char* key : {"DelayMinute", "MaxPopupTimes", "PopupFrequency", "DisableAvExamine"}) {
        GetPrivateProfileIntA("Common", key, 0, temp);
    }
    GetPrivateProfileStringA("Common", "AntiVirus1", "", value.data(), 4096, temp);
    for (int notice = 0; notice < 2; ++notice) {
        for (const char* key : {"Title", "Message", "CommandText", "DownloadURL", "Detail"}) {
            GetPrivateProfileStringA("NoAntiVirus", key, "", value.data(), 4096, temp);
        }
        GetPrivateProfileIntA("NoAntiVirus", "Level", 3, temp);
        GetPrivateProfileIntA("NoAntiVirus", "CommandAction", 2, temp);
        GetPrivateProfileStringA("NoAntiVirus", "ID", "", value.data(), 4096, temp);
        GetPrivateProfileIntA("NoAntiVirus", "ShowCheckBox", 1, temp);
        GetPrivateProfileIntA("NoAntiVirus", "SuportX64", 1, temp);
    }
    std::vector<char> names(1024);
    GetPrivateProfileStringA("GameScan", nullptr, "", names.data(), 1024, temp);
    const char* name = names.data();
    for (int i = 0; i < gameScanKeys && *name != '\0'; ++i) {
        GetPrivateProfileStringA("GameScan", name, "", value.data(), 1024, temp);
        name += std::strlen(name) + 1;
    }
    DeleteFileA(temp);

    GetPrivateProfileIntA("NoNotify", "bench-1", 0, hostConfig.c_str());
    DWORD count = 0;
    size = sizeof count;
    SHGetValueA(HKEY_LOCAL_MACHINE, deployed::kBookkeepingKey, deployed::kPopupCountValue, &type, &count, &size);
    SYSTEMTIME now;
    GetLocalTime(&now);
    size = sizeof buffer - 1;
    SHGetValueA(HKEY_LOCAL_MACHINE, deployed::kBookkeepingKey, deployed::kLastPopupValue, &type, buffer, &size);

    CoInitialize(nullptr);
    char desktop[MAX_PATH] = {};
    SHGetSpecialFolderPathA(nullptr, desktop, CSIDL_DESKTOP, FALSE);
    PathFileExistsA(desktop);
    char pattern[MAX_PATH];
    PathCombineA(pattern, desktop, "*.lnk");
    WIN32_FIND_DATAA entry;
    const UniqueFindHandle find(FindFirstFileA(pattern, &entry));
    if (find) {
        do {
            PathRemoveExtensionA(entry.cFileName);
        } while (FindNextFileA(find.get(), &entry));
    }
}

template <typename F>
Stats Time(int iterations, F&& f) {
    for (int i = 0; i < 2; ++i) f();
    std::vector<double> samples;
    for (int i = 0; i < iterations; ++i) {
        const auto t0 = Clock::now();
        f();
        samples.push_back(Ms(Clock::now() - t0));
    }
    return Summarise(samples);
}

// A report server that accepts connections and never answers.
UniqueSocket Blackhole(unsigned short port) {
    WSADATA wsa;
    WSAStartup(MAKEWORD(2, 2), &wsa);
    UniqueSocket s(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    sockaddr_in at = {};
    at.sin_family = AF_INET;
    at.sin_port = htons(port);
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (!s || bind(s.get(), reinterpret_cast<sockaddr*>(&at), sizeof at) != 0 || listen(s.get(), 64) != 0) {
        return UniqueSocket();
    }
    return s;
}

unsigned short ReportPort() {
    const char* origin = QUENTRA_REPORT_ORIGIN;
    const char* colon = std::strrchr(origin, ':');
    return static_cast<unsigned short>(colon != nullptr && colon[1] != '/' ? std::atoi(colon + 1) : 80);
}

}  // namespace

int main(int argc, char** argv) {
    UniqueFile data(argc > 1 ? std::fopen(argv[1], "w") : nullptr);
    qt::InstallSuite("bench-suite");
    qt::ClearBookkeeping();
    const std::string desktop = qt::CleanDesktop();
    const std::string hostConfig = qt::Join(qt::BinDir(), "config.ini");

    std::printf("| patterns | shortcuts | TCCheck median ms | p95 ms | floor median ms | p95 ms | ratio |\n");
    std::printf("|---:|---:|---:|---:|---:|---:|---:|\n");
    if (data) std::fprintf(data.get(), "# patterns shortcuts check_median check_p95 floor_median floor_p95\n");
    for (int patterns : {10, 200}) {
        const std::string ini = Campaign(patterns);
        qt::Plugin plugin;
        qt::LoadPlugin(plugin, "bench-" + std::to_string(patterns), ini);
        const std::vector<char> plain(ini.begin(), ini.end());
        std::vector<char> padded = plain;
        padded.resize((plain.size() + 3) / 4 * 4, ' ');
        QUENTRA_INSTANCE instance = plugin.create();
        for (int shortcuts : {0, 100, 1000, 10000}) {
            FillDesktop(desktop, shortcuts);
            const int iterations = shortcuts >= 10000 ? 20 : (shortcuts >= 1000 ? 60 : 200);
            // Alternate the two so that neither profits from a warmer cache.
            std::vector<double> ours, floor;
            for (int round = 0; round < 2; ++round) {
                const Stats a = Time(iterations / 2, [&] { plugin.check(instance); });
                const Stats b = Time(iterations / 2, [&] { FloorCheck(plugin.dir, padded, hostConfig, patterns); });
                ours.push_back(a.median);
                ours.push_back(a.p95);
                floor.push_back(b.median);
                floor.push_back(b.p95);
            }
            const Stats check{(ours[0] + ours[2]) / 2, std::max(ours[1], ours[3])};
            const Stats base{(floor[0] + floor[2]) / 2, std::max(floor[1], floor[3])};
            std::printf("| %d | %d | %.3f | %.3f | %.3f | %.3f | %.2f |\n", patterns, shortcuts, check.median, check.p95,
                        base.median, base.p95, check.median / base.median);
            std::fflush(stdout);
            if (data) {
                std::fprintf(data.get(), "%d %d %.4f %.4f %.4f %.4f\n", patterns, shortcuts, check.median, check.p95,
                             base.median, base.p95);
            }
        }
        plugin.destroy(instance);
    }

    // TCEnum per call.
    {
        qt::Plugin plugin;
        qt::LoadPlugin(plugin, "bench-enum", Campaign(10));
        QUENTRA_INSTANCE instance = plugin.create();
        char title[256], message[1024], command[256], id[256];
        int level = 0, flag = 0;
        const int calls = 200000;
        const auto t0 = Clock::now();
        for (int i = 0; i < calls; ++i) {
            plugin.enumerate(instance, 0, title, 256, message, 1024, &level, command, 256, &flag, id, 256);
        }
        std::printf("\nTCEnum: %.1f ns per call (%d calls)\n", Ms(Clock::now() - t0) * 1e6 / calls, calls);
        plugin.destroy(instance);
    }

    // A yes and an install with the report server blackholed: the host's
    // thread must not wait for it.
    {
        const UniqueSocket hole = Blackhole(ReportPort());
        qt::Plugin plugin;
        qt::LoadPlugin(plugin, "bench-blackhole", Campaign(10));
        QUENTRA_INSTANCE instance = plugin.create();
        FillDesktop(desktop, 0);
        qt::AddShortcut(desktop, "Game Title 000.lnk");
        std::vector<double> checks, commands;
        int yes = 0, started = 0;
        for (int i = 0; i < 10; ++i) {
            qt::ClearBookkeeping();
            auto t0 = Clock::now();
            yes += plugin.check(instance);
            checks.push_back(Ms(Clock::now() - t0));
            t0 = Clock::now();
            started += plugin.doCommand(instance, 0);
            commands.push_back(Ms(Clock::now() - t0));
        }
        const Stats c = Summarise(checks), d = Summarise(commands);
        std::printf("Blackholed report server (%s, %s): TCCheck answering 1 returns in %.2f ms median, %.2f ms max; "
                    "TCDoCommand in %.2f ms median, %.2f ms max (%d yes, %d installs of 10)\n",
                    QUENTRA_REPORT_ORIGIN, !hole ? "port busy, not blackholed" : "blackholed",
                    c.median, *std::max_element(checks.begin(), checks.end()), d.median,
                    *std::max_element(commands.begin(), commands.end()), yes, started);
        plugin.destroy(instance);
        // The blackhole closes here: the report threads that hang on it see a
        // reset, or end with the process.
    }
    qt::CleanDesktop();
    qt::RemoveSuiteRegistration();
    qt::ClearBookkeeping();
    data.reset();
    std::fflush(stdout);
    ExitProcess(0);
}
