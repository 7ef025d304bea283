// Faults the plug-in survives: a missing or unusable temporary folder, a
// missing desktop, a report server that is down, a verification library that
// misbehaves, an installer that cannot start, bookkeeping values of the wrong
// type or size, and several instances checking at once.
#include <gtest/gtest.h>
#include <shlwapi.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "common/handles.h"
#include "decision/gates.h"
#include "environment/bookkeeping.h"
#include "support/deployed.h"
#include "support/campaign.h"
#include "support/cycle.h"
#include "support/decision.h"
#include "support/sandbox.h"

namespace {

std::string CurrentTestName() { return ::testing::UnitTest::GetInstance()->current_test_info()->name(); }

// An environment variable set for one scope.
struct ScopedEnv {
    ScopedEnv(const char* name, const std::string& value) : name_(name) {
        char old[4096];
        const DWORD n = GetEnvironmentVariableA(name, old, sizeof old);
        had_ = n > 0 && n < sizeof old;
        if (had_) old_ = old;
        SetEnvironmentVariableA(name, value.c_str());
    }
    ~ScopedEnv() { SetEnvironmentVariableA(name_, had_ ? old_.c_str() : nullptr); }
    const char* name_;
    bool had_ = false;
    std::string old_;
};

// A registry text value of HKEY_CURRENT_USER set for one scope.
struct ScopedUserValue {
    ScopedUserValue(const char* key, const char* value, DWORD type, const std::string& text) : key_(key), value_(value) {
        char old[1024] = {};
        DWORD size = sizeof old - 1;
        had_ = SHGetValueA(HKEY_CURRENT_USER, key, value, &type_, old, &size) == ERROR_SUCCESS;
        if (had_) old_.assign(old, size);
        SHSetValueA(HKEY_CURRENT_USER, key, value, type, text.c_str(), static_cast<DWORD>(text.size() + 1));
    }
    ~ScopedUserValue() {
        if (had_) {
            SHSetValueA(HKEY_CURRENT_USER, key_, value_, type_, old_.data(), static_cast<DWORD>(old_.size()));
        } else {
            SHDeleteValueA(HKEY_CURRENT_USER, key_, value_);
        }
    }
    const char* key_;
    const char* value_;
    DWORD type_ = REG_SZ;
    bool had_ = false;
    std::string old_;
};

class Faults : public ::testing::Test {
protected:
    void SetUp() override {
        machine_ = std::make_unique<qt::DecisionMachine>("faults");
        machine_->Shortcut("Quillstorm.lnk");
        qt::CampaignFields fields;
        fields.gameScan = {{"g1o", "Quillstorm"}};
        ini_ = qt::CampaignIni(fields);
        qt::LoadPlugin(plugin_, "faults-" + CurrentTestName(), ini_);
    }
    void TearDown() override {
        plugin_.Unload();
        machine_.reset();
    }
    int CheckOnce() {
        qt::PluginInstance instance(plugin_);
        return instance.Check();
    }
    std::unique_ptr<qt::DecisionMachine> machine_;
    qt::Plugin plugin_;
    std::string ini_;
};

TEST_F(Faults, TemporaryFolderMissingOrNotAFolder) {
    ASSERT_EQ(1, CheckOnce()) << "the machine passes every gate";
    qt::ClearBookkeeping();
    const std::string dir = qt::FreshDir("faults-temp");
    const std::string missing = qt::Join(dir, "gone");
    const std::string file = qt::Join(dir, "a-file");
    qt::WriteBytes(file, "x");
    for (const std::string& temp : {missing, file}) {
        ScopedEnv tmp("TMP", temp), tempVar("TEMP", temp);
        EXPECT_EQ(0, CheckOnce()) << "TMP=" << temp;
        qt::StoredBookkeeping stored = qt::ReadBookkeeping();
        EXPECT_FALSE(stored.countPresent) << "nothing recorded with TMP=" << temp;
    }
    EXPECT_EQ(1, CheckOnce()) << "and all is well once the folder is back";
}

TEST_F(Faults, DesktopFolderMissing) {
    const char* key = "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders";
    const char* cache = "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders";
    const std::string gone = qt::Join(qt::FreshDir("faults-desktop"), "no-desktop");
    ScopedUserValue user(key, "Desktop", REG_EXPAND_SZ, gone), cached(cache, "Desktop", REG_SZ, gone);
    EXPECT_EQ(0, CheckOnce());
    EXPECT_FALSE(qt::ReadBookkeeping().countPresent);
}

TEST_F(Faults, ReportServerDownStillAnswersAndLives) {
    // Nothing listens on the report port: the report fails on its thread.
    const double t0 = qc::NowMs();
    EXPECT_EQ(1, CheckOnce());
    EXPECT_LT(qc::NowMs() - t0, 2000.0) << "the host's thread does not wait for the network";
    EXPECT_TRUE(qc::UnloadAndWaitForReports(plugin_)) << "the report thread ends and lets the DLL go";
}

TEST_F(Faults, VerificationLibraryMisbehaving) {
    if (!qc::ReportOriginIsLoopback()) GTEST_SKIP() << "reports of this build leave the machine";
    struct Row {
        const char* name;
        const char* id;  // null: no library at all
        bool withExport;
        std::string m;   // what arrives as m=
    } rows[] = {
        {"library missing", nullptr, true, ""},
        {"library without GetCIDA", "ignored", false, ""},
        // 260 bytes and no terminator: exactly those 260 bytes arrive, no more.
        {"identifier fills the whole buffer", "<fill>", true, std::string(260, 'F')},
    };
    for (const Row& row : rows) {
        qc::Receiver receiver(std::string("faults-") + CurrentTestName(), "200", {row.m});
        ASSERT_TRUE(receiver.ok()) << row.name;
        DeleteFileA(qt::Join(machine_->suite.root, "Corvelverify.dll").c_str());
        if (row.id != nullptr) qc::PutVerifier(machine_->suite, row.id, row.withExport);
        qt::ClearBookkeeping();
        ASSERT_EQ(1, CheckOnce()) << row.name;
        ASSERT_TRUE(receiver.WaitForRequests(1)) << row.name;
        EXPECT_EQ(qc::ExpectedTarget(0, row.m), receiver.Targets().at(0)) << row.name;
        // The row's report must be over before its receiver goes: a request
        // still in flight could otherwise reach the next row's receiver.
        ASSERT_TRUE(qc::UnloadAndWaitForReports(plugin_)) << row.name;
        qt::LoadPlugin(plugin_, "faults-" + CurrentTestName(), ini_);
    }
}

TEST_F(Faults, InstallerThatCannotStart) {
    qt::WriteBytes(machine_->suite.installer, "this is not a program");
    qt::PluginInstance instance(plugin_);
    EXPECT_EQ(0, plugin_.doCommand(instance.get(), 0)) << "a file that is no program is not started";
    DeleteFileA(machine_->suite.installer.c_str());
    EXPECT_EQ(0, plugin_.doCommand(instance.get(), 0)) << "a missing installer";
}

TEST_F(Faults, BookkeepingValuesOfTheWrongTypeOrSize) {
    struct Row {
        const char* name;
        const char* value;
        DWORD type;
        std::string bytes;
    } rows[] = {
        {"count stored as text", deployed::kPopupCountValue, REG_SZ, std::string("999\0", 4)},
        {"count of two bytes", deployed::kPopupCountValue, REG_BINARY, std::string("\x05\x00", 2)},
        {"count of eight bytes", deployed::kPopupCountValue, REG_QWORD, std::string("\x09\x00\x00\x00\x00\x00\x00\x00", 8)},
        {"purpose stored as a number", deployed::kPurposeValue, REG_DWORD, std::string("\x01\x00\x00\x00", 4)},
        {"stamp of 100 KB", deployed::kLastPopupValue, REG_SZ, std::string(100 * 1024, '7')},
        {"stamp stored as a number", deployed::kLastPopupValue, REG_DWORD, std::string("\x01\x00\x00\x00", 4)},
    };
    for (const Row& row : rows) {
        qt::ClearBookkeeping();
        // The right purpose first, so that only the row's value is wrong.
        qt::StorePurpose(qt::CampaignFields().purpose);
        qt::SetRaw(deployed::kBookkeepingKey, row.value, row.type, row.bytes);
        EXPECT_EQ(1, CheckOnce()) << row.name << ": read as no count, another purpose, or no stamp";
        const qt::StoredBookkeeping after = qt::ReadBookkeeping();
        EXPECT_EQ(static_cast<DWORD>(REG_DWORD), after.countType) << row.name;
        EXPECT_EQ(std::string("\x01\x00\x00\x00", 4), after.count) << row.name << ": counted from 0";
        EXPECT_EQ(static_cast<DWORD>(REG_SZ), after.purposeType) << row.name;
        EXPECT_EQ(static_cast<DWORD>(REG_SZ), after.stampType) << row.name;
    }
}

// Bookkeeping that cannot be written: the parent key is volatile, so the
// stored key cannot be created (error 1021). Without a stamp or a count the
// once-a-day and MaxPopupTimes rules could never hold, so nothing shows.
TEST_F(Faults, BookkeepingThatCannotBeWrittenShowsNothing) {
    const char* parent = "SOFTWARE\\CorvelSafe";
    qt::DeleteKey(parent);
    UniqueRegKey volatileKey;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_LOCAL_MACHINE, parent, 0, nullptr, REG_OPTION_VOLATILE,
                                             KEY_ALL_ACCESS, nullptr, volatileKey.receive(), nullptr));
    ASSERT_NE(ERROR_SUCCESS, SHSetValueA(HKEY_LOCAL_MACHINE, deployed::kBookkeepingKey, deployed::kPopupCountValue, REG_DWORD, "\1\0\0\0", 4))
        << "the premise: the bookkeeping key cannot be created";
    for (int i = 0; i < 3; ++i) {
        qt::PluginInstance instance(plugin_);
        EXPECT_EQ(0, instance.Check()) << "check " << i;
        // The scan had composed the message before the last gate said no.
        EXPECT_EQ("", qt::Enum(plugin_, instance.get()).message) << "a 0 that hands out a message, check " << i;
    }
    EXPECT_FALSE(qc::StillMapped(plugin_) && (plugin_.Unload(), qc::StillMapped(plugin_)))
        << "a report was started for a showing that was not recorded";
    // The campaign's purpose differs from the none stored: the check ends
    // where the purpose cannot be stored, before any gate reads a count.
    PopupWorkspace workspace;
    CheckFacts facts;
    EXPECT_EQ(CheckOutcomeName(CheckOutcome::PurposeNotStored),
              std::string(CheckOutcomeName(EvaluatePopup(workspace, qt::Join(plugin_.dir, "quentracfg.dat").c_str(),
                                                         CheckMode::Record, &facts))));
    EXPECT_STREQ("campaign loads", kGates[facts.stoppedAt].label);
    volatileKey.reset();
    qt::DeleteKey(parent);
}

