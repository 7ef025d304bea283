#include "routes.h"

#include <iterator>

#include "page_routes.h"
#include "report_route.h"
#include "request_rules.h"

namespace reports {

const Route kRoutes[] = {
    // path             pages' hosts only  HEAD   page thread  answer
    {"/traycast.html",  false,             false, false,       ReportRoute},
    {"/",               true,              true,  true,        DashboardRoute},
    {"/summary.json",   true,              true,  true,        SummaryRoute},
    {"/reports.csv",    true,              true,  true,        CsvRoute},
    {"/campaign",       true,              true,  true,        CampaignsRoute},
    {"/campaign.json",  true,              true,  true,        CampaignsRoute},
    {"/compare",        true,              true,  true,        CampaignsRoute},
    {"/compare.json",   true,              true,  true,        CampaignsRoute},
    {"/healthz",        false,             true,  false,       HealthRoute},
    {"/metrics",        false,             true,  false,       MetricsRoute},
};
const std::size_t kRouteCount = std::size(kRoutes);

namespace {

Answer NotAllowed(const char* allow) {
    Answer answer = TextAnswer(405, std::string("only ") + allow + " is served here");
    answer.headers.emplace_back("Allow", allow);
    return answer;
}

}  // namespace

void Serve(Services& services, const Request& request, const ReplyPtr& reply) {
    const bool head = request.method == "HEAD";
    if (request.method != "GET" && !head) return reply->Send(NotAllowed("GET, HEAD"));
    std::string path, query;
    SplitTarget(request.target, path, query);
    const Route* route = nullptr;
    for (const Route& r : kRoutes) {
        if (path == r.path) route = &r;
    }
    if (route == nullptr) return reply->Send(TextAnswer(404, "no such page: the reports go to /traycast.html"));
    if (head && !route->head) return reply->Send(NotAllowed("GET"));
    if (route->pagesHostsOnly && !HostAllowed(request.host, services.options.hostNames)) {
        return reply->Send(TextAnswer(403, "the pages are served only under the names given with --host-name"));
    }
    if (!route->pageThread) return route->answer(services, request, query, reply);
    const bool started = services.pages.TryRun([&services, route, request, query, reply] {
        route->answer(services, request, query, reply);
    });
    if (!started) {
        services.metrics.Unavailable(Busy::Pages);
        Answer busy = TextAnswer(503, "too many pages are being made; try again in a moment");
        busy.headers.emplace_back("Retry-After", "1");
        reply->Send(std::move(busy));
    }
}

}  // namespace reports
