#include "environment/stamp.h"

namespace {

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

// One scanf "%d" (maxWidth 0: unlimited): white space, an optional sign,
// then at least one digit. Wraps around instead of overflowing.
bool ScanInt(const char*& p, int maxWidth, std::int32_t& out) {
    while (IsSpace(*p)) ++p;
    const char* q = p;
    int width = 0;
    bool negative = false;
    if (*q == '+' || *q == '-') {
        negative = (*q == '-');
        ++q;
        ++width;
    }
    std::uint32_t value = 0;
    int digits = 0;
    while (*q >= '0' && *q <= '9' && (maxWidth == 0 || width < maxWidth)) {
        value = value * 10u + static_cast<std::uint32_t>(*q - '0');
        ++q;
        ++width;
        ++digits;
    }
    if (digits == 0) return false;
    out = static_cast<std::int32_t>(negative ? 0u - value : value);
    p = q;
    return true;
}

bool Literal(const char*& p, char c) {
    if (*p != c) return false;
    ++p;
    return true;
}

}  // namespace

bool ParsePopupStamp(const char* text, PopupStamp& stamp) {
    stamp = PopupStamp{};
    if (text == nullptr) return false;
    PopupStamp s;
    const char* p = text;
    if (!ScanInt(p, 0, s.year) || !Literal(p, '-') || !ScanInt(p, 0, s.month) || !Literal(p, '-') ||
        !ScanInt(p, 0, s.day)) {
        return false;
    }
    while (IsSpace(*p)) ++p;  // the blank in the format matches any run, or none
    if (!ScanInt(p, 2, s.hour) || !Literal(p, ':') || !ScanInt(p, 2, s.minute) || !Literal(p, ':') ||
        !ScanInt(p, 2, s.second)) {
        return false;
    }
    if (s.year < 1 || s.month < 1 || s.day < 1 || s.hour < 0 || s.minute < 0 || s.second < 0) return false;
    stamp = s;
    return true;
}
