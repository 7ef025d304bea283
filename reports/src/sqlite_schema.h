// The SQLite store's schema, as the steps that made it: a database at
// version n (PRAGMA user_version) is brought to n + 1 by step n, in the
// transaction that sets the new version.
#pragma once
#include <iterator>

#include "sqlite_campaigns.h"
#include "store.h"

namespace reports {

// kSqliteSteps[n] brings version n to n + 1. Later releases append
// steps and never change one that shipped.
inline constexpr const char* kSqliteSteps[] = {
    // 0 -> 1: the reports, and the access-log lines an import stored.
    "CREATE TABLE reports("
    "  id INTEGER PRIMARY KEY,"
    "  at INTEGER NOT NULL,"                                // seconds since 1970, UTC
    "  kind INTEGER NOT NULL CHECK (kind IN (0, 1)),"       // 0 showing, 1 install
    "  machine BLOB NOT NULL CHECK (length(machine) <= 260),"  // bytes as sent, code page 936 text
    "  client TEXT NOT NULL);"
    "CREATE INDEX reports_at ON reports(at);"
    "CREATE TABLE imported_lines("
    "  line_hash BLOB NOT NULL,"  // 128-bit FNV-1a of the log line
    "  occurrence INTEGER NOT NULL,"  // 1 for the first line with this text in its file, 2 for the next...
    "  PRIMARY KEY (line_hash, occurrence)) WITHOUT ROWID;",
    // 1 -> 2: the hourly rollups, built from the reports already stored.
    "CREATE TABLE hourly("
    "  hour INTEGER NOT NULL,"       // hours since 1970, UTC
    "  kind INTEGER NOT NULL,"
    "  reports INTEGER NOT NULL,"
    "  machines BLOB NOT NULL,"      // the hour's distinct machines, a serialized Sketch
    "  PRIMARY KEY (hour, kind)) WITHOUT ROWID;",
    // 2 -> 3: the campaign ledger and each campaign's state (sqlite_campaigns.cpp).
    kSqliteCampaignsStep,
};
static_assert(std::size(kSqliteSteps) == kSchemaVersion, "one step per schema version");

}  // namespace reports
