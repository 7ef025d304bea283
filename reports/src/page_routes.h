// The routes people and their tools read: the dashboard, summary.json,
// reports.csv and the campaigns' pages (made on a page thread, each from a read-only store of its
// own, for the range the query names), /healthz (the store's health, read
// from the writer: no database read) and /metrics.
#pragma once
#include <string>

#include "routes.h"

namespace reports {

void DashboardRoute(Services& services, const Request& request, const std::string& query, const ReplyPtr& reply);
void SummaryRoute(Services& services, const Request& request, const std::string& query, const ReplyPtr& reply);
void CsvRoute(Services& services, const Request& request, const std::string& query, const ReplyPtr& reply);
// /campaign, /campaign.json, /compare and /compare.json, from a read-only
// store of their own.
void CampaignsRoute(Services& services, const Request& request, const std::string& query, const ReplyPtr& reply);
// 200 "ok" while a report sent now would be committed; 503 naming what
// holds it while the store cannot commit: stuck, down, full, or its waiting
// reports at their bound.
void HealthRoute(Services& services, const Request& request, const std::string& query, const ReplyPtr& reply);
void MetricsRoute(Services& services, const Request& request, const std::string& query, const ReplyPtr& reply);

}  // namespace reports
