#include "actions/route.h"

#include <cstring>

bool GoesThroughProxy(const ProxyRoute& route, const HttpUrl& target) {
    return route.enabled && !BypassesProxy(route.bypass.c_str(), target.host.c_str());
}

bool ProxyCarriedRequest(const char* head, std::size_t size) {
    const int status = AnswerStatus(head, size);
    return status != 0 && status != 407;
}

bool NextHop(const HttpUrl& current, const char* head, std::size_t size, HttpUrl& next) {
    next = HttpUrl();
    if (!IsRedirect(AnswerStatus(head, size))) return false;
    return ResolveLocation(current, AnswerLocation(head, size).c_str(), next);
}

bool AnswerHeadSuffices(const char* head, std::size_t size) {
    if (!IsRedirect(AnswerStatus(head, size))) return false;
    for (std::size_t i = 0; i + 4 <= size; ++i) {
        if (std::memcmp(head + i, "\r\n\r\n", 4) == 0) return true;
    }
    return false;
}
