#include "request_rules.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cctype>

#include "query.h"

namespace reports {

int HeadStatus(const HeadSize& size) {
    if (size.target > kMaxTarget) return 414;
    if (size.largestField > kMaxHeaderBytes) return 400;
    if (size.fieldBytes > kMaxHeaderBytes || size.fields > kMaxHeaderCount) return 431;
    return 0;
}

std::size_t HeadEnd(std::string_view bytes) {
    for (std::size_t at = bytes.find('\n'); at != std::string_view::npos; at = bytes.find('\n', at + 1)) {
        const std::size_t next = at + 1;
        if (next < bytes.size() && bytes[next] == '\n') return next + 1;
        if (next + 1 < bytes.size() && bytes[next] == '\r' && bytes[next + 1] == '\n') return next + 2;
    }
    return std::string_view::npos;
}

std::string NormalizeHead(std::string_view head) {
    std::string out;
    out.reserve(head.size() + 16);
    for (std::size_t i = 0; i < head.size(); ++i) {
        if (head[i] == '\n' && (i == 0 || head[i - 1] != '\r')) out += '\r';
        out += head[i];
    }
    const std::size_t eol = out.find("\r\n");
    const std::size_t first = out.find(' ');
    std::size_t last = eol == std::string::npos ? std::string::npos : out.rfind(' ', eol);
    if (eol == std::string::npos || first >= last || out.compare(last + 1, 5, "HTTP/") != 0) return out;
    for (std::size_t at = out.find(' ', first + 1); at < last; at = out.find(' ', at + 1)) {
        out.replace(at, 1, "%20");
        last += 2;
    }
    return out;
}

void SplitTarget(std::string_view target, std::string& path, std::string& query) {
    const std::size_t q = target.find('?');
    path = std::string(target.substr(0, q));
    query = q == std::string_view::npos ? std::string() : std::string(target.substr(q + 1));
}

namespace {

std::string Lower(std::string_view text) {
    std::string out(text);
    for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

bool IsAddress(const std::string& text) {
    unsigned char address[sizeof(in6_addr)];
    return inet_pton(AF_INET, text.c_str(), address) == 1 || inet_pton(AF_INET6, text.c_str(), address) == 1;
}

}  // namespace

std::string HostName(std::string_view host) {
    if (!host.empty() && host[0] == '[') {
        const std::size_t close = host.find(']');
        return close == std::string_view::npos ? Lower(host) : Lower(host.substr(1, close - 1));
    }
    return Lower(host.substr(0, host.find(':')));
}

bool HostAllowed(std::string_view host, const std::vector<std::string>& names) {
    const std::string name = HostName(host);
    if (IsAddress(name)) return true;
    for (const std::string& allowed : names) {
        if (!name.empty() && name == Lower(allowed)) return true;
    }
    return false;
}

std::multimap<std::string, std::string> FormParameters(std::string_view query) {
    std::multimap<std::string, std::string> out;
    while (!query.empty()) {
        const std::size_t amp = query.find('&');
        std::string field(query.substr(0, amp));
        query = amp == std::string_view::npos ? std::string_view() : query.substr(amp + 1);
        if (field.empty()) continue;
        for (char& c : field) c = c == '+' ? ' ' : c;  // before decoding: "%2B" stays a '+'
        const std::size_t eq = field.find('=');
        out.emplace(PercentDecode(std::string_view(field).substr(0, eq)),
                    eq == std::string::npos ? std::string() : PercentDecode(std::string_view(field).substr(eq + 1)));
    }
    return out;
}

std::optional<DayRange> PageRange(std::string_view query, int serverZone, std::int64_t now, std::string& why) {
    std::string from, to, tz;
    int fromCount = 0, toCount = 0, tzCount = 0;
    while (!query.empty()) {
        const std::size_t amp = query.find('&');
        const std::string_view field = query.substr(0, amp);
        query = amp == std::string_view::npos ? std::string_view() : query.substr(amp + 1);
        const std::size_t eq = field.find('=');
        const std::string_view key = field.substr(0, eq);
        const std::string value = eq == std::string_view::npos ? std::string() : PercentDecode(field.substr(eq + 1));
        if (key == "from") fromCount++, from = value;
        if (key == "to") toCount++, to = value;
        if (key == "tz") tzCount++, tz = value;
    }
    if (fromCount > 1 || toCount > 1) {
        why = "from and to may each appear once";
        return std::nullopt;
    }
    const std::optional<int> zone = tz.empty() ? serverZone : ParseZone(tz);
    if (!zone || tzCount > 1) {
        why = "tz must be whole hours east of UTC once, e.g. tz=8, tz=-5 or tz=UTC";
        return std::nullopt;
    }
    std::optional<DayRange> range = ChooseRange(from, to, DayIn(now, *zone), why);
    if (!range) {
        why += ", e.g. ?from=2026-01-05&to=2026-01-11";
        return std::nullopt;
    }
    range->utcOffsetHours = *zone;
    return range;
}

std::string NetworkOf(const std::string& address) {
    unsigned char bytes[sizeof(in6_addr)] = {};
    char text[INET6_ADDRSTRLEN] = {};
    if (inet_pton(AF_INET, address.c_str(), bytes) == 1) {
        bytes[3] = 0;
        return inet_ntop(AF_INET, bytes, text, sizeof text) ? std::string(text) + "/24" : address;
    }
    if (inet_pton(AF_INET6, address.c_str(), bytes) != 1) return address;
    static const unsigned char kMapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
    if (std::equal(kMapped, kMapped + 12, bytes)) {
        bytes[15] = 0;
        return inet_ntop(AF_INET, bytes + 12, text, sizeof text) ? std::string(text) + "/24" : address;
    }
    for (int i = 8; i < 16; ++i) bytes[i] = 0;
    return inet_ntop(AF_INET6, bytes, text, sizeof text) ? std::string(text) + "/64" : address;
}

}  // namespace reports
