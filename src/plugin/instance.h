// TcInstance: the plug-in instance behind the host's opaque handle.
//
// Ownership: TCCreate makes it, the host holds the only reference, TCDestory
// deletes it. It owns its members by value and refers to nothing outside
// itself, so report threads never see it and it may be destroyed while one
// runs. One instance must not be called from two threads at once; different
// instances share nothing in memory.
//
// Call order the host follows: CheckPopup; on 1, EnumPopupContent to fetch
// the texts; RunInstallCommand when the user accepts; then destruction. None
// of these asks what an earlier call answered.
#pragma once
#include <cstdint>
#include <set>

#include "campaign/config.h"
#include "common/text.h"

struct CheckTrace;
enum class CheckOutcome;

constexpr std::size_t kComposedMessageSize = 1024;

class TcInstance {
public:
    TcInstance();
    virtual ~TcInstance();
    TcInstance(const TcInstance&) = delete;
    TcInstance& operator=(const TcInstance&) = delete;

    // TCCheck: 1 = show the notification now.
    int CheckPopup();
    // The whole decision on a named campaign file. `record` false is a dry
    // run: no showing is recorded and no report is sent. `trace` receives
    // what each gate saw.
    CheckOutcome EvaluatePopup(const char* campaignPath, bool record, CheckTrace* trace);

    // TCEnum: index 0 only; see the export's contract in the host header.
    int EnumPopupContent(std::int32_t index, char* titleBuffer, std::int32_t titleSize, char* messageBuffer,
                         std::int32_t messageSize, std::int32_t* levelOut, char* commandBuffer,
                         std::int32_t commandSize, std::int32_t* flagOut, char* idBuffer, std::int32_t idSize) const;

    // TCDoCommand: 1 when the installer was started.
    int RunInstallCommand() const;

    // The desktop scan, the last gate. 1 when a message was composed.
    // `refused`, when given, is set when the Message template was refused.
    int ScanDesktopShortcuts(bool* refused = nullptr);
    void CollectShortcutMatches(const char* folder);
    void MatchShortcutName(const char* name, const LeadByteTable& table);
    TextString BuildNameList() const;

    CampaignConfig& Config() { return config_; }
    const CampaignConfig& Config() const { return config_; }
    const TextString& HostConfigPath() const { return hostConfigPath_; }
    const char* ComposedMessage() const { return composedMessage_; }
    const std::set<TextString, AnsiLess>& MatchedNames() const { return matchedNames_; }

private:
    CampaignConfig config_;
    TextString hostConfigPath_;
    char composedMessage_[kComposedMessageSize];
    std::set<TextString, AnsiLess> matchedNames_;
};
