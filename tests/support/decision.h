// Test support for the popup decision and the desktop scan: a machine on
// which every gate passes until a test breaks one, campaigns written inline,
// dates around today, and child programs whose output a test reads.
#pragma once
#include <windows.h>

#include <string>
#include <utility>
#include <vector>

#include "support/sandbox.h"

namespace qt {

// One campaign, written as the INI text that the campaign file encodes.
// The defaults pass every campaign gate on any day.
struct CampaignFields {
    std::string purpose = "decision-tests";
    int maxPopupTimes = 3;
    int popupFrequency = 127;
    std::string id = "GS-2024";
    std::string message = "%s";
    int suportX64 = 1;
    std::string downloadUrl = "http://dl.example.test/vault setup.exe";
    // [GameScan] keys in file order: name, value.
    std::vector<std::pair<std::string, std::string>> gameScan = {{"g1o", "Quillstorm"}};
};
// The older name, which other suites still use.
std::string CampaignIni(const CampaignFields& fields);

// The worked campaign: Quillstorm (m), Tidewarden (m), Copperwing (o),
// Emberlane (m), Brambleport (m).
std::vector<std::pair<std::string, std::string>> WorkedGameScan();

// A machine on which a check answers 1 once a matching shortcut is on the
// desktop: the suite and its installer registered and present, no vault
// product, no install mutex, no bookkeeping, no config.ini beside the test
// program, a desktop without shortcuts. Everything it made, and everything a
// test adds through it, is removed at destruction.
class DecisionMachine {
public:
    explicit DecisionMachine(const std::string& name);
    ~DecisionMachine();
    DecisionMachine(const DecisionMachine&) = delete;
    DecisionMachine& operator=(const DecisionMachine&) = delete;

    void Shortcut(const std::string& fileName) const { AddShortcut(desktop, fileName); }
    // config.ini beside the host executable (the test program), [NoNotify].
    void HostConfig(const std::string& text) const;
    void RemoveHostConfig() const;
    std::string HostConfigPath() const;

    Suite suite;
    std::string desktop;
};

// An instance of a loaded plug-in, destroyed through TCDestory at scope end.
class PluginInstance {
public:
    explicit PluginInstance(const Plugin& plugin) : plugin_(plugin), handle_(plugin.create()) {}
    ~PluginInstance() {
        if (handle_ != nullptr) plugin_.destroy(handle_);
    }
    PluginInstance(const PluginInstance&) = delete;
    PluginInstance& operator=(const PluginInstance&) = delete;
    QUENTRA_INSTANCE get() const { return handle_; }
    int Check() const { return plugin_.check(handle_); }
    std::string Message() const { return Enum(plugin_, handle_).message; }

private:
    const Plugin& plugin_;
    QUENTRA_INSTANCE handle_;
};

// The bookkeeping values exactly as stored (type and bytes), for before and
// after comparisons.
struct StoredBookkeeping {
    bool keyPresent = false;
    bool countPresent = false, purposePresent = false, stampPresent = false;
    DWORD countType = 0, purposeType = 0, stampType = 0;
    std::string count, purpose, stamp;
    bool operator==(const StoredBookkeeping& o) const;
    std::string Describe() const;
};
StoredBookkeeping ReadBookkeeping();
// BoxPurpose stored as the loader stores it (no terminating zero).
void StorePurpose(const std::string& purpose);
void StoreCount(int count);
void StoreStamp(const std::string& text);

// Local dates.
SYSTEMTIME LocalNow();
SYSTEMTIME LocalDaysFrom(int days);
// The stamp text of a time, "%d-%d-%d %02d:%02d:%02d".
std::string StampOf(const SYSTEMTIME& t);
// PopupFrequency bit of today's weekday.
int TodayBit();

// Runs `commandLine` in the current folder, waits (at most `timeoutMs`) and
// returns its exit code, or -1; stdout and stderr go to `output`, with
// line ends as "\n".
int RunProgram(const std::string& commandLine, std::string* output, DWORD timeoutMs = 60000);

}  // namespace qt
