// The route table: every path the receiver serves, under which Host names,
// whether HEAD is answered, and whether it is made on a page thread; and
// the one policy every request meets before its route. A new route is one
// row of kRoutes and its function.
//
// The policy, in order: a method other than GET or HEAD is 405; a path that
// is no route's (compared as sent: "/traycast%2Ehtml" is not
// "/traycast.html") is 404; HEAD on a route that does not take it is 405;
// a page under a Host that is neither an address nor a configured name is
// 403 (a DNS-rebinding page reaches a loopback receiver under its own name,
// and the pages show identifiers and addresses); a page when kMaxPages are
// being made is 503.
#pragma once
#include <atomic>
#include <cstddef>
#include <functional>
#include <string>

#include "exchange.h"
#include "metrics.h"
#include "page_pool.h"
#include "server.h"

namespace reports {

// Pages read the database for seconds over millions of rows: a few at once.
constexpr std::size_t kMaxPages = 4;

// What the routes work with.
struct Services {
    ServerOptions options;
    Metrics& metrics;
    std::function<std::size_t()> connections;  // open now, for /metrics
    PagePool pages{kMaxPages};
};

struct Route {
    const char* path;
    bool pagesHostsOnly;  // served only under the pages' Host names
    bool head;            // HEAD answered as GET, without the body
    bool pageThread;      // made on a page thread, one of kMaxPages
    // `query` is the target's raw query, after its '?'.
    void (*answer)(Services& services, const Request& request, const std::string& query, const ReplyPtr& reply);
};

extern const Route kRoutes[];
extern const std::size_t kRouteCount;

// Answers `request` by the policy and its route. Runs on the intake's
// thread; what may block goes to a page thread.
void Serve(Services& services, const Request& request, const ReplyPtr& reply);

}  // namespace reports
