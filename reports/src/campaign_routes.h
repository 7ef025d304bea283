// The campaigns' pages as routes any HTTP server can serve: a GET's path and
// decoded query parameters in, the whole answer out. The server keeps its
// own policy (methods, Host names, how many pages at once) and gives each
// request a read-only store.
//
//   GET /campaign.json?id=ID      a campaign's figures
//   GET /compare.json?a=ID&b=ID   b against a
//   GET /campaign?id=ID           a campaign's page
//   GET /compare[?a=ID&b=ID]      the comparison page (two to choose without them)
#pragma once
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "store.h"

namespace reports {

struct RouteAnswer {
    int status = 200;
    std::string contentType;
    std::string body;
    std::vector<std::pair<std::string, std::string>> headers;
};

using QueryParams = std::multimap<std::string, std::string>;

bool IsCampaignRoute(std::string_view path);
// Answers a GET of a campaign route from `store`: 400 for a bad query, 404
// for a campaign the ledger does not hold.
RouteAnswer CampaignRoute(std::string_view path, const QueryParams& query, Store& store);

}  // namespace reports
