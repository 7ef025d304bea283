// The campaign's text as bytes, before the profile functions read it: the
// mask, the sections as the file spells them (so a section given twice is
// seen, which the profile functions hide), the encoding the author saved it
// in, and how near a misspelt name is to one the plug-in reads.
//
// Contract: pure apart from the code page conversion; every scan steps by
// character of code page 936. Section names are those of the format's key
// table and [GameScan].
#pragma once
#include <cstddef>
#include <string>
#include <vector>

std::string Decoded(const std::string& file);
std::string Encoded(const std::string& plain);

// One "[name]" line of the text, and the key names under it.
struct IniSection {
    std::string name;  // blanks around it removed
    int line;          // 1-based
    std::vector<std::string> keys;
};
std::vector<IniSection> OutlineSections(const std::string& text);

// The sections the plug-in reads: [Common], [NoAntiVirus], [GameScan].
const std::vector<std::string>& CampaignSections();
bool SameName(const std::string& a, const std::string& b);
// True when some line of `text` opens one of the campaign's sections.
bool HasCampaignSection(const std::string& text);
// Of `names`, the one `name` is a likely misspelling of (one or two letters
// off, by length), or empty. A name equal but for letter case is not one.
std::string NearestName(const std::string& name, const std::vector<std::string>& names);

// Valid UTF-8 with at least one multibyte sequence (or a byte order mark):
// an INI saved in UTF-8, whose Chinese the plug-in would show as noise.
bool LooksLikeUtf8(const std::string& text);
// The UTF-8 text in code page 936, without a byte order mark; `lost` gets
// the characters that code page lacks (UTF-8), which become '?'.
std::string Utf8ToCp936(const std::string& utf8, std::string& lost);
// The fix an author runs, named for `path`.
std::string Utf8Fix(const std::string& pathUtf8);
// The warning about a campaign text saved as UTF-8, with the fix for the
// file named `pathUtf8`: converted, and an encoded one decoded first and
// encoded again.
std::string Utf8Warning(const std::string& pathUtf8, bool encoded);
// A campaign's plain text as every tool tries it: a UTF-8 text converted to
// code page 936, as its author meant it (`converted`; `lost` gets what that
// code page lacks), any other text as it is.
std::string TextToTry(const std::string& plain, bool& converted, std::string& lost);
