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
// passed. Every write says whether it was stored, and the decision fails
// closed on each: no showing unless the purpose, the stamp and the count
// could be stored.
#pragma once
#include <cstdint>

#include "common/text.h"
#include "environment/stamp.h"

constexpr char kBookkeepingKey[] = "SOFTWARE\\CorvelSafe\\Tavrik";
constexpr char kPopupCountValue[] = "BoxPopupCount";
constexpr char kPurposeValue[] = "BoxPurpose";
constexpr char kLastPopupValue[] = "BoxLastestPopupDay";

std::int32_t ReadPopupCount();
[[nodiscard]] bool WritePopupCount(std::int32_t count);
[[nodiscard]] bool IncreasePopupCount();
bool IsSamePurpose(const TextString& purpose);
[[nodiscard]] bool WritePurpose(const TextString& purpose);
// Fills `stamp` from the stored text; all zero when there is no valid stamp.
// `text`, when given, receives the stored text as read (for diagnostics).
void ReadLastPopupTime(PopupStamp& stamp, TextString* text = nullptr);
[[nodiscard]] bool WriteLastPopupTime();
void ResetPopupRecord();
// A campaign whose Purpose differs from the stored one starts a new record:
// the new purpose is stored first, then the count and the stamp are deleted.
// False, deleting nothing, when the new purpose could not be stored: the
// next load would find the old purpose again and reset the count at every
// check, so MaxPopupTimes would never hold.
[[nodiscard]] bool RestartRecordForPurpose(const TextString& purpose);
// True only when both the stamp and the new count were stored.
[[nodiscard]] bool RecordPopupShown();
