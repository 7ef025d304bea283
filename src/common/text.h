// Text rules shared by every subsystem. Pure: no I/O and no Windows calls, so
// they also build natively for the fuzzers.
//
// Texts are 8-bit strings in the process's ANSI code page (code page 936 for
// the built-in Chinese defaults). Any scan that looks for an ASCII byte must
// step by character, because GBK trail bytes range over 0x40..0xFE and so
// include '\\', 'n' and '%'. The caller supplies the lead-byte table of the
// code page (AnsiLeadBytes() at the Windows edge, Cp936LeadBytes() in tests).
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

// The plug-in's text type. std::string keeps its own bytes; nothing relies on
// copies sharing storage.
using TextString = std::string;

struct LeadByteTable {
    bool lead[256];
};

// Lead bytes of code page 936 (GBK): 0x81..0xFE.
LeadByteTable Cp936LeadBytes();
// A single-byte code page: no lead bytes at all.
LeadByteTable SingleByteTable();

// The next character after `p` (p must point into a zero-terminated text and
// not at its terminator). A lead byte followed by the terminator counts as
// one byte, so a cut double-byte character never steps past the end.
const char* NextChar(const LeadByteTable& table, const char* p);

// Offset of the first occurrence of `needle` in `hay` that begins on a
// character boundary, or npos. Case-sensitive, byte-exact.
std::size_t FindText(const LeadByteTable& table, const char* hay, const char* needle);
constexpr std::size_t kNotFound = static_cast<std::size_t>(-1);

// Ordinal order of the ANSI code page. For well-formed multibyte text this is
// unsigned byte order, which is what std::string's compare gives.
struct AnsiLess {
    bool operator()(const TextString& a, const TextString& b) const { return a < b; }
};

// Copies `source` into a host buffer of `size` bytes. A size of 0 or above
// 0x7FFFFFFF (negative for the host's signed int) leaves `dest` untouched.
// Otherwise the text arrives whole, or cut to size - 1 bytes, and is always
// terminated; no byte beyond `size` is written. Bytes, not characters: a cut
// may leave a lone lead byte before the terminator.
void BoundedCopy(char* dest, std::uint32_t size, const char* source);

// printf-style formatting into `len` bytes, always terminated when len is
// valid. Results: 0 on a fit (exact fit included); kFormatTruncated with the
// cut text in the buffer; kFormatInvalidArg, writing nothing, for a len of 0
// or above 0x7FFFFFFF. Callers test for a negative result.
constexpr std::int32_t kFormatInvalidArg = static_cast<std::int32_t>(0x80070057u);
constexpr std::int32_t kFormatTruncated = static_cast<std::int32_t>(0x8007007Au);
[[nodiscard]] std::int32_t FormatBounded(char* buffer, std::size_t len, const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 3, 4)))
#endif
    ;

// The download address as the installer's "/URL:" argument. The installer
// reads the rest of its command line as the address, so a blank or a quote
// would end the argument there and let the campaign add arguments of its
// own: a blank becomes %20 and a quote %22, which every web client reads as
// the same address. False, with `argument` empty, when the address holds a
// control character (0x00-0x1F, 0x7F), which no escape can carry to the
// installer as the campaign meant it. Steps by character: a double-byte
// character is text whatever its bytes.
bool InstallerArgument(const LeadByteTable& table, const char* url, TextString& argument);