// How many indexes `take` still hands out: all of them are taken, then given
// back. TLS and fiber-local storage indexes alike.
template <typename Take, typename GiveBack>
long FreeIndexes(Take take, GiveBack giveBack) {
    std::vector<DWORD> taken;
    for (DWORD index; (index = take()) != TLS_OUT_OF_INDEXES;) taken.push_back(index);
    for (const DWORD index : taken) giveBack(index);
    return static_cast<long>(taken.size());
}

// The C runtime's malloc, as the plug-in imports it, refusing large blocks.
using MallocFn = void*(__cdecl*)(std::size_t);
MallocFn g_malloc = nullptr;
std::atomic<int> g_refused{0};
void* __cdecl RefuseLargeBlocks(std::size_t size) {
    if (size >= 64 * 1024) {
        ++g_refused;
        return nullptr;
    }
    return g_malloc(size);
}

// Memory that runs out inside a check: the C++ runtime's exception reaches
// the export, which answers 0 and records nothing, and the host goes on. The
// exception machinery of each load (the slot that holds a thread's exception
// state) goes with the DLL: loads that threw leave the process as many TLS
// and fiber-local storage indexes as it had.
TEST_F(Faults, ACheckThatRunsOutOfMemoryAnswersZero) {
    // Reading a campaign this big takes one block of its size.
    plugin_.SetCampaign(ini_ + ";" + std::string(256 * 1024, 'x') + "\r\n");
    // The process's first check also makes Wine set up COM and the shell,
    // which keep what they take.
    ASSERT_EQ(1, CheckOnce()) << "the machine passes every gate";
    qt::ClearBookkeeping();
    ASSERT_TRUE(qc::UnloadAndWaitForReports(plugin_));
    const auto flsFree = [] { return FreeIndexes([] { return FlsAlloc(nullptr); }, FlsFree); };
    const auto tlsFree = [] { return FreeIndexes(TlsAlloc, TlsFree); };
    const long tlsBefore = tlsFree(), flsBefore = flsFree();
    for (int load = 0; load < 3; ++load) {
        SCOPED_TRACE("load " + std::to_string(load + 1));
        if (!plugin_.module) plugin_.module.reset(LoadLibraryA(qt::Join(plugin_.dir, "Quentra.dll").c_str()));
        ASSERT_TRUE(plugin_.module);
        {
            const qt::ImportRedirect redirect(plugin_.module.get(), "msvcrt.dll", "malloc",
                                              reinterpret_cast<void*>(&RefuseLargeBlocks));
            ASSERT_TRUE(redirect.Active()) << "the plug-in imports malloc from msvcrt.dll";
            g_malloc = reinterpret_cast<MallocFn>(redirect.Original());
            g_refused = 0;
            EXPECT_EQ(0, CheckOnce());
            EXPECT_GT(g_refused.load(), 0) << "the premise: the check asked for a block it was refused";
            EXPECT_FALSE(qt::ReadBookkeeping().countPresent);
        }
        EXPECT_EQ(1, CheckOnce()) << "and all is well once memory is back";
        qt::ClearBookkeeping();
        EXPECT_TRUE(qc::UnloadAndWaitForReports(plugin_));
    }
    EXPECT_EQ(tlsBefore, tlsFree()) << "TLS indexes kept";
    EXPECT_EQ(flsBefore, flsFree()) << "fiber-local storage indexes kept";
}

