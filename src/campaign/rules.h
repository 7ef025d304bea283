// Pure rules of the campaign format: the file's word mask, the numbers of the
// "AntiVirus%d" entries, and the "\n" escape of messages. No I/O.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "campaign/records.h"
#include "common/text.h"

// The campaign file's XOR mask, applied to every little-endian 32-bit word.
constexpr std::uint32_t kCampaignXorMask = 0x6D2A3C95u;

// XORs `bytes` (a whole number of 32-bit words) word by word, little-endian,
// with kCampaignXorMask. The operation is its own inverse.
void MaskCampaignWords(unsigned char* bytes, std::size_t wordCount);

// What the plug-in decodes from `file`: the bytes completed with 0x20 to a
// whole word, then masked. Empty input gives an empty result.
std::vector<unsigned char> DecodeCampaignBytes(const unsigned char* file, std::size_t length);

// What an author's tool writes for `plain`: padded with spaces to a whole
// word, then masked. Decoding it gives `plain` followed by the spaces.
std::vector<unsigned char> EncodeCampaignBytes(const unsigned char* plain, std::size_t length);

// A number as the loader reads it: blanks and tabs skipped, then "0x" with 1
// to 8 hexadecimal digits (when 3 to 10 bytes remain) or decimal digits added
// to `initial`. No sign, no overflow check: 32-bit wrap-around. Never reads
// more than `length` bytes or past a terminator.
std::int32_t ReadNumber(const char* text, std::int32_t length, std::int32_t initial);

// Three comma-separated numbers. The commas in `text` become zeros. True when
// a third part exists (its numbers in `entry`), else false with `entry` all
// zero.
// `length` bounds the scan; each part is read with its own length, so the
// "0x" form reads.
[[nodiscard]] bool ParseAvEntry(char* text, std::int32_t length, AvEntry& entry);

// Replaces each backslash followed by 'n' by one line feed, left to right,
// stepping by character so that a trail byte 0x5C is never a backslash.
void ExpandLineFeeds(const LeadByteTable& table, TextString& text);
