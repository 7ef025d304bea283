// The section loaders behind CampaignConfig, on a decoded (plain) INI file,
// through the system's profile functions so that values read exactly as the
// host's own INI handling reads them (quotes, blanks, case-insensitive
// names). Each fills its record by the format's key table. Every one answers
// false without a file: the profile functions would read win.ini instead.
#pragma once
#include "campaign/records.h"

// [Common]: Purpose, the numbers and the AntiVirus list.
bool LoadCommonSection(const char* iniPath, CommonSettings& common);
// [NoAntiVirus] into `notice`.
bool LoadNoticeSection(const char* iniPath, NoticeRecord& notice);
// [NoAntiVirus] into the game-scan notice, then its [GameScan] lists, which
// it empties first. False when the section stopped at a key it cannot take.
bool LoadGameScan(const char* iniPath, GameScanNoticeRecord& notice);
// One [GameScan] key: true when it was taken, false when it stops the section (a
// name that ends in neither 'm' nor 'o', an empty value, no name or file).
bool AddGameScanEntry(const char* keyName, const char* iniPath, GameScanNoticeRecord& notice);
