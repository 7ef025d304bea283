// What `quentra-campaign describe FILE --json` prints, read back: the facts
// of the campaign file as the plug-in's own loader read them, for `campaign
// add ... -`. The deployed file stays the one source of them. Pure: no I/O.
#pragma once
#include <string>

#include "ledger.h"

namespace reports {

// Fills the campaign's id, purpose, maxPopups, weekdays, title and patterns
// from the JSON's ID, Purpose, MaxPopupTimes, PopupFrequency, Title and
// ScanPatterns. Empty when it could; else why not.
std::string ReadCampaignFacts(const std::string& json, Campaign& campaign);

}  // namespace reports
