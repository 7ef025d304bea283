// One run of a prepared SQLite statement, the one way the SQLite store runs
// its statements: every value bound and every bind checked, each row handed
// over, the statement reset and its bindings cleared whatever happened, and
// a failure answered with the database's own message.
#pragma once
#include <sqlite3.h>

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <string>
#include <string_view>

namespace reports {

// A value for a statement's parameter: a 64-bit integer, or bytes bound as a
// BLOB or as TEXT. Bytes are bound without a copy: they must outlive the run.
class SqlValue {
public:
    SqlValue(std::int64_t value) : kind_(Kind::Int), int_(value) {}  // NOLINT: read as the integer it holds
    static SqlValue Blob(std::string_view bytes) { return SqlValue(Kind::Blob, bytes); }
    static SqlValue Text(std::string_view bytes) { return SqlValue(Kind::Text, bytes); }
    // sqlite3_bind_* of this value to parameter `index` (from 1).
    int Bind(sqlite3_stmt* stmt, int index) const;

private:
    enum class Kind { Int, Blob, Text };
    SqlValue(Kind kind, std::string_view bytes) : kind_(kind), bytes_(bytes) {}
    Kind kind_;
    std::int64_t int_ = 0;
    std::string_view bytes_;
};

// Binds `values` to ?1, ?2, ..., steps `stmt` until it is done, calling `row`
// (when given) for each row it yields, then resets it and clears its
// bindings. Answers SQLITE_OK, or the code of the bind or step that failed
// with the database's message for it in `message`.
int RunStatement(sqlite3_stmt* stmt, std::initializer_list<SqlValue> values,
                 const std::function<void(sqlite3_stmt*)>& row, std::string& message);

// What to do about a failure with SQLite's result `code`, for people: "the
// disk is full; free space on it".
const char* SqliteHint(int code);

}  // namespace reports
