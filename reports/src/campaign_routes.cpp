#include "campaign_routes.h"

#include "campaign_figures.h"
#include "campaign_pages.h"

namespace reports {

namespace {

constexpr const char* kPagePolicy = "default-src 'none'; style-src 'unsafe-inline'; form-action 'self'";

RouteAnswer Text(int status, const std::string& body) {
    return {status, "text/plain; charset=utf-8", body + "\n", {{"Cache-Control", "no-store"}}};
}

RouteAnswer Answer(bool html, std::string body) {
    RouteAnswer a{200, html ? "text/html; charset=utf-8" : "application/json", std::move(body), {{"Cache-Control", "no-store"}}};
    if (html) a.headers.emplace_back("Content-Security-Policy", kPagePolicy);
    return a;
}

// The one value of `name`: empty and `why` set when it is missing or given twice.
std::string One(const QueryParams& query, const char* name, std::string& why) {
    const auto count = query.count(name);
    if (count != 1 || query.find(name)->second.empty()) {
        if (why.empty()) why = std::string(name) + " must name one campaign once, e.g. ?" + name + "=spring-2026";
        return {};
    }
    return query.find(name)->second;
}

struct Found {
    Campaign campaign;
    CampaignFigures figures;
};

std::optional<Found> Read(Store& store, const std::string& id) {
    std::optional<std::pair<Campaign, Counts>> c = store.ReadCampaign(id);
    if (!c) return std::nullopt;
    return Found{c->first, DeriveFigures(c->second, c->first.maxPopups)};
}

RouteAnswer Unknown(const std::string& id) {
    return Text(404, "the ledger has no campaign " + id + "; quentra-reports campaign list shows those it has");
}

}  // namespace

bool IsCampaignRoute(std::string_view path) {
    return path == "/campaign" || path == "/campaign.json" || path == "/compare" || path == "/compare.json";
}

RouteAnswer CampaignRoute(std::string_view path, const QueryParams& query, Store& store) {
    const bool html = path == "/campaign" || path == "/compare";
    std::string why;
    if (path == "/campaign" || path == "/campaign.json") {
        const std::string id = One(query, "id", why);
        if (!why.empty()) return Text(400, why);
        const std::optional<Found> c = Read(store, id);
        if (!c) return Unknown(id);
        return Answer(html, html ? CampaignPage(c->campaign, c->figures) : CampaignJson(c->campaign, c->figures));
    }
    if (path == "/compare" && !query.count("b")) {
        const auto a = query.find("a");
        return Answer(true, CompareChoicePage(store.ReadLedger(), a == query.end() ? "" : a->second));
    }
    const std::string a = One(query, "a", why), b = One(query, "b", why);
    if (!why.empty()) return Text(400, why);
    const std::optional<Found> fa = Read(store, a), fb = Read(store, b);
    if (!fa || !fb) return Unknown(!fa ? a : b);
    return Answer(html, html ? ComparePage(fa->campaign, fa->figures, fb->campaign, fb->figures, store.ReadLedger())
                             : CompareJson(fa->campaign, fa->figures, fb->campaign, fb->figures));
}

}  // namespace reports
