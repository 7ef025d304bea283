// Usage reports: the URL rules directly, and the real DLL's report threads
// against the loopback receiver stand-in.
#include <gtest/gtest.h>
#include <urlmon.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>

#include "actions/report.h"
#include "actions/url.h"
#include "support/campaign.h"
#include "support/cycle.h"
#include "support/sandbox.h"

namespace {

// ---- pure rules -----------------------------------------------------------

TEST(ReportUrlRules, PercentEncodingOfTheIdentifier) {
    struct Row {
        const char* name;
        std::string id;
        std::string encoded;
    } rows[] = {
        {"empty", "", ""},
        {"alphanumeric passes byte for byte", "QX7abcXYZ0189", "QX7abcXYZ0189"},
        {"unreserved marks pass", "a-b.c_d~e", "a-b.c_d~e"},
        {"blank", "a b", "a%20b"},
        {"ampersand would start a new parameter", "a&t=1", "a%26t%3D1"},
        {"hash would end the query", "a#b", "a%23b"},
        {"percent would start an escape", "100%", "100%25"},
        {"plus, slash, question mark", "+/?", "%2B%2F%3F"},
        {"quote and backslash", "\"\\", "%22%5C"},
        {"control and delete bytes", std::string("\x01\x1F\x7F", 3), "%01%1F%7F"},
        {"GBK bytes, uppercase hex", qt::Gbk("机器"), "%BB%FA%C6%F7"},
        {"GBK trail byte 0x5C", std::string("\x81\x5C", 2), "%81%5C"},
        {"high bytes", std::string("\x80\xFF", 2), "%80%FF"},
    };
    for (const Row& row : rows) EXPECT_EQ(row.encoded, PercentEncode(row.id.c_str())) << row.name;
    EXPECT_EQ("", PercentEncode(nullptr)) << "null identifier";
}

TEST(ReportUrlRules, KindSelectsTheQueryValue) {
    const std::string origin = QUENTRA_REPORT_ORIGIN;
    EXPECT_EQ(origin + "/traycast.html?t=0&m=a%20b", ReportUrl(ReportKind::Shown, "a b"));
    EXPECT_EQ(origin + "/traycast.html?t=1&m=a%20b", ReportUrl(ReportKind::Installed, "a b"));
    EXPECT_EQ(origin + "/traycast.html?t=1&m=", ReportUrl(ReportKind::Installed, ""));
}

// ---- through the DLL ------------------------------------------------------

class ReportCycle : public ::testing::Test {
protected:
    void SetUp() override {
        if (!qc::ReportOriginIsLoopback()) {
            GTEST_SKIP() << "reports of this build go to " << qc::ReportOrigin()
                         << "; tests send only to http://127.0.0.1:PORT";
        }
    }