// Another party in %TEMP% tries to write, rename and delete each decoded
// copy it sees while checks load it: it is refused while a load reads, and
// every check reads the plug-in's own campaign.
TEST_F(Faults, TheDecodedCopyIsTheLoadsAloneWhileItIsRead) {
    std::atomic<bool> stop{false};
    std::atomic<int> refused{0}, seen{0};
    std::thread attacker([&] {
        const std::string forged = "[NoAntiVirus]\r\nTitle=forged\r\n[GameScan]\r\ng1o=Quillstorm\r\n";
        while (!stop) {
            for (const std::string& name : qt::DecodedLeftovers()) {
                const std::string path = qt::Join(qt::TempDir(), name);
                ++seen;
                UniqueFileHandle file(CreateFileA(path.c_str(), GENERIC_WRITE, 7, nullptr, OPEN_EXISTING, 0, nullptr));
                DWORD written = 0;
                if (!file || !WriteFile(file.get(), forged.data(), DWORD(forged.size()), &written, nullptr)) ++refused;
                file.reset();
                if (!MoveFileA(path.c_str(), (path + ".moved").c_str())) ++refused;
                if (!DeleteFileA(path.c_str())) ++refused;
            }
        }
    });
    qt::PluginInstance instance(plugin_);
    int forgedReads = 0;
    for (int i = 0; i < 200; ++i) {
        instance.Check();
        if (qt::Enum(plugin_, instance.get()).title == "forged") ++forgedReads;
    }
    stop = true;
    attacker.join();
    for (const std::string& name : qt::List(qt::TempDir(), "~tc*.moved")) DeleteFileA(qt::Join(qt::TempDir(), name).c_str());
    EXPECT_EQ(0, forgedReads) << "checks read the other party's campaign";
    EXPECT_GT(seen.load(), 0) << "the premise: the other party met decoded copies";
    EXPECT_GT(refused.load(), 0);
}

