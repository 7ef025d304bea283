#include "actions/url.h"

#include <cstring>

namespace {

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool StartsWithNoCase(const char* text, const char* prefix) {
    for (; *prefix != '\0'; ++text, ++prefix) {
        if (Lower(*text) != Lower(*prefix)) return false;
    }
    return true;
}

bool IsControlOrBlank(unsigned char c) { return c <= 0x20 || c == 0x7F; }

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsHexDigit(char c) { return IsDigit(c) || (Lower(c) >= 'a' && Lower(c) <= 'f'); }

// "A.B.C.D", each part 0-255 in decimal, "0" the only part that starts with 0.
bool IsDottedQuad(const char* begin, const char* end) {
    int parts = 0;
    for (const char* p = begin;;) {
        const char* start = p;
        unsigned value = 0;
        while (p != end && IsDigit(*p) && p - start < 3) value = value * 10 + static_cast<unsigned>(*p++ - '0');
        if (p == start || value > 255 || (*start == '0' && p - start > 1)) return false;
        if (++parts == 4) return p == end;
        if (p == end || *p != '.') return false;
        ++p;
    }
}

// Eight groups of one to four hex digits separated by ':', one run of them
// written "::", the last two groups possibly a dotted quad. No zone.
bool IsIpv6Address(const char* begin, const char* end) {
    int groups = 0;
    bool elided = false;
    const char* p = begin;
    if (end - p >= 2 && p[0] == ':' && p[1] == ':') {
        elided = true;
        p += 2;
    }
    while (p != end) {
        const char* q = p;
        while (q != end && IsHexDigit(*q) && q - p < 5) ++q;
        if (q != end && *q == '.') {
            if (!IsDottedQuad(p, end)) return false;
            groups += 2;
            break;
        }
        if (q == p || q - p > 4) return false;
        ++groups;
        p = q;
        if (p == end) break;
        if (*p++ != ':' || p == end) return false;
        if (*p == ':') {
            if (elided) return false;
            elided = true;
            ++p;
        }
    }
    return elided ? groups <= 7 : groups == 8;
}

// The resolvers read a last label of digits, or of "0x" and hex digits, as
// (part of) an IPv4 address in a form of their own.
bool IsNumericLabel(const char* begin, const char* end) {
    const bool hex = end - begin >= 2 && begin[0] == '0' && Lower(begin[1]) == 'x';
    for (const char* p = hex ? begin + 2 : begin; p != end; ++p) {
        if (hex ? !IsHexDigit(*p) : !IsDigit(*p)) return false;
    }
    return true;
}

bool IsHostName(const char* begin, const char* end) {
    if (end != begin && end[-1] == '.') --end;
    if (begin == end || end - begin > 253) return false;
    for (const char* label = begin, *p = begin;; ++p) {
        if (p == end || *p == '.') {
            if (p == label || p - label > 63) return false;
            if (p == end) return !IsNumericLabel(label, p);
            label = p + 1;
        } else if (!IsDigit(*p) && !(Lower(*p) >= 'a' && Lower(*p) <= 'z') && *p != '-' && *p != '_') {
            return false;
        }
    }
}

// "HOST[:PORT]" from [begin, end): a bracketed IPv6 literal keeps its colons.
bool SplitAuthority(const char* begin, const char* end, TextString& host, unsigned& port) {
    host.clear();
    port = 80;
    if (begin == end) return false;
    const char* hostEnd = end;
    const char* portAt = nullptr;
    bool bracketed = false;
    if (*begin == '[') {
        const char* close = static_cast<const char*>(std::memchr(begin, ']', static_cast<std::size_t>(end - begin)));
        if (close == nullptr) return false;
        host.assign(begin + 1, close);
        bracketed = true;
        if (close + 1 != end) {
            if (close[1] != ':') return false;
            portAt = close + 2;
        }
    } else {
        for (const char* p = begin; p != end; ++p) {
            if (*p == ':') {
                hostEnd = p;
                portAt = p + 1;
                break;
            }
        }
        host.assign(begin, hostEnd);
    }
    if (!IsPlainHost(host, bracketed)) return false;
    if (portAt != nullptr) {
        if (portAt == end || end - portAt > 5) return false;
        unsigned value = 0;
        for (const char* p = portAt; p != end; ++p) {
            if (*p < '0' || *p > '9') return false;
            value = value * 10 + static_cast<unsigned>(*p - '0');
        }
        if (value == 0 || value > 65535) return false;
        port = value;
    }
    return true;
}

// Whether `text` (of `length` bytes) matches `pattern`, where '*' stands for
// any run, without regard to ASCII case. Iterative, so a hostile pattern
// costs length × pattern steps at most.
bool WildcardMatch(const char* pattern, std::size_t patternLength, const char* text, std::size_t length) {
    std::size_t p = 0, t = 0, star = patternLength, resume = 0;
    while (t < length) {
        if (p < patternLength && pattern[p] == '*') {
            star = p++;
            resume = t;
        } else if (p < patternLength && Lower(pattern[p]) == Lower(text[t])) {
            ++p;
            ++t;
        } else if (star != patternLength) {
            p = star + 1;
            t = ++resume;
        } else {
            return false;
        }
    }
    while (p < patternLength && pattern[p] == '*') ++p;
    return p == patternLength;
}

bool IsListSeparator(char c, bool commas) {
    return c == ';' || c == ' ' || c == '\t' || c == '\r' || c == '\n' || (commas && c == ',');
}

}  // namespace

