// The campaign tables on a PostgreSQL connection (campaign_tables.h); only
// the PostgreSQL store makes them, on its own link and shard.
#pragma once
#include <memory>

#include "campaign_tables.h"
#include "pg_link.h"

namespace reports {

std::unique_ptr<CampaignTables> MakePgCampaigns(PgLink& link, int shard);

// The PostgreSQL store's schema step from version 2 to 3.
extern const char kPgCampaignsStep[];

}  // namespace reports