// TCDestory on another thread while a call runs on the same handle: the call
// ends on the instance it began with, the handle answers 0 from then on
// even once a new instance exists, the new instance is a fresh one, and the
// bookkeeping holds exactly the showings that checks answered 1 for.
TEST_F(Faults, DestroyedOnAnotherThreadDuringACall) {
    struct Row {
        const char* name;
        bool checkFirst;  // the call needs a loaded campaign
        std::function<int(qt::Plugin&, QUENTRA_INSTANCE)> call;
    } rows[] = {
        {"TCCheck", false, [](qt::Plugin& p, QUENTRA_INSTANCE h) { return p.check(h); }},
        {"TCEnum", true, [](qt::Plugin& p, QUENTRA_INSTANCE h) { return qt::Enum(p, h).result; }},
        {"TCDoCommand", true, [](qt::Plugin& p, QUENTRA_INSTANCE h) { return p.doCommand(h, 0); }},
    };
    qt::PluginInstance baseline(plugin_);
    const std::string defaultTitle = qt::Enum(plugin_, baseline.get()).title;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        qt::ClearBookkeeping();
        int yes = 0;
        for (int round = 0; round < 20; ++round) {
            QUENTRA_INSTANCE h = plugin_.create();
            ASSERT_NE(nullptr, h);
            if (row.checkFirst) yes += plugin_.check(h);
            std::atomic<int> answer{-1};
            std::thread call([&] { answer = row.call(plugin_, h); });
            EXPECT_EQ(1, plugin_.destroy(h)) << "round " << round;
            call.join();
            ASSERT_TRUE(answer == 0 || answer == 1) << "round " << round << ": " << answer.load();
            if (!row.checkFirst) yes += answer;
            QUENTRA_INSTANCE fresh = plugin_.create();
            EXPECT_NE(h, fresh) << "round " << round << ": a handle value came back";
            EXPECT_EQ(0, plugin_.check(h)) << "round " << round;
            EXPECT_EQ(0, qt::Enum(plugin_, h).result) << "round " << round;
            EXPECT_EQ(0, plugin_.doCommand(h, 0)) << "round " << round;
            EXPECT_EQ(defaultTitle, qt::Enum(plugin_, fresh).title) << "round " << round << ": not a fresh instance";
            EXPECT_EQ(1, plugin_.destroy(fresh));
        }
        EXPECT_EQ(yes > 0, qt::ReadBookkeeping().countPresent);
        EXPECT_EQ(yes, ReadPopupCount()) << "showings recorded without a yes, or a yes unrecorded";
    }
}

