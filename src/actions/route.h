// The steps of one report, as pure rules: which server each request goes to,
// when a proxy's answer sends the request directly instead, which redirect is
// followed, and when enough of an answer has arrived. No I/O: the transport
// is handed in, so the report thread, the tests and the fuzzer run the same
// steps over sockets or over answers written beforehand.
#pragma once
#include <cstddef>

#include "actions/url.h"
#include "common/text.h"

// A redirect loop ends after this many redirects followed.
constexpr int kMaxRedirects = 5;

// The proxy a report goes through, if any, and the hosts that bypass it.
struct ProxyRoute {
    bool enabled = false;
    HttpUrl proxy;
    TextString bypass;  // an Internet Settings bypass list
};

// Whether a request for `target` goes through the route's proxy.
bool GoesThroughProxy(const ProxyRoute& route, const HttpUrl& target);

// Whether a proxy's answer with `head` is the server's answer. A proxy that
// asks for credentials (407), which a report has none to give, did not carry
// the request: it goes directly instead, as when the proxy cannot be reached.
bool ProxyCarriedRequest(const char* head, std::size_t size);

// Where the answer with `head` to a request for `current` sends the report
// next: true and `next` for a redirect to an http URL that SplitHttpUrl takes,
// false when the report ends here.
bool NextHop(const HttpUrl& current, const char* head, std::size_t size, HttpUrl& next);

// Whether the bytes read so far of an answer are all a report needs: the
// whole head of a redirect (its body is of no use). Any other answer is read
// on, up to the transport's bound, and dropped.
bool AnswerHeadSuffices(const char* head, std::size_t size);

// Runs the report for `target` on `route`: one request per hop, through the
// proxy when the route says so and again directly when the proxy did not
// carry it, following kMaxRedirects redirects at most. `send(server,
// requestTarget, url, head)` makes one GET to `server` whose request line
// carries `requestTarget` (the absolute URL for a proxy, the path for the
// server itself) for `url`, keeps the answer's head in `head` and says
// whether an answer's status line arrived. Answers the number of requests.
template <class Send>
int RunReportHops(HttpUrl target, const ProxyRoute& route, Send&& send) {
    int requests = 0;
    for (int hop = 0; hop <= kMaxRedirects; ++hop) {
        TextString head;
        bool answered = false;
        if (GoesThroughProxy(route, target)) {
            ++requests;
            answered = send(route.proxy, AbsoluteUrl(target), target, head) &&
                       ProxyCarriedRequest(head.data(), head.size());
        }
        if (!answered) {
            ++requests;
            answered = send(target, target.target, target, head);
        }
        HttpUrl next;
        if (!answered || !NextHop(target, head.data(), head.size(), next)) break;
        target = next;
    }
    return requests;
}
