// Pure rules of the report request and the install command. No I/O.
//
// The report rules read what comes from outside the plug-in: the proxy and
// bypass lists of the user's Internet Settings and the head of a server's
// answer. Each takes bounded text, never reads past its terminator, and
// answers false for anything it does not understand, which ends the report.
#pragma once
#include <cstddef>

#include "common/text.h"

// Percent-encodes every byte outside A-Z a-z 0-9 - . _ ~ as %XX (uppercase
// hex), so an identifier with a blank, '&', '#' or '%' cannot change the
// request, while an alphanumeric identifier is sent byte for byte.
TextString PercentEncode(const char* text);

// An http URL taken apart. `port` is 80 when the URL names none; `target` is
// the path with its query ("/" when the URL has no path), as a request line
// to the server itself carries it.
struct HttpUrl {
    TextString host;  // as written, brackets of an IPv6 literal removed
    unsigned port = 80;
    TextString target;
};

// Splits "http://HOST[:PORT][/PATH[?QUERY]]" (the scheme in any case). False
// for any other scheme, a user name, a host that IsPlainHost refuses, a port
// outside 1-65535, and for a blank or control byte anywhere. A fragment is
// dropped.
bool SplitHttpUrl(const char* url, HttpUrl& out);

// Whether `host` (brackets of an IPv6 literal removed) is written in one of
// the three forms a report goes to: a name (letters, digits, '-' and '_' in
// dot-separated labels, at most one dot at the end, the last label not a
// number), a dotted quad in decimal ("127.0.0.1", no leading zeros), or an
// IPv6 address (`bracketed`: it was written in brackets). The resolvers'
// other forms of an IPv4 address, "2130706433", "0x7f.1", "0177.0.0.1" or
// "127.1", are refused, and so is a percent sign anywhere.
bool IsPlainHost(const TextString& host, bool bracketed);

// The URL as the request line to a proxy carries it: "http://HOST[:PORT]/…".
TextString AbsoluteUrl(const HttpUrl& url);

// Where a redirect's Location leads from `base`: an absolute http URL, a
// scheme-relative "//HOST…", a path from the root, or a path relative to the
// base's folder. False for https and any other scheme, which a report does
// not follow.
bool ResolveLocation(const HttpUrl& base, const char* location, HttpUrl& out);

// The proxy for http in an Internet Settings proxy list: the "http=HOST:PORT"
// entry of a per-protocol list, else an entry without "=", which serves every
// protocol. Entries are separated by ';' or white space; "http://" before the
// host is allowed; the port is 80 when none is given. False when the list
// names no proxy for http.
bool ProxyForHttp(const char* list, HttpUrl& proxy);

// Whether `host` bypasses the proxy under an Internet Settings bypass list:
// entries separated by ';', ',' or white space, each a host pattern where '*'
// stands for any run of characters, compared without regard to ASCII case;
// "<local>" stands for every host name without a dot. A scheme or a port in
// an entry is ignored.
bool BypassesProxy(const char* list, const char* host);

// The head of an HTTP answer: the status code of its first line (0 when the
// line is not "HTTP/x.y NNN …"), and the value of its Location header
// (empty when there is none). `head` holds `size` bytes and need not end in
// a zero.
int AnswerStatus(const char* head, std::size_t size);
TextString AnswerLocation(const char* head, std::size_t size);

// Whether an answer with `status` sends the request elsewhere.
bool IsRedirect(int status);
