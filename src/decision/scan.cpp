// The desktop shortcut scan: the last gate of the decision and the only
// place the message is composed. Only file names are looked at, never the
// shortcuts' targets.
#include <windows.h>
#include <objbase.h>
#include <shlobj.h>
#include <shlwapi.h>

#include "common/ansi.h"
#include "common/handles.h"
#include "decision/compose.h"
#include "plugin/instance.h"

int TcInstance::ScanDesktopShortcuts(bool* refused) {
    if (refused != nullptr) *refused = false;
    // Left initialised on the host's thread: the shell folder lookup may need
    // COM, and uninitialising here could tear down the host's own apartment.
    CoInitialize(nullptr);
    matchedNames_.clear();
    char desktop[MAX_PATH] = {};
    if (!SHGetSpecialFolderPathA(nullptr, desktop, CSIDL_DESKTOP, FALSE)) return 0;
    CollectShortcutMatches(desktop);
    if (matchedNames_.empty()) return 0;
    const TextString list = BuildNameList();
    // The template is the campaign's text: it is filled by our own rule,
    // never handed to printf, and a template that is not safe to fill is
    // refused.
    if (!ComposeMessage(AnsiLeadBytes(), config_.GameScanNotice().Message.c_str(), list.c_str(), composedMessage_,
                        kComposedMessageSize)) {
        if (refused != nullptr) *refused = true;
        return 0;
    }
    return 1;
}

void TcInstance::CollectShortcutMatches(const char* folder) {
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
        MatchShortcutName(entry.cFileName, table);
    } while (FindNextFileA(find.get(), &entry));
}

void TcInstance::MatchShortcutName(const char* name, const LeadByteTable& table) {
    for (const TextString& pattern : config_.GameScanNotice().ScanPatterns) {
        if (FindText(table, name, pattern.c_str()) == kNotFound) continue;
        if (matchedNames_.count(pattern) != 0) continue;
        matchedNames_.insert(pattern);
        return;
    }
}

TextString TcInstance::BuildNameList() const {
    if (matchedNames_.empty()) return TextString();
    return BuildNameListRule(*matchedNames_.begin(), config_.GameScanNotice().FeaturedNames);
}