    // The usual setup: a machine on which the check answers 1, the
    // verification library with `id` (none when null), a receiver in `mode`,
    // a plug-in copy and an instance of it.
    struct Rig {
        Rig(const std::string& name, const char* mode, const char* id)
            : suite(qc::PrepareShowable("report-" + name)), receiver(name, mode, id != nullptr ? std::vector<std::string>{id} : std::vector<std::string>{}) {
            if (id != nullptr) qc::PutVerifier(suite, id);
            qt::LoadPlugin(plugin, "report-" + name, qc::ShowableCampaign("ID=cycle-" + name));
            in = plugin.create();
        }
        ~Rig() { End(); }
        // Ends the instance and waits until no report thread holds the DLL.
        bool Finish() {
            End();
            return qc::UnloadAndWaitForReports(plugin);
        }
        void End() {
            if (in != nullptr) plugin.destroy(in);
            in = nullptr;
        }
        qt::Suite suite;
        qc::Receiver receiver;
        qt::Plugin plugin;
        QUENTRA_INSTANCE in = nullptr;
    };
};

TEST_F(ReportCycle, ShownReportsT0AndStartedInstallReportsT1) {
    Rig r("kinds", "200", "QX7-machine.01_~");
    ASSERT_TRUE(r.receiver.ok());
    ASSERT_EQ(1, r.plugin.check(r.in));
    ASSERT_TRUE(r.receiver.WaitForRequests(1)) << "no report after a yes";
    ASSERT_EQ(1, r.plugin.doCommand(r.in, 0));
    ASSERT_TRUE(r.receiver.WaitForRequests(2)) << "no report after the install";
    EXPECT_TRUE(r.Finish());
    const std::vector<std::string> expected = {qc::ExpectedTarget(0, "QX7-machine.01_~"),
                                               qc::ExpectedTarget(1, "QX7-machine.01_~")};
    EXPECT_EQ(expected, r.receiver.Targets());
}

TEST_F(ReportCycle, IdentifierArrivesPercentEncoded) {
    Rig r("ids", "200", nullptr);
    ASSERT_TRUE(r.receiver.ok());
    struct Row {
        const char* name;
        std::string id;
        std::string sent;
    } rows[] = {
        {"alphanumeric, byte for byte", "Cid0123456789abcXYZ", "Cid0123456789abcXYZ"},
        {"blanks and ampersand", "a b&c d", "a%20b%26c%20d"},
        {"hash and percent", "x#y%z", "x%23y%25z"},
        {"Chinese identifier", qt::Gbk("机器"), "%BB%FA%C6%F7"},
        // The library fills all 260 bytes without a terminator: the report
        // still reads no further than the buffer.
        {"unterminated 260 bytes", "<fill>", std::string(260, 'F')},
    };
    std::size_t count = 0;
    for (const Row& row : rows) {
        qc::PutVerifier(r.suite, row.id);
        r.receiver.Own(row.sent);
        ASSERT_EQ(1, r.plugin.doCommand(r.in, 0)) << row.name;
        ASSERT_TRUE(r.receiver.WaitForRequests(++count)) << row.name;
        EXPECT_EQ(qc::ExpectedTarget(1, row.sent), r.receiver.Targets().back()) << row.name;
    }
    EXPECT_TRUE(r.Finish());
}

TEST_F(ReportCycle, WithoutIdentifierTheRequestIsStillMade) {
    struct Row {
        const char* name;
        bool library;
        bool withExport;
        bool cidFile;
    } rows[] = {
        {"no verification library", false, false, false},
        {"library without GetCIDA", true, false, true},
        {"library that has no identifier", true, true, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const qt::Suite suite = qc::PrepareShowable("report-noid");
        if (row.library) {
            qc::PutVerifier(suite, "must-not-appear", row.withExport);
            if (!row.cidFile) DeleteFileA(qt::Join(suite.root, "cid.txt").c_str());
        }
        qc::Receiver receiver("noid", "200", {""});
        ASSERT_TRUE(receiver.ok());
        qt::Plugin p;
        qt::LoadPlugin(p, "report-noid", qc::ShowableCampaign("ID=cycle-noid"));
        QUENTRA_INSTANCE in = p.create();
        ASSERT_EQ(1, p.check(in));
        ASSERT_TRUE(receiver.WaitForRequests(1));
        p.destroy(in);
        EXPECT_TRUE(qc::UnloadAndWaitForReports(p));
        EXPECT_EQ(std::vector<std::string>{qc::ExpectedTarget(0, "")}, receiver.Targets());
    }
}

// WinINet caches what a plain download fetches, and every report of one
// kind from one machine has the same URL: a cached answer could keep a
// report from the server and keeps the identifier on disk. Wine asks the
// server every time anyway, so the test looks at the cache itself.
TEST_F(ReportCycle, SameKindTwiceBothArriveAndNoCacheEntryIsLeft) {
    qc::Receiver receiver("cache", "200", {"cache-id"});
    ASSERT_TRUE(receiver.ok());
    // The premise: on this machine a fetch leaves a cache entry, so finding
    // none after a report means something.
    const std::string probe = qc::ReportOrigin() + "/cache-probe.html?n=1";
    char probeFile[MAX_PATH] = {};
    GetTempFileNameA(qt::FreshDir("report-cache-probe").c_str(), "prb", 0, probeFile);
    ASSERT_EQ(S_OK, URLDownloadToFileA(nullptr, probe.c_str(), probeFile, 0, nullptr));
    ASSERT_TRUE(qc::HasCacheEntry(probe)) << "a plain download left no cache entry";
    ASSERT_TRUE(receiver.WaitForRequests(1));

    const qt::Suite suite = qc::PrepareShowable("report-cache");
    qc::PutVerifier(suite, "cache-id");
    const std::string url = qc::ExpectedReportUrl(1, "cache-id");
    ASSERT_TRUE(qc::SeedCacheEntry(url));
    ASSERT_TRUE(qc::HasCacheEntry(url));
    qt::Plugin p;
    qt::LoadPlugin(p, "report-cache", qc::ShowableCampaign("ID=cycle-cache"));
    QUENTRA_INSTANCE in = p.create();
    // Two reports of one kind in flight at once: each reaches the server.
    ASSERT_EQ(1, p.doCommand(in, 0));
    ASSERT_EQ(1, p.doCommand(in, 0));
    ASSERT_TRUE(receiver.WaitForRequests(3)) << "both reports of the same kind";
    p.destroy(in);
    ASSERT_TRUE(qc::UnloadAndWaitForReports(p));
    const std::vector<std::string> targets = receiver.Targets();
    EXPECT_EQ(qc::ExpectedTarget(1, "cache-id"), targets[1]);
    EXPECT_EQ(qc::ExpectedTarget(1, "cache-id"), targets[2]);
    EXPECT_FALSE(qc::HasCacheEntry(url)) << "a cache entry for the report URL is left";
}

// The answer is thrown away, whatever it is: a server error is not retried.
TEST_F(ReportCycle, ServerErrorIsNotRetried) {
    Rig r("error", "500", "error-id");
    ASSERT_TRUE(r.receiver.ok());
    ASSERT_EQ(1, r.plugin.doCommand(r.in, 0));
    ASSERT_TRUE(r.receiver.WaitForRequests(1));
    ASSERT_TRUE(r.Finish());
    EXPECT_EQ(std::vector<std::string>{qc::ExpectedTarget(1, "error-id")}, r.receiver.Targets());
}

// The host may unload the library right after TCDestory while a report
// thread still waits; the thread's own reference keeps the code mapped.
TEST_F(ReportCycle, ReportArrivesAfterDestroyAndFreeLibrary) {
    Rig r("unload", "200", "unload-id");
    ASSERT_TRUE(r.receiver.ok());
    ASSERT_EQ(1, r.plugin.check(r.in));
    r.End();
    r.plugin.Unload();
    ASSERT_TRUE(qc::StillMapped(r.plugin)) << "the report thread holds no reference: it would run unmapped code";
    ASSERT_TRUE(r.receiver.WaitForRequests(1));
    EXPECT_EQ(std::vector<std::string>{qc::ExpectedTarget(0, "unload-id")}, r.receiver.Targets());
    EXPECT_TRUE(r.Finish()) << "the report thread never dropped its reference";
}

// The same through a separate host process, which must survive its threads.
TEST_F(ReportCycle, HostProcessSurvivesReportsAfterUnload) {
    const qt::Suite suite = qc::PrepareShowable("report-host");
    qc::PutVerifier(suite, "host-id");
    qc::Receiver receiver("host", "200", {"host-id"});
    ASSERT_TRUE(receiver.ok());
    qt::Plugin p;
    qt::LoadPlugin(p, "report-host", qc::ShowableCampaign("ID=cycle-host"));
    p.Unload();
    const std::string dll = qt::Join(p.dir, "Quentra.dll");
    const std::string exe = qt::Join(qt::BinDir(), "quentra-host.exe");
    const std::string out = qt::Join(p.dir, "host-output.txt");
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    UniqueKernelHandle output(CreateFileA(out.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS,
                                          FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_NE(INVALID_HANDLE_VALUE, output.get());
    std::string commandLine = "\"" + exe + "\" run \"" + dll + "\" --accept --wait-reports 30000";
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = output.get();
    startup.hStdError = output.get();
    PROCESS_INFORMATION info = {};
    ASSERT_TRUE(CreateProcessA(exe.c_str(), &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr, p.dir.c_str(),
                               &startup, &info));
    UniqueKernelHandle thread(info.hThread), process(info.hProcess);
    output.reset();
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(process.get(), 60000));
    DWORD code = 0xCCCCCCCC;
    GetExitCodeProcess(process.get(), &code);
    const std::string printed = qt::ReadBytes(out);
    EXPECT_EQ(0u, code) << printed;
    EXPECT_NE(std::string::npos, printed.find("check     1")) << printed;
    EXPECT_NE(std::string::npos, printed.find("install   1")) << printed;
    EXPECT_NE(std::string::npos, printed.find("reports   ended")) << printed;
    const std::vector<std::string> expected = {qc::ExpectedTarget(0, "host-id"), qc::ExpectedTarget(1, "host-id")};
    EXPECT_EQ(expected, receiver.Targets());
}

// A server that never answers, drips its answer or floods it holds up only
// the report threads, and them only for the request's bounds: the library is
// let go within 35 s of the unload whatever the server does (checked here
// with a wide margin; scripts/bench-hostile.sh measures it), and nothing of
// an answer is left on disk.
TEST_F(ReportCycle, HostileServersHoldUpNeitherTheHostNorTheUnload) {
    const char* modes[] = {"blackhole", "drip", "flood"};
    for (const char* mode : modes) {
        SCOPED_TRACE(mode);
        const std::vector<std::string> tempBefore = qt::List(qt::TempDir(), "*");
        Rig r(mode, mode, "hole-id");
        ASSERT_TRUE(r.receiver.ok());
        const std::string shownUrl = qc::ExpectedReportUrl(0, "hole-id");
        ASSERT_TRUE(qc::SeedCacheEntry(shownUrl));

        double start = qc::NowMs();
        ASSERT_EQ(1, r.plugin.check(r.in));
        const double checkMs = qc::NowMs() - start;
        start = qc::NowMs();
        ASSERT_EQ(1, r.plugin.doCommand(r.in, 0));
        const double commandMs = qc::NowMs() - start;
        // The target is 200 ms; the bound is wide so a loaded machine never
        // fails it, while a host thread that waited for the network (1000 ms
        // and then some) always does.
        EXPECT_LT(checkMs, 2000.0);
        EXPECT_LT(commandMs, 2000.0);
        r.End();

        ASSERT_TRUE(r.receiver.WaitForRequests(2));
        EXPECT_FALSE(qc::HasCacheEntry(shownUrl)) << "seeded entry survived the start of the t=0 report";
        r.plugin.Unload();
        const double unloaded = qc::NowMs();
        EXPECT_TRUE(qc::UnloadAndWaitForReports(r.plugin, 50000)) << "the report threads outlived their bounds";
        std::printf("[ measured ] %s server: library let go %.1f s after the unload\n", mode,
                    (qc::NowMs() - unloaded) / 1000.0);
        for (const std::string& file : qt::List(qt::TempDir(), "*")) {
            if (std::find(tempBefore.begin(), tempBefore.end(), file) != tempBefore.end()) continue;
            EXPECT_LE(qt::ReadBytes(qt::Join(qt::TempDir(), file)).size(), 64u * 1024) << file;
        }
        EXPECT_FALSE(qt::Exists(qc::ReportTempFile(1))) << "the answer went to a file";
    }
}

}  // namespace
