// quentra-soak [CHECK_CYCLES] [CREATE_CYCLES] [LOAD_CYCLES]
// Runs the plug-in the way a tray that stays up for weeks does, and shows that
// its handle count, thread count, private bytes and the TLS indexes it leaves
// free stay flat:
//  1. CHECK_CYCLES TCCheck/TCEnum cycles on one instance (default 100000), the
//     check running every gate down to the desktop scan; every 1000th check
//     answers yes and starts a report thread. 0 skips them, for a machine
//     that is too slow for them but must see the load cycles.
//  2. CREATE_CYCLES create/check/destroy cycles on the loaded DLL (default 1000).
//  3. LOAD_CYCLES LoadLibrary/create/check/destroy/FreeLibrary cycles (default
//     CREATE_CYCLES). A process has about 1,088 TLS indexes: more load cycles
//     than that show that a load keeps none.
// Exits 1 when a figure grew beyond its bound.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "common/handles.h"
#include "counters.h"
#include "support/sandbox.h"

namespace {

const char kCampaign[] =
    "[Common]\r\nPurpose=soak\r\nMaxPopupTimes=1000000\r\nPopupFrequency=127\r\n"
    "[NoAntiVirus]\r\nTitle=Soak\r\nMessage=Try %s today\r\nID=soak-1\r\n"
    "[GameScan]\r\ng1m=Quillstorm\r\ng2m=Tidewarden\r\ng3o=Copperwing\r\ng4m=Emberlane\r\ng5m=Brambleport\r\n";

void Print(const char* phase, const char* when, const ProcessFigures& f) {
    std::printf("%-34s %-6s handles %5ld  threads %3ld  private %8.2f MiB  working set %8.2f MiB  TLS indexes free %4ld\n",
                phase, when, f.handles, f.threads, static_cast<double>(f.privateBytes) / 1048576.0,
                static_cast<double>(f.workingSet) / 1048576.0, f.tlsFree);
    std::fflush(stdout);
}

// Waits until report threads have ended (a report sleeps a second, then fails
// fast against the closed port), so their count does not blur the figures:
// the thread count must hold for a second, or ten seconds pass.
ProcessFigures Settled() {
    ProcessFigures f = ReadProcessFigures();
    int steady = 0;
    for (int i = 0; i < 100 && steady < 10; ++i) {
        Sleep(100);
        const ProcessFigures g = ReadProcessFigures();
        steady = (g.threads == f.threads) ? steady + 1 : 0;
        f = g;
    }
    return f;
}

bool Flat(const char* phase, const ProcessFigures& before, const ProcessFigures& after) {
    const long handleGrowth = after.handles - before.handles;
    const long threadGrowth = after.threads - before.threads;
    const double privateGrowth =
        (static_cast<double>(after.privateBytes) - static_cast<double>(before.privateBytes)) / 1048576.0;
    const long tlsGrowth = before.tlsFree - after.tlsFree;  // indexes taken and kept
    const bool ok = handleGrowth <= 8 && threadGrowth <= 0 && privateGrowth <= 2.0 && tlsGrowth <= 0 &&
                    after.tlsFree > 0;
    std::printf("%-34s growth: handles %+ld, threads %+ld, private %+.2f MiB, TLS indexes %+ld: %s\n", phase,
                handleGrowth, threadGrowth, privateGrowth, tlsGrowth, ok ? "flat" : "GREW");
    for (const auto& kind : after.handleKinds) {
        const auto was = before.handleKinds.find(kind.first);
        const long grew = kind.second - (was == before.handleKinds.end() ? 0 : was->second);
        if (grew > 0) std::printf("%-34s   %+ld %s handles\n", "", grew, kind.first.c_str());
    }
    return ok;
}

// One instance's whole life through the exports `x`.
void CreateCheckDestroy(const PluginExports& x) {
    QUENTRA_INSTANCE in = x.create();
    x.check(in);
    x.destroy(in);
}

// The check/enum cycles on one instance; true when they stayed flat.
bool CheckCycles(qt::Plugin& plugin, const std::string& match, long checkCycles) {
    QUENTRA_INSTANCE instance = plugin.create();
    long yes = 0;
    ProcessFigures before;
    const long warmup = 1000;
    for (long i = 0; i < checkCycles + warmup; ++i) {
        const bool showNow = (i % 1000) == 500;
        if (showNow) {
            qt::ClearBookkeeping();
            qt::WriteBytes(match, "L");
        }
        yes += plugin.check(instance);
        if (showNow) {
            // The stamp goes too, so that later checks run down to the scan
            // again instead of stopping at the once-a-day rule. Wine's own
            // shell may hold the new shortcut open for a moment: retry until
            // it is gone, or a later check would show again.
            for (int tries = 0; tries < 200 && qt::Exists(match); ++tries) {
                if (!DeleteFileA(match.c_str())) Sleep(10);
            }
            qt::ClearBookkeeping();
        }
        qt::Enum(plugin, instance);
        if (i + 1 == warmup) {
            before = Settled();
            Print("check/enum cycles", "before", before);
        }
    }
    const ProcessFigures after = Settled();
    Print("check/enum cycles", "after", after);
    std::printf("check/enum cycles: %ld cycles, %ld answered yes\n", checkCycles, yes - 1);
    plugin.destroy(instance);
    return Flat("check/enum cycles", before, after);
}

}  // namespace

