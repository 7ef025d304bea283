// The balloon a tray shows for a notification, as the ANSI notification
// structure holds it, for every tool that measures or draws one
// (quentra-campaign check, quentra-host preview).
//
// Contract: a balloon shows at most kBalloonTitleBytes of title and
// kBalloonTextBytes of text (NOTIFYICONDATAA's szInfoTitle[64] and
// szInfo[256], terminator aside). A text that is longer is cut where a host
// should cut it: after the last whole character within the limit, never
// inside a double-byte character. WrapBalloonText lays a text out in lines
// of a given width, as a tray does, by inserting line feeds at character
// boundaries (a blank where a line breaks becomes the line feed). Pure: no
// I/O; widths come from the caller.
#pragma once
#include <windows.h>
#include <shellapi.h>

#include <cstddef>
#include <string>

#include "common/text.h"

constexpr std::size_t kBalloonTitleBytes = 63;
constexpr std::size_t kBalloonTextBytes = 255;
static_assert(sizeof(NOTIFYICONDATAA::szInfoTitle) == kBalloonTitleBytes + 1, "the title field changed size");
static_assert(sizeof(NOTIFYICONDATAA::szInfo) == kBalloonTextBytes + 1, "the text field changed size");

struct BalloonCut {
    std::size_t kept;      // bytes that show: whole characters only
    bool splitsCharacter;  // a cut at exactly `limit` bytes falls inside a character
};

// Where a text of more than `limit` bytes is cut; a shorter one keeps all.
inline BalloonCut CutForBalloon(const LeadByteTable& table, const char* text, std::size_t limit) {
    std::size_t kept = 0;
    for (const char* p = text; *p != '\0';) {
        const char* next = NextChar(table, p);
        const std::size_t end = static_cast<std::size_t>(next - text);
        if (end > limit) return {kept, kept < limit};
        kept = end;
        p = next;
    }
    return {kept, false};
}

// `text` in lines no wider than `maxWidth`, where widthOf(first, next) is the
// width of the character [first, next). A line breaks after its last blank
// when the character that overflows is inside a word of single-byte letters,
// else before that character; a character wider than a line stands alone.
template <typename WidthOf>
std::string WrapBalloonText(const LeadByteTable& table, const std::string& text, int maxWidth, WidthOf widthOf) {
    std::string out;
    std::size_t lineStart = 0;                 // offset in `out` of the current line
    std::size_t lastBlank = std::string::npos;  // offset in `out` of its last blank
    auto widthFrom = [&](std::size_t from) {
        int w = 0;
        for (const char* q = out.c_str() + from; *q != '\0';) {
            const char* n = NextChar(table, q);
            w += widthOf(q, n);
            q = n;
        }
        return w;
    };
    int width = 0;
    for (const char* p = text.c_str(); *p != '\0';) {
        const char* next = NextChar(table, p);
        const bool single = next - p == 1;
        if (single && *p == '\n') {
            out += '\n';
            lineStart = out.size();
            lastBlank = std::string::npos;
            width = 0;
            p = next;
            continue;
        }
        const int w = widthOf(p, next);
        if (width + w > maxWidth && out.size() > lineStart) {
            const bool inWord = single && *p != ' ' && *p != '\t';
            if (inWord && lastBlank != std::string::npos) {
                out[lastBlank] = '\n';  // the word moves down whole
                lineStart = lastBlank + 1;
            } else {
                out += '\n';
                lineStart = out.size();
            }
            lastBlank = std::string::npos;
            width = widthFrom(lineStart);
            if (single && *p == ' ' && out.size() == lineStart) {  // no blank opens a line
                p = next;
                continue;
            }
        }
        if (single && *p == ' ') lastBlank = out.size();
        out.append(p, next);
        width += w;
        p = next;
    }
    return out;
}
