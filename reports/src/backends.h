// The two back ends of Store; only Store::Open calls these.
#pragma once
#include <memory>
#include <string>

#include "store.h"

namespace reports {

std::unique_ptr<Store> OpenSqlite(const std::string& path, Store::Mode mode);
std::unique_ptr<Store> OpenPostgres(const std::string& conninfo, Store::Mode mode);

}  // namespace reports
