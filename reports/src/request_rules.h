// The receiver's pure rules for a request: how big a head may be, how its
// target splits, which Host names the pages are served under, the range a
// page's query asks for, and the network an address belongs to. No I/O, no
// clock: the intake and the routes call them, and the rule tests call them
// directly.
#pragma once
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "days.h"

namespace reports {

// The longest target a report can need: the path, t, and m with 260 bytes
// all escaped is 801 bytes.
constexpr std::size_t kMaxTarget = 1024;
// A header line, and all of them together.
constexpr std::size_t kMaxHeaderBytes = 8192;
constexpr std::size_t kMaxHeaderCount = 64;
// All a connection may send before its head ends: past it the head is
// refused unread, so no client grows one without bound.
constexpr std::size_t kMaxRequestBytes = 32768;

// What a parsed head measures.
struct HeadSize {
    std::size_t target = 0;        // bytes of the request target
    std::size_t largestField = 0;  // name and value of the largest header line
    std::size_t fieldBytes = 0;    // name, value and 4 bytes of framing per line
    std::size_t fields = 0;
};
// 414 for a target above kMaxTarget, 400 for one header line above
// kMaxHeaderBytes, 431 for the headers above kMaxHeaderBytes or
// kMaxHeaderCount in all; 0 when the head may be served.
int HeadStatus(const HeadSize& size);

// Where a request head ends in `bytes`: just past its blank line (CRLF or a
// bare LF), or npos while it has not come.
std::size_t HeadEnd(std::string_view bytes);
// The head as an HTTP parser takes it: every bare LF a CRLF, and blanks
// inside the request line's target (".../traycast.html?t=0&m=PC 01
// HTTP/1.1", from a plug-in that does not escape) as %20, so that the
// identifier is stored as sent instead of the line refused: the target runs
// from the first blank to the last.
std::string NormalizeHead(std::string_view head);

// The raw path and query of a target, nothing decoded.
void SplitTarget(std::string_view target, std::string& path, std::string& query);
// A query's parameters as a form sends them (the comparison page's form
// does): name=value fields split at '&', each percent-decoded with '+' as a
// blank. A name given twice is there twice.
std::multimap<std::string, std::string> FormParameters(std::string_view query);

// The name of a Host header without its port and an IPv6 address's
// brackets, in lower case: "Example.com:80" is "example.com", "[::1]:8080"
// is "::1".
std::string HostName(std::string_view host);
// Whether the pages are served under `host`: any IP address (a rebinding
// page has a name of its own, and a browser sends that name), or one of
// `names`, case ignored.
bool HostAllowed(std::string_view host, const std::vector<std::string>& names);

// The range the pages' query asks for with from, to and tz, its days cut in
// the zone of tz (`serverZone` when absent), today being the day of `now`
// in that zone. nullopt with `why` (a line for a 400) when the query breaks
// a rule. Values are percent-decoded; a raw '+' in tz is a '+'.
std::optional<DayRange> PageRange(std::string_view query, int serverZone, std::int64_t now, std::string& why);

// The network a client address counts against for the intake's caps: its
// /24 for IPv4 ("10.1.2.0/24", an IPv4-mapped IPv6 address too), its /64
// for IPv6 ("2001:db8:0:1::/64"); the text itself when it is no address.
std::string NetworkOf(const std::string& address);

}  // namespace reports
