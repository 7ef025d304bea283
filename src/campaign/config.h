// CampaignConfig: one campaign in memory, owned by value by its TcInstance.
//
// Construction gives every field its built-in default and keeps the answer
// to whether the system is 64-bit, which its owner asked the system once
// (the plug-in's workspace does; a config made only to read a file, as the
// campaign tool's, has no use for it). LoadCampaignFile refills the object from an
// encoded campaign file; which fields a load overwrites, empties or keeps is
// the format's key table (campaign/format.h). A load only reads: what the
// machine stores about the campaign (its purpose, the popup count) is the
// caller's business. Used on the host's calling thread only; no lock.
#pragma once
#include <cstdint>

#include "campaign/records.h"

class CampaignConfig {
public:
    explicit CampaignConfig(std::int32_t is64Bit = 0);

    // True when the file was decoded (whatever the sections held), false
    // when it could not be: then nothing has changed. Decodes into a temporary file
    // of its own, reads it and deletes it on every path.
    [[nodiscard]] bool LoadCampaignFile(const char* campaignPath);
    // A decoded (plain) INI file, read as the plug-in reads its .dat; for
    // quentra-campaign, which checks an author's .ini. False, reading
    // nothing, without a path: the profile functions would read win.ini.
    [[nodiscard]] bool LoadPlainFile(const char* iniPath);

    const CommonSettings& Common() const { return common_; }
    const NoticeRecord& NoAvNotice() const { return noAvNotice_; }
    const GameScanNoticeRecord& GameScanNotice() const { return gameScanNotice_; }
    std::int32_t Is64Bit() const { return is64Bit_; }

private:
    CommonSettings common_;
    NoticeRecord noAvNotice_;
    GameScanNoticeRecord gameScanNotice_;
    std::int32_t is64Bit_;
};
