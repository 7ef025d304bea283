// Text for people: identifiers shown as UTF-8, and the escaping that keeps
// whatever a machine sent from becoming markup, a CSV column or a formula.
// Every identifier is attacker-chosen bytes; nothing here trusts it.
#pragma once
#include <iconv.h>

#include <memory>
#include <string>
#include <string_view>

namespace reports {

// Converts code page 936 bytes (what the plug-in sends) to UTF-8 with glibc's
// iconv. A byte that starts no valid character becomes U+FFFD and the
// conversion goes on after it, so every identifier can be shown. One
// converter per thread: iconv keeps state.
class Cp936ToUtf8 {
public:
    Cp936ToUtf8();  // throws std::runtime_error when glibc lacks CP936
    std::string operator()(std::string_view bytes);

private:
    struct Close {
        void operator()(void* cd) const { iconv_close(static_cast<iconv_t>(cd)); }
    };
    std::unique_ptr<void, Close> cd_;
};

// & < > " ' as entities.
std::string HtmlEscape(std::string_view text);
// A CSV field (RFC 4180): quoted when it holds , or ", quotes doubled.
// A field starting with = + - @ TAB or CR gets a leading ' so a spreadsheet
// takes it as text, not as a formula; C0 controls, DEL and C1 controls are
// written as \u00XX, so that no row holds a line break or a terminal escape.
std::string CsvField(std::string_view text);
// A JSON string literal, quotes included; control characters as \u00XX.
std::string JsonString(std::string_view text);
// Lowercase hex of the bytes: the identifier exactly, whatever it holds.
std::string Hex(std::string_view bytes);

}  // namespace reports
