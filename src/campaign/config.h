// CampaignConfig: one campaign in memory, owned by value by its TcInstance.
//
// Construction gives every field its built-in default and asks the system
// once whether it is 64-bit. LoadCampaignFile refills the object from an
// encoded campaign file; which fields a load overwrites, empties or keeps is
// the format's key table (see the loader). Used on the host's calling thread
// only; no lock.
#pragma once
#include <cstdint>

#include "campaign/records.h"

struct SectionReader;

// Whether reading [Common] compares the campaign's Purpose with the one the
// machine has stored, and restarts the popup count and stamp when it changed.
// The plug-in always updates; the campaign tool reads an author's file and
// must leave the author's own machine as it was.
enum class PurposeBookkeeping { Update, Leave };

class CampaignConfig {
public:
    CampaignConfig();
    virtual ~CampaignConfig();

    // 1 when the file was decoded (whatever the sections held), 0 when it
    // could not be: then nothing has changed. Decodes into a temporary file
    // of its own, reads it and deletes it on every path.
    int LoadCampaignFile(const char* campaignPath, PurposeBookkeeping bookkeeping = PurposeBookkeeping::Update);

    // The section loaders, on a decoded (plain) INI file. The campaign tool
    // calls LoadPlainFile to read a .ini as the plug-in would read its .dat.
    int LoadPlainFile(const char* iniPath, PurposeBookkeeping bookkeeping = PurposeBookkeeping::Update);
    int LoadCommonSection(const char* iniPath, PurposeBookkeeping bookkeeping = PurposeBookkeeping::Update);
    int LoadNoAvNotice(const char* iniPath);
    int LoadGameScan(const char* iniPath);
    int AddGameScanEntry(const char* keyName, const char* iniPath);

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

// Reads the [NoAntiVirus] keys into `notice`. 0 when the reader is unusable.
int ReadNoticeRecord(const SectionReader& reader, NoticeRecord& notice);
