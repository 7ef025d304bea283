#include "ini_text.h"

#include <windows.h>

#include <algorithm>
#include <cstring>

#include "campaign/format.h"
#include "campaign_arg.h"
#include "codepage.h"
#include "campaign/rules.h"
#include "common/text.h"

std::string Decoded(const std::string& file) {
    const std::vector<unsigned char> v =
        DecodeCampaignBytes(reinterpret_cast<const unsigned char*>(file.data()), file.size());
    return std::string(v.begin(), v.end());
}

std::string Encoded(const std::string& plain) {
    const std::vector<unsigned char> v =
        EncodeCampaignBytes(reinterpret_cast<const unsigned char*>(plain.data()), plain.size());
    return std::string(v.begin(), v.end());
}

namespace {

std::string Trimmed(const char* from, const char* to) {
    while (from < to && (*from == ' ' || *from == '\t')) ++from;
    while (to > from && (to[-1] == ' ' || to[-1] == '\t' || to[-1] == '\r')) --to;
    return std::string(from, to);
}

}  // namespace

std::vector<IniSection> OutlineSections(const std::string& text) {
    std::vector<IniSection> sections;
    const LeadByteTable table = Cp936LeadBytes();
    const std::string z = text.c_str();  // the profile functions stop at a zero byte
    int line = 1;
    for (const char* p = z.c_str(); *p != '\0'; ++line) {
        // One line: its start, its first non-blank, its last ']' and first '='.
        const char* start = p;
        const char* close = nullptr;
        const char* equals = nullptr;
        for (; *p != '\0' && *p != '\n'; p = NextChar(table, p)) {
            if (*p == ']') close = p;
            if (*p == '=' && equals == nullptr) equals = p;
        }
        const char* end = p;
        if (*p == '\n') ++p;
        const char* first = start;
        while (first < end && (*first == ' ' || *first == '\t')) ++first;
        if (first < end && *first == '[' && close != nullptr) {
            sections.push_back({Trimmed(first + 1, close), line, {}});
        } else if (!sections.empty() && equals != nullptr && *first != ';') {
            sections.back().keys.push_back(Trimmed(start, equals));
        }
    }
    return sections;
}

const std::vector<std::string>& CampaignSections() {
    static const std::vector<std::string> names = [] {
        std::vector<std::string> v;
        for (const CampaignKey& key : kCampaignKeys) {
            if (std::find(v.begin(), v.end(), key.section) == v.end()) v.push_back(key.section);
        }
        v.push_back(kGameScanSection);  // its keys are free names, so it has no rows
        return v;
    }();
    return names;
}

bool SameName(const std::string& a, const std::string& b) { return lstrcmpiA(a.c_str(), b.c_str()) == 0; }

bool HasCampaignSection(const std::string& text) {
    for (const IniSection& s : OutlineSections(text)) {
        for (const std::string& name : CampaignSections()) {
            if (SameName(s.name, name)) return true;
        }
    }
    return false;
}

std::string NearestName(const std::string& name, const std::vector<std::string>& names) {
    auto lower = [](std::string s) {
        for (char& c : s) {
            if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        }
        return s;
    };
    const std::string a = lower(name);
    for (const std::string& candidate : names) {
        const std::string b = lower(candidate);
        if (a == b) return std::string();
        // Edit distance with swaps of neighbours, on bytes: the names the
        // plug-in reads are ASCII, so a Chinese name is never near one.
        std::vector<std::vector<std::size_t>> d(a.size() + 1, std::vector<std::size_t>(b.size() + 1));
        for (std::size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
        for (std::size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
        for (std::size_t i = 1; i <= a.size(); ++i) {
            for (std::size_t j = 1; j <= b.size(); ++j) {
                d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + (a[i - 1] != b[j - 1])});
                if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1]) {
                    d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
                }
            }
        }
        if (d[a.size()][b.size()] <= (b.size() >= 8 ? 2u : 1u)) return candidate;
    }
    return std::string();
}

bool LooksLikeUtf8(const std::string& text) {
    bool multibyte = false;
    for (std::size_t i = 0; i < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        std::size_t n = c < 0x80 ? 1 : (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : (c & 0xF8) == 0xF0 ? 4 : 0;
        if (n == 0 || (n == 2 && c < 0xC2) || i + n > text.size()) return false;
        for (std::size_t k = 1; k < n; ++k) {
            if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) return false;
        }
        if (n > 1) multibyte = true;
        i += n;
    }
    return multibyte;
}

std::string Utf8ToCp936(const std::string& utf8, std::string& lost) {
    std::string in = utf8;
    if (in.compare(0, 3, "\xEF\xBB\xBF") == 0) in.erase(0, 3);
    lost.clear();
    const std::wstring wide = Widen(in, CP_UTF8);
    std::string out;
    for (std::size_t i = 0; i < wide.size();) {
        // One character at a time, so that the ones code page 936 lacks are named.
        const std::wstring character = wide.substr(i, IS_HIGH_SURROGATE(wide[i]) && i + 1 < wide.size() ? 2 : 1);
        bool complete = false;
        const std::string bytes = Narrow(character, 936, &complete);
        const std::string named = Narrow(character, CP_UTF8);
        out += complete ? bytes : std::string("?");
        if (!complete && lost.find(named) == std::string::npos) lost += named;
        i += character.size();
    }
    return out;
}

std::string Utf8Fix(const std::string& pathUtf8) {
    return "convert it: " + OtherTool("quentra-campaign") + " convert " + pathUtf8 +
           " campaign-gbk.ini (or, on Windows, save it in the editor as \"Chinese Simplified (GBK)\", code page "
           "936, without a byte order mark)";
}

std::string Utf8Warning(const std::string& pathUtf8, bool encoded) {
    return "the text looks like UTF-8; the plug-in reads code page 936 (GBK), so its Chinese would show as noise; " +
           (encoded ? "decode it, " + Utf8Fix("campaign.ini") + ", and encode that again" : Utf8Fix(pathUtf8));
}

std::string TextToTry(const std::string& plain, bool& converted, std::string& lost) {
    lost.clear();
    converted = LooksLikeUtf8(plain);
    return converted ? Utf8ToCp936(plain, lost) : plain;
}