TextString PercentEncode(const char* text) {
    static const char kHex[] = "0123456789ABCDEF";
    TextString out;
    if (text == nullptr) return out;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p != 0; ++p) {
        const unsigned char c = *p;
        const bool unreserved = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                                c == '-' || c == '.' || c == '_' || c == '~';
        if (unreserved) {
            out.push_back(static_cast<char>(c));
        } else {
            out.push_back('%');
            out.push_back(kHex[c >> 4]);
            out.push_back(kHex[c & 0x0F]);
        }
    }
    return out;
}

bool IsPlainHost(const TextString& host, bool bracketed) {
    const char* begin = host.data();
    const char* end = begin + host.size();
    return bracketed ? IsIpv6Address(begin, end) : IsDottedQuad(begin, end) || IsHostName(begin, end);
}

bool SplitHttpUrl(const char* url, HttpUrl& out) {
    out = HttpUrl();
    if (url == nullptr || !StartsWithNoCase(url, "http://")) return false;
    const char* authority = url + 7;
    const char* end = authority;
    while (*end != '\0' && *end != '/' && *end != '?' && *end != '#') ++end;
    for (const char* p = url; *p != '\0'; ++p) {
        if (IsControlOrBlank(static_cast<unsigned char>(*p))) return false;
    }
    if (std::memchr(authority, '@', static_cast<std::size_t>(end - authority)) != nullptr) return false;
    if (!SplitAuthority(authority, end, out.host, out.port)) return false;
    const char* fragment = std::strchr(end, '#');
    out.target.assign(end, fragment != nullptr ? fragment : end + std::strlen(end));
    if (out.target.empty() || out.target[0] == '?') out.target.insert(0, "/");
    return true;
}

TextString AbsoluteUrl(const HttpUrl& url) {
    TextString text = "http://";
    const bool literal6 = url.host.find(':') != TextString::npos;
    text += literal6 ? "[" + url.host + "]" : url.host;
    if (url.port != 80) text += ":" + std::to_string(url.port);
    return text + url.target;
}

bool ResolveLocation(const HttpUrl& base, const char* location, HttpUrl& out) {
    if (location == nullptr || *location == '\0') return false;
    if (StartsWithNoCase(location, "http://")) return SplitHttpUrl(location, out);
    if (location[0] == '/' && location[1] == '/') return SplitHttpUrl(("http:" + TextString(location)).c_str(), out);
    // Any other scheme ("https:", "ftp:") is not ours to follow.
    for (const char* p = location; *p != '\0' && *p != '/' && *p != '?' && *p != '#'; ++p) {
        if (*p == ':') return false;
    }
    TextString target;
    if (location[0] == '/') {
        target = location;
    } else if (location[0] == '?') {
        target = base.target.substr(0, base.target.find('?')) + location;
    } else {
        const TextString path = base.target.substr(0, base.target.find('?'));
        target = path.substr(0, path.rfind('/') + 1) + location;
    }
    TextString absolute = AbsoluteUrl(HttpUrl{base.host, base.port, "/"});
    absolute.pop_back();
    return SplitHttpUrl((absolute + target).c_str(), out);
}

