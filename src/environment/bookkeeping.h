// Popup bookkeeping: how often the notification was shown for which campaign
// purpose, and when it was shown last. Three values under HKEY_LOCAL_MACHINE
// "SOFTWARE\CorvelSafe\Tavrik", shared by every process and user of the
// machine. Free functions without state. A missing or unreadable value reads
// as count 0, empty purpose or no stamp, so recording a showing reports
// whether it was stored: a showing that leaves no trace must not happen, or
// a machine whose bookkeeping cannot be written shows at every check.
//
// The decision calls RestartRecordForPurpose after each load, reads the count
// and the stamp for its gates and calls RecordPopupShown once every gate has
// passed.
#pragma once
#include <cstdint>

#include "common/text.h"
#include "environment/stamp.h"

constexpr char kBookkeepingKey[] = "SOFTWARE\\CorvelSafe\\Tavrik";
constexpr char kPopupCountValue[] = "BoxPopupCount";
constexpr char kPurposeValue[] = "BoxPurpose";
constexpr char kLastPopupValue[] = "BoxLastestPopupDay";

std::int32_t ReadPopupCount();
long WritePopupCount(std::int32_t count);
bool IncreasePopupCount();
int IsSamePurpose(const TextString& purpose);
int WritePurpose(const TextString& purpose);
// Fills `stamp` from the stored text; all zero when there is no valid stamp.
// `text`, when given, receives the stored text as read (for diagnostics).
void ReadLastPopupTime(PopupStamp& stamp, TextString* text = nullptr);
bool WriteLastPopupTime();
void ResetPopupRecord();
// A campaign whose Purpose differs from the stored one starts a new record:
// the new purpose is stored first, then the count and the stamp are deleted.
void RestartRecordForPurpose(const TextString& purpose);
// True only when both the stamp and the new count were stored.
bool RecordPopupShown();