TEST_F(Faults, InstancesCheckingAtOnceOnThreadsAndInAnotherProcess) {
    // The campaign's purpose is stored already: a first load that found
    // another purpose would restart the record, and its delete could take a
    // stamp that another instance had just stored, letting that one show
    // again. Only the once-a-day race is the subject here.
    qt::StorePurpose(qt::CampaignFields().purpose);
    // Another process: the host simulator on its own copy of the DLL.
    qt::Plugin other;
    qt::LoadPlugin(other, "faults-other-process", ini_);
    const std::string host = qt::Join(qt::BinDir(), "quentra-host.exe");
    const std::string command = "\"" + host + "\" run \"" + qt::Join(other.dir, "Quentra.dll") + "\" --checks 60";
    other.Unload();
    std::string childOutput;
    int childExit = -1;
    std::thread child([&] { childExit = qt::RunProgram(command, &childOutput, 120000); });

    std::atomic<int> bad{0}, yes{0};
    auto loop = [&] {
        qt::PluginInstance instance(plugin_);
        for (int i = 0; i < 60; ++i) {
            const int answer = instance.Check();
            if (answer != 0 && answer != 1) ++bad;
            yes += answer;
            if (qt::Enum(plugin_, instance.get()).result != 1) ++bad;
        }
    };
    std::thread a(loop), b(loop);
    a.join();
    b.join();
    child.join();
    EXPECT_EQ(0, bad.load());
    EXPECT_EQ(0, childExit) << childOutput;
    // Once a day: the shared bookkeeping lets only the first checks through
    // (unguarded read-modify-write may let a few race past it, never many).
    EXPECT_LE(yes.load(), 3);
    const qt::StoredBookkeeping stored = qt::ReadBookkeeping();
    EXPECT_TRUE(stored.countPresent);
}

}  // namespace
