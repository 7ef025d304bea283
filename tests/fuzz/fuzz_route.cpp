// A report's steps over a fake transport: the input is the report URL, the
// proxy list, the bypass list and then the heads of the answers, in that
// order, separated by zero bytes (an empty head: no answer came). Whatever
// the answers say, a report makes at most two requests a hop and follows
// five redirects at most; every request goes to a host written as a name, a
// dotted quad or a bracketed IPv6 address, for a URL that writes back to
// itself, to the proxy only when the bypass list lets it; and the rule that
// stops reading an answer, once true, stays true as more bytes arrive.
#include <string>
#include <vector>

#include "actions/route.h"

namespace {

bool SameUrl(const HttpUrl& a, const HttpUrl& b) {
    return a.host == b.host && a.port == b.port && a.target == b.target;
}

bool WritesBackToItself(const HttpUrl& url) {
    HttpUrl again;
    return SplitHttpUrl(AbsoluteUrl(url).c_str(), again) && SameUrl(again, url);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
    std::vector<std::string> parts(1);
    for (std::size_t i = 0; i < size; ++i) {
        if (data[i] == 0) {
            parts.emplace_back();
        } else {
            parts.back().push_back(static_cast<char>(data[i]));
        }
    }
    parts.resize(parts.size() < 3 ? 3 : parts.size());
    HttpUrl start;
    if (!SplitHttpUrl(parts[0].c_str(), start)) return 0;
    ProxyRoute route;
    route.enabled = ProxyForHttp(parts[1].c_str(), route.proxy);
    route.bypass = parts[2];
    if (route.enabled && !WritesBackToItself(route.proxy)) __builtin_trap();

    std::size_t answer = 3;
    int sent = 0;
    int hops = 0;
    HttpUrl last = start;
    const int requests = RunReportHops(start, route, [&](const HttpUrl& server, const TextString& requestTarget,
                                                         const HttpUrl& url, TextString& head) {
        ++sent;
        if (!IsPlainHost(server.host, server.host.find(':') != TextString::npos)) __builtin_trap();
        if (!WritesBackToItself(url) || url.target.empty() || url.target[0] != '/') __builtin_trap();
        const bool viaProxy = route.enabled && SameUrl(server, route.proxy) && requestTarget == AbsoluteUrl(url);
        if (viaProxy && BypassesProxy(route.bypass.c_str(), url.host.c_str())) __builtin_trap();
        if (!viaProxy && (!SameUrl(server, url) || requestTarget != url.target)) __builtin_trap();
        if (!SameUrl(url, last)) ++hops;
        last = url;
        head = answer < parts.size() ? parts[answer++] : std::string();
        bool suffices = false;
        for (std::size_t n = 0; n <= head.size(); ++n) {
            const bool now = AnswerHeadSuffices(head.data(), n);
            if (suffices && !now) __builtin_trap();
            suffices = now;
        }
        return AnswerStatus(head.data(), head.size()) != 0;
    });
    if (requests != sent || requests > 2 * (kMaxRedirects + 1) || hops > kMaxRedirects) __builtin_trap();
    return 0;
}