int main(int argc, char** argv) {
    const long checkCycles = argc > 1 ? std::atol(argv[1]) : 100000;
    const long createCycles = argc > 2 ? std::atol(argv[2]) : 1000;
    const long loadCycles = argc > 3 ? std::atol(argv[3]) : createCycles;
    if ((checkCycles != 0 && checkCycles < 1000) || createCycles < 1 || loadCycles < 1) {
        std::fprintf(stderr,
                     "usage: quentra-soak [CHECK_CYCLES: 0, or >= 1000] [CREATE_CYCLES >= 1] [LOAD_CYCLES >= 1]\n");
        return 2;
    }
    qt::InstallSuite("soak-suite");
    qt::ClearBookkeeping();
    const std::string desktop = qt::CleanDesktop();
    for (int i = 0; i < 20; ++i) qt::AddShortcut(desktop, "Utility " + std::to_string(i) + ".lnk");
    qt::Plugin plugin;
    qt::LoadPlugin(plugin, "soak", kCampaign);
    const std::string match = qt::Join(desktop, "Copperwing.lnk");

    bool ok = true;
    if (checkCycles > 0) ok &= CheckCycles(plugin, match, checkCycles);

    qt::ClearBookkeeping();
    // Without the check cycles before them, the first checks are the
    // process's first: what they open once and keep (Wine's registry keys,
    // the shell's state) is not growth.
    for (int i = 0; i < 10; ++i) CreateCheckDestroy(plugin);
    const ProcessFigures beforeCreate = Settled();
    Print("create/destroy cycles", "before", beforeCreate);
    for (long i = 0; i < createCycles; ++i) CreateCheckDestroy(plugin);
    const ProcessFigures afterCreate = Settled();
    Print("create/destroy cycles", "after", afterCreate);
    ok &= Flat("create/destroy cycles", beforeCreate, afterCreate);

    const std::string dll = qt::Join(plugin.dir, "Quentra.dll");
    plugin.Unload();
    const ProcessFigures beforeLoad = Settled();
    Print("load/create/destroy/free cycles", "before", beforeLoad);
    for (long i = 0; i < loadCycles; ++i) {
        const UniqueModule m(LoadLibraryA(dll.c_str()));
        PluginExports x;
        std::string missing;
        if (!m || !ResolveExports(m.get(), x, missing)) {
            std::printf("load/create/destroy/free cycles: load %ld of %ld failed (error %lu%s%s)\n", i + 1, loadCycles,
                        GetLastError(), missing.empty() ? "" : ", missing ", missing.c_str());
            return 1;
        }
        CreateCheckDestroy(x);
    }
    const ProcessFigures afterLoad = Settled();
    Print("load/create/destroy/free cycles", "after", afterLoad);
    std::printf("load/create/destroy/free cycles: %ld cycles\n", loadCycles);
    ok &= Flat("load/create/destroy/free cycles", beforeLoad, afterLoad);

    qt::CleanDesktop();
    qt::RemoveSuiteRegistration();
    qt::ClearBookkeeping();
    std::printf("soak: %s\n", ok ? "1 passed, 0 failed" : "0 passed, 1 failed");
    return ok ? 0 : 1;
}
