// TCDoCommand through the real DLL: the installer stand-in logs the command
// line it was given and the folder it was started in.
#include <gtest/gtest.h>
#include <shlwapi.h>

#include <string>
#include <vector>

#include "support/cycle.h"
#include "support/sandbox.h"

namespace {

// The command line the installer must see for `url`.
std::string CommandLineFor(const qt::Suite& suite, const std::string& url) {
    return "\"" + suite.installer + "\" /URL:" + url;
}

std::vector<std::string> Starts(const qt::Suite& suite) {
    std::vector<std::string> starts;
    for (const std::string& line : qc::InstallerLog(suite)) {
        if (line.compare(0, 4, "cmd=") == 0) starts.push_back(line.substr(4));
    }
    return starts;
}

std::vector<std::string> Folders(const qt::Suite& suite) {
    std::vector<std::string> folders;
    for (const std::string& line : qc::InstallerLog(suite)) {
        if (line.compare(0, 4, "cwd=") == 0) folders.push_back(line.substr(4));
    }
    return folders;
}

TEST(InstallCommand, CommandLineAndFolderAsTheInstallerSeesThem) {
    struct Row {
        const char* name;
        std::string campaignLine;  // the DownloadURL line, or none
        std::string url;           // what follows /URL:
    } rows[] = {
        {"no DownloadURL: ends in /URL:", "", ""},
        {"plain address", "DownloadURL=http://dl.example.test/vault/setup.exe",
         "http://dl.example.test/vault/setup.exe"},
        {"percent signs are not a format", "DownloadURL=http://x.test/?q=%s%d%n%%",
         "http://x.test/?q=%s%d%n%%"},
        {"GBK text with a 0x5C trail byte", "DownloadURL=http://x.test/" + qt::Gbk("淺歕"),
         "http://x.test/" + qt::Gbk("淺歕")},
        // One argument whatever the campaign holds: the same address to a
        // web client, and no argument of the campaign's own.
        {"a blank goes as %20", "DownloadURL=http://x.test/a /Silent", "http://x.test/a%20/Silent"},
        {"a quote goes as %22", "DownloadURL=http://x.test/a\"b", "http://x.test/a%22b"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const qt::Suite suite = qt::InstallSuite("install-line");
        qt::Plugin p;
        qt::LoadPlugin(p, "install-line", qc::ShowableCampaign(row.campaignLine, "install-line"));
        QUENTRA_INSTANCE in = p.create();
        // The command takes the address of the last load; a check loads it
        // and, with nothing on the desktop, answers 0 and reports nothing.
        qt::CleanDesktop();
        ASSERT_EQ(0, p.check(in));
        ASSERT_EQ(1, p.doCommand(in, 0));
        ASSERT_TRUE(qc::WaitForInstallerStarts(suite, 1)) << "the installer did not start";
        EXPECT_EQ(std::vector<std::string>{CommandLineFor(suite, row.url)}, Starts(suite));
        EXPECT_EQ(std::vector<std::string>{suite.root}, Folders(suite));
        p.destroy(in);
        EXPECT_TRUE(qc::UnloadAndWaitForReports(p));
    }
}

// The command line is formatted into 1024 bytes: 1023 characters fit, one
// more starts nothing and reports nothing. Nor does an address with a
// control character, which no escape carries to the installer.
TEST(InstallCommand, CommandLinesThatStartNothing) {
    struct Row {
        const char* name;
        int extra;        // characters beyond the 1023 that fit
        const char* url;  // instead of a generated one
        int answer;
    } rows[] = {
        {"1023 characters: exact fit", 0, nullptr, 1},
        {"1024 characters: one too many", 1, nullptr, 0},
        {"4000 characters", 4000 - 1023, nullptr, 0},
        {"a tab", 0, "http://x.test/a\tb", 0},
        {"a control character", 0, "http://x.test/a\x01" "b", 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const qt::Suite suite = qt::InstallSuite("install-limit");
        const std::size_t fixed = CommandLineFor(suite, "").size();
        const std::string url =
            row.url != nullptr ? row.url : "http://x.test/" + std::string(1023 + row.extra - fixed - 14, 'u');
        if (row.url == nullptr) {
            ASSERT_EQ(static_cast<std::size_t>(1023 + row.extra), CommandLineFor(suite, url).size());
        }
        qt::Plugin p;
        qt::LoadPlugin(p, "install-limit", qc::ShowableCampaign("DownloadURL=" + url, "install-limit"));
        QUENTRA_INSTANCE in = p.create();
        qt::CleanDesktop();
        ASSERT_EQ(0, p.check(in));  // loads the address, starts no report
        EXPECT_EQ(row.answer, p.doCommand(in, 0));
        p.destroy(in);
        p.Unload();
        if (row.answer == 0) {
            // No report thread holds the library: nothing was reported.
            EXPECT_FALSE(qc::StillMapped(p)) << "a report was started";
            // A start that would have happened logs before this one.
            qt::Plugin q;
            qt::LoadPlugin(q, "install-limit-probe", qc::ShowableCampaign("DownloadURL=probe", "install-limit"));
            QUENTRA_INSTANCE probe = q.create();
            ASSERT_EQ(0, q.check(probe));
            ASSERT_EQ(1, q.doCommand(probe, 0));
            ASSERT_TRUE(qc::WaitForInstallerStarts(suite, 1));
            q.destroy(probe);
            EXPECT_TRUE(qc::UnloadAndWaitForReports(q));
            EXPECT_EQ(std::vector<std::string>{CommandLineFor(suite, "probe")}, Starts(suite));
        } else {
            ASSERT_TRUE(qc::WaitForInstallerStarts(suite, 1));
            EXPECT_EQ(std::vector<std::string>{CommandLineFor(suite, url)}, Starts(suite));
            EXPECT_TRUE(qc::UnloadAndWaitForReports(p));
        }
    }
}

TEST(InstallCommand, MissingInstallerGivesZeroAndReportsNothing) {
    struct Row {
        const char* name;
        void (*arrange)(const qt::Suite&);
    } rows[] = {
        {"installer file missing", [](const qt::Suite& s) { DeleteFileA(s.installer.c_str()); }},
        {"suite executable deleted", [](const qt::Suite& s) { DeleteFileA(s.exe.c_str()); }},
        {"no App Paths default value",
         [](const qt::Suite&) {
             SHDeleteValueA(HKEY_LOCAL_MACHINE,
                            "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths\\Corvelsafe.exe", nullptr);
         }},
        {"suite not registered", [](const qt::Suite&) { qt::RemoveSuiteRegistration(); }},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const qt::Suite suite = qt::InstallSuite("install-missing");
        qt::Plugin p;
        qt::LoadPlugin(p, "install-missing", qc::ShowableCampaign("DownloadURL=http://x.test/", "install-missing"));
        QUENTRA_INSTANCE in = p.create();
        row.arrange(suite);
        EXPECT_EQ(0, p.doCommand(in, 0));
        p.destroy(in);
        p.Unload();
        EXPECT_FALSE(qc::StillMapped(p)) << "a report was started";
        EXPECT_TRUE(Starts(suite).empty());
    }
}

TEST(InstallCommand, RepeatedCallsStartOneInstallerAndOneReportEach) {
    if (!qc::ReportOriginIsLoopback()) GTEST_SKIP() << "reports of this build leave the machine";
    const qt::Suite suite = qt::InstallSuite("install-repeat");
    qc::PutVerifier(suite, "repeat-id");
    qc::Receiver receiver("repeat", "200", {"repeat-id"});
    ASSERT_TRUE(receiver.ok());
    qt::Plugin p;
    qt::LoadPlugin(p, "install-repeat", qc::ShowableCampaign("DownloadURL=http://x.test/r", "install-repeat"));
    QUENTRA_INSTANCE in = p.create();
    // No check at all: the command does not ask what a check answered.
    for (int i = 0; i < 3; ++i) EXPECT_EQ(1, p.doCommand(in, i * 7 - 5)) << "call " << i;
    ASSERT_TRUE(qc::WaitForInstallerStarts(suite, 3));
    ASSERT_TRUE(receiver.WaitForRequests(3));
    p.destroy(in);
    ASSERT_TRUE(qc::UnloadAndWaitForReports(p));
    // Before any load the address is the empty default.
    EXPECT_EQ(std::vector<std::string>(3, CommandLineFor(suite, "")), Starts(suite));
    EXPECT_EQ(std::vector<std::string>(3, qc::ExpectedTarget(1, "repeat-id")), receiver.Targets());
}

}  // namespace
