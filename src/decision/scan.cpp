#include "decision/scan.h"

#include <windows.h>
#include <objbase.h>
#include <shlobj.h>
#include <shlwapi.h>

#include "common/ansi.h"
#include "common/handles.h"
#include "decision/compose.h"

bool ScanDesktopShortcuts(const GameScanNoticeRecord& notice, MatchedNames& matched, char* message,
                         std::size_t messageSize, bool* refused) {
    if (refused != nullptr) *refused = false;
    // Left initialised on the host's thread: the shell folder lookup may need
    // COM, and uninitialising here could tear down the host's own apartment.
    CoInitialize(nullptr);
    matched.clear();
    char desktop[MAX_PATH] = {};
    if (!SHGetSpecialFolderPathA(nullptr, desktop, CSIDL_DESKTOP, FALSE)) return false;
    CollectShortcutMatches(desktop, notice.ScanPatterns, matched);
    if (matched.empty()) return false;
    const TextString list = BuildNameList(matched, notice.FeaturedNames);
    // The template is the campaign's text: it is filled by our own rule,
    // never handed to printf, and a template that is not safe to fill is
    // refused.
    if (!ComposeMessage(AnsiLeadBytes(), notice.Message.c_str(), list.c_str(), message, messageSize)) {
        if (refused != nullptr) *refused = true;
        return false;
    }
    return true;
}

void CollectShortcutMatches(const char* folder, const std::vector<TextString>& patterns, MatchedNames& matched) {
    if (!PathFileExistsA(folder)) return;
    char pattern[MAX_PATH] = {};
    if (PathCombineA(pattern, folder, "*.lnk") == nullptr) return;
    WIN32_FIND_DATAA entry;
    UniqueFindHandle find(FindFirstFileA(pattern, &entry));
    if (!find) return;
    const LeadByteTable table = AnsiLeadBytes();  // asked once per scan, not per name
    do {
        PathRemoveExtensionA(entry.cFileName);
        if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) continue;
        MatchShortcutName(entry.cFileName, table, patterns, matched);
    } while (FindNextFileA(find.get(), &entry));
}

void MatchShortcutName(const char* name, const LeadByteTable& table, const std::vector<TextString>& patterns,
                       MatchedNames& matched) {
    for (const TextString& pattern : patterns) {
        if (FindText(table, name, pattern.c_str()) == kNotFound) continue;
        if (matched.count(pattern) != 0) continue;
        matched.insert(pattern);
        return;
    }
}

TextString BuildNameList(const MatchedNames& matched, const std::vector<TextString>& featured) {
    if (matched.empty()) return TextString();
    return BuildNameListRule(*matched.begin(), featured);
}
