// Helper process for the concurrency test: loads one campaign file many times
// with the plug-in's own CampaignConfig, as a host's repeated TCCheck would,
// and checks every load.
//
//   campaign-loader GATE FILE COUNT ID PATTERN...
//
// GATE names a manual-reset event that the test sets once every helper is
// ready, so that their loops overlap ("-" to start at once). A helper says it
// is ready by releasing the semaphore named GATE with "-ready" appended.
// Each load must succeed and give the ID and the [GameScan] patterns named on
// the command line, in order. Exit codes: 0 every load was right, 1 bad
// usage, 2 a load failed, 3 a load gave other values, 4 the gate never opened.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "campaign/config.h"
#include "common/handles.h"

int main(int argc, char** argv) {
    if (argc < 6) {
        std::fprintf(stderr, "usage: campaign-loader GATE FILE COUNT ID PATTERN...\n");
        return 1;
    }
    const char* gate = argv[1];
    const char* file = argv[2];
    const long count = std::strtol(argv[3], nullptr, 10);
    const std::string id = argv[4];
    const std::vector<std::string> patterns(argv + 5, argv + argc);
    if (count <= 0) {
        std::fprintf(stderr, "campaign-loader: COUNT must be a positive number\n");
        return 1;
    }
    if (std::strcmp(gate, "-") != 0) {
        UniqueKernelHandle event(OpenEventA(SYNCHRONIZE, FALSE, gate));
        UniqueKernelHandle ready(OpenSemaphoreA(SEMAPHORE_MODIFY_STATE, FALSE, (std::string(gate) + "-ready").c_str()));
        if (ready) ReleaseSemaphore(ready.get(), 1, nullptr);
        if (!event || WaitForSingleObject(event.get(), 60000) != WAIT_OBJECT_0) {
            std::fprintf(stderr, "campaign-loader: gate %s never opened\n", gate);
            return 4;
        }
    }
    for (long i = 0; i < count; ++i) {
        CampaignConfig config;
        if (config.LoadCampaignFile(file) != 1) {
            std::fprintf(stderr, "campaign-loader: load %ld of %s failed\n", i, file);
            return 2;
        }
        const GameScanNoticeRecord& notice = config.GameScanNotice();
        const std::vector<std::string> got(notice.ScanPatterns.begin(), notice.ScanPatterns.end());
        if (notice.ID != id || got != patterns) {
            std::fprintf(stderr, "campaign-loader: load %ld of %s gave ID '%s' and %u patterns\n", i, file,
                         notice.ID.c_str(), static_cast<unsigned>(got.size()));
            return 3;
        }
    }
    return 0;
}
