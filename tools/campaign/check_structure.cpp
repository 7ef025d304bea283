// check: the [GameScan] walk as the plug-in makes it, and the file's shape:
// sections and keys the plug-in never reads, given twice, or misspelt.
#include <windows.h>

#include <algorithm>
#include <cstring>

#include "checker.h"
#include "output.h"

void Checker::GameScan() {
    const GameScanNoticeRecord& n = config_.GameScanNotice();
    auto list = [](const std::vector<TextString>& values) {
        std::string out;
        for (const TextString& v : values) out += (out.empty() ? "" : ", ") + Quoted(v);
        return out.empty() ? std::string("none") : out;
    };
    report_ += "\n[GameScan]\n";
    Line("ScanPatterns", "(" + std::to_string(n.ScanPatterns.size()) + ") " + list(n.ScanPatterns),
         "every name a desktop shortcut is searched for");
    Line("FeaturedNames", "(" + std::to_string(n.FeaturedNames.size()) + ") " + list(n.FeaturedNames),
         "keys ending in m; the message lists up to three");

    // Walk the key names as the plug-in does, to name the key that stops it.
    const std::vector<std::string> seen = ini_.GameScanNames();
    std::size_t stop = seen.size();
    std::string why;
    for (std::size_t i = 0; i < seen.size(); ++i) {
        const std::string& key = seen[i];
        const std::string value = ini_.Value(kGameScanSection, key);
        if (ClassifyGameScanKey(key.c_str()) == GameScanKeyKind::Stop) {
            const char last = key.back();
            why = std::string("ends in '") + Utf8(std::string(1, last)) + "', not 'm' (featured) or 'o' (pattern)";
            if (last == 'M' || last == 'O') why += "; the test is case-sensitive";
        } else if (value.empty()) {
            why = "has an empty value";
        } else {
            if (value.size() > kGameScanCapacity - 1) {
                Warn("[GameScan] " + Utf8(key) + " is " + std::to_string(value.size()) +
                     " bytes long: the plug-in cuts it to " + std::to_string(kGameScanCapacity - 1));
            }
            continue;
        }
        stop = i;
        break;
    }
    // The plug-in's list of key names may end before the section, perhaps
    // inside a name; the walk then ends there.
    const bool partialName = stop < seen.size() && (stop >= gameScan_.size() || seen[stop] != gameScan_[stop]);
    const bool listCut = seen.size() < gameScan_.size() || partialName;
    auto after = [&](std::size_t from) {
        std::string hidden;
        for (std::size_t i = from; i < gameScan_.size(); ++i) hidden += (hidden.empty() ? "" : ", ") + Utf8(gameScan_[i]);
        return hidden;
    };
    if (listCut && (stop == seen.size() || partialName)) {
        Warn("the [GameScan] key names take more than the " + std::to_string(kGameScanCapacity - 1) +
             " bytes the plug-in reads: it never sees " + after(std::min(stop, seen.size())) +
             "; use shorter key names");
    } else if (stop < seen.size()) {
        const std::string hidden = after(stop + 1);
        Warn("[GameScan] key " + Quoted(seen[stop]) + " " + why + ": it stops the section" +
             (hidden.empty() ? std::string() : "; the plug-in never reads the keys after it: " + hidden));
    }
    if (n.ScanPatterns.empty()) {
        Warn("[GameScan] gives no pattern: the plug-in never shows this campaign; give it a key ending in o (a name "
             "to look for) or m (a featured name) with a value, e.g. g1o=Copperwing, before any key that ends "
             "otherwise");
    }
    for (const std::string& v : n.ScanPatterns) CheckText(kGameScanSection, "value", v);
}

void Checker::Structure() {
    const std::vector<std::string>& known = CampaignSections();
    const std::string knownList = "[Common], [NoAntiVirus] and [GameScan]";
    for (const std::string& section : ini_.List(nullptr)) {
        if (std::any_of(known.begin(), known.end(), [&](const std::string& k) { return SameName(section, k); })) {
            continue;
        }
        const std::string guess = NearestName(section, known);
        Warn("section [" + Utf8(section) + "] is ignored: the plug-in reads " + knownList + " only" +
             (guess.empty() ? std::string() : "; did you mean [" + guess + "]?"));
    }
    // The profile functions read the first of two sections of one name and
    // hide the second, so the text itself is looked at.
    for (std::size_t i = 0; i < outline_.size(); ++i) {
        const IniSection& first = outline_[i];
        bool earlier = false;
        for (std::size_t j = 0; j < i && !earlier; ++j) earlier = SameName(outline_[j].name, first.name);
        if (earlier) continue;
        std::string lines, ignored;
        for (std::size_t j = i + 1; j < outline_.size(); ++j) {
            if (!SameName(outline_[j].name, first.name)) continue;
            lines += " and " + std::to_string(outline_[j].line);
            for (const std::string& k : outline_[j].keys) ignored += (ignored.empty() ? "" : ", ") + Utf8(k);
        }
        if (lines.empty()) continue;
        Warn("section [" + Utf8(first.name) + "] is given more than once (lines " + std::to_string(first.line) + lines +
             "): the plug-in reads the first only" + (ignored.empty() ? "" : ", so it never sees " + ignored) +
             "; merge them into one [" + Utf8(first.name) + "]");
    }
    auto duplicates = [&](const char* section, const std::vector<std::string>& keys) {
        for (std::size_t i = 0; i < keys.size(); ++i) {
            for (std::size_t j = 0; j < i; ++j) {
                if (SameName(keys[i], keys[j])) {
                    Warn("[" + std::string(section) + "] " + Utf8(keys[i]) +
                         " appears more than once: every read gets the first value");
                    break;
                }
            }
        }
    };
    duplicates(kCommonSection, common_);
    duplicates(kNoticeSection, notice_);
    duplicates(kGameScanSection, gameScan_);
    for (const char* section : {kCommonSection, kNoticeSection}) {
        std::vector<std::string> names;
        for (const CampaignKey& key : kCampaignKeys) {
            if (std::strcmp(key.section, section) == 0) names.push_back(key.name);
        }
        for (const std::string& key : KeysOf(section)) {
            const bool listed = std::strcmp(section, kCommonSection) == 0 &&
                                _strnicmp(key.c_str(), kAntiVirusKeyPrefix, sizeof kAntiVirusKeyPrefix - 1) == 0;
            if (FindCampaignKey(section, key.c_str()) != nullptr || listed) continue;
            const std::string guess = NearestName(key, names);
            Warn("[" + std::string(section) + "] " + Utf8(key) + " is not a key the plug-in reads: it is ignored" +
                 (guess.empty() ? std::string() : "; did you mean " + guess + "?"));
        }
    }
}