bool ProxyForHttp(const char* list, HttpUrl& proxy) {
    proxy = HttpUrl();
    if (list == nullptr) return false;
    TextString general;
    TextString forHttp;
    for (const char* p = list; *p != '\0';) {
        while (*p != '\0' && IsListSeparator(*p, false)) ++p;
        const char* start = p;
        while (*p != '\0' && !IsListSeparator(*p, false)) ++p;
        const TextString entry(start, p);
        if (entry.empty()) continue;
        const std::size_t equals = entry.find('=');
        if (equals == TextString::npos) {
            if (general.empty()) general = entry;
        } else if (forHttp.empty() && equals == 4 && StartsWithNoCase(entry.c_str(), "http=")) {
            forHttp = entry.substr(equals + 1);
        }
    }
    TextString chosen = !forHttp.empty() ? forHttp : general;
    if (chosen.empty()) return false;
    if (!StartsWithNoCase(chosen.c_str(), "http://")) chosen.insert(0, "http://");
    if (!SplitHttpUrl(chosen.c_str(), proxy) || proxy.target != "/") {
        proxy = HttpUrl();
        return false;
    }
    return true;
}

bool BypassesProxy(const char* list, const char* host) {
    if (list == nullptr || host == nullptr || *host == '\0') return false;
    const std::size_t hostLength = std::strlen(host);
    for (const char* p = list; *p != '\0';) {
        while (*p != '\0' && IsListSeparator(*p, true)) ++p;
        const char* start = p;
        while (*p != '\0' && !IsListSeparator(*p, true)) ++p;
        if (start == p) continue;
        TextString entry(start, p);
        if (entry.size() == 7 && StartsWithNoCase(entry.c_str(), "<local>")) {
            if (std::strchr(host, '.') == nullptr && std::strchr(host, ':') == nullptr) return true;
            continue;
        }
        const std::size_t scheme = entry.find("://");
        if (scheme != TextString::npos) entry.erase(0, scheme + 3);
        // A port ends the pattern; an IPv6 literal keeps its brackets' colons.
        const std::size_t close = entry.rfind(']');
        const std::size_t colon = entry.rfind(':');
        if (colon != TextString::npos && (close == TextString::npos || colon > close)) entry.erase(colon);
        if (entry.size() >= 2 && entry.front() == '[' && entry.back() == ']') entry = entry.substr(1, entry.size() - 2);
        if (WildcardMatch(entry.data(), entry.size(), host, hostLength)) return true;
    }
    return false;
}

int AnswerStatus(const char* head, std::size_t size) {
    if (head == nullptr || size < 12 || std::memcmp(head, "HTTP/", 5) != 0) return 0;
    std::size_t i = 5;
    while (i < size && head[i] != ' ' && head[i] != '\r' && head[i] != '\n') ++i;
    if (i + 4 > size || head[i] != ' ') return 0;
    int status = 0;
    for (std::size_t k = i + 1; k < i + 4; ++k) {
        if (head[k] < '0' || head[k] > '9') return 0;
        status = status * 10 + (head[k] - '0');
    }
    if (i + 4 < size && head[i + 4] != ' ' && head[i + 4] != '\r' && head[i + 4] != '\n') return 0;
    return status;
}

TextString AnswerLocation(const char* head, std::size_t size) {
    if (head == nullptr) return TextString();
    // Header lines begin after each line end; the head ends at an empty line.
    for (std::size_t i = 0; i < size;) {
        std::size_t end = i;
        while (end < size && head[end] != '\n') ++end;
        std::size_t lineEnd = end;
        if (lineEnd > i && head[lineEnd - 1] == '\r') --lineEnd;
        if (lineEnd == i && i != 0) break;  // the empty line: no more headers
        if (i != 0 && lineEnd - i > 9 && StartsWithNoCase(TextString(head + i, 9).c_str(), "location:")) {
            std::size_t v = i + 9;
            while (v < lineEnd && (head[v] == ' ' || head[v] == '\t')) ++v;
            std::size_t w = lineEnd;
            while (w > v && (head[w - 1] == ' ' || head[w - 1] == '\t')) --w;
            return TextString(head + v, w - v);
        }
        i = end + 1;
    }
    return TextString();
}

bool IsRedirect(int status) {
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}
