// describe: what the plug-in's own loader reads from a campaign file, as
// JSON for the report receiver's ledger (`quentra-reports campaign add ...
// -`): so the deployed file stays the one source of the campaign's facts.
#include <cstdio>

#include "commands.h"
#include "loaded.h"
#include "output.h"

namespace {

// A JSON string of UTF-8 text: controls, quotes and backslashes as \u00XX.
std::string JsonText(const std::string& utf8) {
    std::string out = "\"";
    for (const char c : utf8) {
        if (static_cast<unsigned char>(c) >= 0x20 && c != '"' && c != '\\') {
            out.push_back(c);
            continue;
        }
        char escaped[8];
        std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned char>(c));
        out += escaped;
    }
    return out + "\"";
}

std::string JsonList(const std::vector<TextString>& texts) {
    std::string out = "[";
    for (const TextString& t : texts) out += (out.size() > 1 ? "," : "") + JsonText(Utf8(t));
    return out + "]";
}

}  // namespace

int Describe(const std::string& path) {
    LoadedCampaign loaded;
    const std::string failed = LoadAsThePlugin(path, loaded);
    if (!failed.empty()) return Error(failed);
    // Converted, the text is not what the plug-in would read: its facts
    // would be the fix's, not the deployed file's.
    if (loaded.utf8) {
        return Error(AnsiToUtf8(path) + " is UTF-8 text; the plug-in reads code page 936, so what it would load is "
                     "noise; " + loaded.utf8Fix + ", and describe that");
    }
    const CommonSettings& common = loaded.config.Common();
    const GameScanNoticeRecord& notice = loaded.config.GameScanNotice();
    Out("{\"file\":" + JsonText(AnsiToUtf8(path)) + ",\"ID\":" + JsonText(Utf8(notice.ID)) +
        ",\"Purpose\":" + JsonText(Utf8(common.Purpose)) +
        ",\"MaxPopupTimes\":" + std::to_string(common.MaxPopupTimes) +
        ",\"PopupFrequency\":" + std::to_string(common.PopupFrequency) + ",\"Title\":" + JsonText(Utf8(notice.Title)) +
        ",\"ScanPatterns\":" + JsonList(notice.ScanPatterns) + ",\"FeaturedNames\":" + JsonList(notice.FeaturedNames) +
        "}\n");
    return kExitOk;
}
