#include "sqlite_statement.h"

namespace reports {

const char* SqliteHint(int code) {
    switch (code & 0xFF) {
        case SQLITE_BUSY:
        case SQLITE_LOCKED:
            return "another process holds the database locked; wait for it or stop it";
        case SQLITE_FULL:
            return "the disk is full; free space on it";
        case SQLITE_READONLY:
        case SQLITE_PERM:
            return "the database is read-only; make the file and its folder writable, or use another --db";
        case SQLITE_CANTOPEN:
            return "check the path, and that its folder exists and is writable";
        case SQLITE_CORRUPT:
        case SQLITE_NOTADB:
            return "the file is not a reports database or is damaged; restore it from a backup";
        case SQLITE_IOERR:
            return "the disk failed to read or write; check it";
        default:
            return "see SQLite's message";
    }
}

int SqlValue::Bind(sqlite3_stmt* stmt, int index) const {
    switch (kind_) {
        case Kind::Int:
            return sqlite3_bind_int64(stmt, index, int_);
        case Kind::Blob:
            return sqlite3_bind_blob(stmt, index, bytes_.data(), static_cast<int>(bytes_.size()), SQLITE_STATIC);
        case Kind::Text:
            return sqlite3_bind_text(stmt, index, bytes_.data(), static_cast<int>(bytes_.size()), SQLITE_STATIC);
    }
    return SQLITE_MISUSE;
}

int RunStatement(sqlite3_stmt* stmt, std::initializer_list<SqlValue> values,
                 const std::function<void(sqlite3_stmt*)>& row, std::string& message) {
    int rc = SQLITE_OK;
    int index = 1;
    for (const SqlValue& value : values) {
        rc = value.Bind(stmt, index++);
        if (rc != SQLITE_OK) break;
    }
    // Reset even when `row` throws: a statement left mid-step would hold
    // its read (or the transaction's end) open.
    struct Reset {
        sqlite3_stmt* stmt;
        ~Reset() {
            sqlite3_reset(stmt);
            sqlite3_clear_bindings(stmt);
        }
    } reset{stmt};
    if (rc == SQLITE_OK) {
        while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
            if (row) row(stmt);
        }
        if (rc == SQLITE_DONE) rc = SQLITE_OK;
    }
    // The message before the reset, which leaves the error code but may
    // replace the text.
    if (rc != SQLITE_OK) message = sqlite3_errmsg(sqlite3_db_handle(stmt));
    return rc;
}

}  // namespace reports
