// The section loaders behind CampaignConfig, on a decoded (plain) INI file,
// through the system's profile functions so that values read exactly as the
// host's own INI handling reads them (quotes, blanks, case-insensitive
// names). Each fills its record by the format's key table. Every one answers
// 0 without a file: the profile functions would read win.ini instead.
#pragma once
#include "campaign/records.h"

// [Common]: Purpose, the numbers and the AntiVirus list.
int LoadCommonSection(const char* iniPath, CommonSettings& common);
// [NoAntiVirus] into `notice`.
int LoadNoticeSection(const char* iniPath, NoticeRecord& notice);
// [NoAntiVirus] into the game-scan notice, then its [GameScan] lists, which
// it empties first. 0 when the section stopped at a key it cannot take.
int LoadGameScan(const char* iniPath, GameScanNoticeRecord& notice);
// One [GameScan] key: 1 when it was taken, 0 when it stops the section (a
// name that ends in neither 'm' nor 'o', an empty value, no name or file).
int AddGameScanEntry(const char* keyName, const char* iniPath, GameScanNoticeRecord& notice);
