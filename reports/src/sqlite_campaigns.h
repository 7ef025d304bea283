// The campaign tables on a SQLite connection (campaign_tables.h); only the
// SQLite store makes them.
#pragma once
#include <sqlite3.h>

#include <functional>
#include <memory>
#include <string>

#include "campaign_tables.h"

namespace reports {

// Throws StoreError for a failed call: its result code and what failed.
using SqliteFail = std::function<void(int code, const std::string& what)>;

std::unique_ptr<CampaignTables> MakeSqliteCampaigns(sqlite3* db, SqliteFail fail);

// The SQLite store's schema step from version 2 to 3.
extern const char kSqliteCampaignsStep[];

}  // namespace reports
