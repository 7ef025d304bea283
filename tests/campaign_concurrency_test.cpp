// Two host processes checking at the same moment: each load decodes into a
// temporary file of its own, so neither loses a load or reads the other's
// campaign, and no decoded copy is left in %TEMP%.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/handles.h"
#include "support/campaign.h"
#include "support/sandbox.h"

namespace {

TEST(CampaignConcurrency, TwoProcessesLoadingInALoopNeverLoseALoad) {
    const std::string loader = qt::Join(qt::Join(qt::BinDir(), "standins"), "campaign-loader.exe");
    ASSERT_TRUE(qt::Exists(loader)) << loader;
    qt::ClearBookkeeping();
    qt::RemoveDecodedLeftovers();
    const std::string dir = qt::FreshDir("campaign-concurrency");
    // Two different campaigns with the same purpose: a process that read the
    // other's decoded copy would see the other ID and patterns.
    const std::string a = qt::WriteCampaign(
        dir, "[Common]\r\nPurpose=together\r\n[NoAntiVirus]\r\nID=first-host\r\n[GameScan]\r\nk1m=Quillstorm\r\n"
             "k2o=Copperwing\r\n",
        "a.dat");
    const std::string b = qt::WriteCampaign(
        dir, "[Common]\r\nPurpose=together\r\n[NoAntiVirus]\r\nID=second-host\r\n[GameScan]\r\nk1o=Emberlane\r\n",
        "b.dat");
    const std::string gate = "QuentraCampaignLoaderGate" + std::to_string(GetCurrentProcessId());
    UniqueKernelHandle event(CreateEventA(nullptr, TRUE, FALSE, gate.c_str()));
    ASSERT_TRUE(event);

    const int loads = 400;
    const std::string quoted = "\"" + loader + "\" " + gate + " ";
    const std::vector<std::string> commands = {
        quoted + "\"" + a + "\" " + std::to_string(loads) + " first-host Quillstorm Copperwing",
        quoted + "\"" + b + "\" " + std::to_string(loads) + " second-host Emberlane",
    };
    UniqueKernelHandle ready(CreateSemaphoreA(nullptr, 0, 2, (gate + "-ready").c_str()));
    ASSERT_TRUE(ready);

    qt::ProcessGroup helpers;
    for (const std::string& command : commands) helpers.Start(command);
    // Both helpers wait at the gate before their first load; it opens when
    // both have arrived (or, should one not arrive, after a generous wait).
    for (int arrived = 0; arrived < 2; ++arrived) WaitForSingleObject(ready.get(), 60000);
    SetEvent(event.get());
    const std::vector<qt::ProcessResult> results = helpers.Wait(240000);

    for (std::size_t i = 0; i < results.size(); ++i) {
        EXPECT_TRUE(results[i].started) << "helper " << i;
        EXPECT_TRUE(results[i].ended) << "helper " << i << " did not end within four minutes";
        EXPECT_EQ(0u, results[i].exitCode) << "helper " << i << " (2: a load failed, 3: wrong values)";
    }
    EXPECT_TRUE(qt::DecodedLeftovers().empty()) << "a decoded campaign was left in " << qt::TempDir();
    qt::ClearBookkeeping();
}

}  // namespace
