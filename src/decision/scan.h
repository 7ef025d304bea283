// The desktop shortcut scan: the last gate of the decision and the only
// place the message is composed. Only file names are looked at, never the
// shortcuts' targets. Free functions on the state the caller owns.
#pragma once
#include <cstddef>
#include <set>

#include "campaign/records.h"
#include "common/text.h"

// The campaign's patterns found in shortcut names, in the code page's order.
using MatchedNames = std::set<TextString, AnsiLess>;

// Scans the current user's desktop: empties `matched`, fills it, and
// composes the message into `message` (`messageSize` bytes). True when a
// message was composed; `refused`, when given, is set when the Message template was
// refused. Initialises COM on the calling thread and leaves it so.
[[nodiscard]] bool ScanDesktopShortcuts(const GameScanNoticeRecord& notice, MatchedNames& matched, char* message,
                         std::size_t messageSize, bool* refused = nullptr);
// The *.lnk names of `folder` (no subfolders), matched into `matched`.
void CollectShortcutMatches(const char* folder, const std::vector<TextString>& patterns, MatchedNames& matched);
// One shortcut name, without its extension: adds the first pattern it holds
// that is not matched yet.
void MatchShortcutName(const char* name, const LeadByteTable& table, const std::vector<TextString>& patterns,
                       MatchedNames& matched);
// The list of names for the message, from what was matched.
TextString BuildNameList(const MatchedNames& matched, const std::vector<TextString>& featured);
