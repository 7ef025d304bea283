#include <cctype>

#include "store.h"

#include "backends.h"

namespace reports {

bool Store::IsPostgres(const std::string& where) {
    if (where.rfind("postgresql://", 0) == 0 || where.rfind("postgres://", 0) == 0) return true;
    // libpq's key=value form: a keyword of letters and '_', then '='.
    std::size_t i = 0;
    while (i < where.size() && (std::isalpha(static_cast<unsigned char>(where[i])) || where[i] == '_')) ++i;
    if (i == 0) return false;
    while (i < where.size() && where[i] == ' ') ++i;
    return i < where.size() && where[i] == '=';
}

std::unique_ptr<Store> Store::Open(const std::string& where, Mode mode) {
    return IsPostgres(where) ? OpenPostgres(where, mode) : OpenSqlite(where, mode);
}

}  // namespace reports
