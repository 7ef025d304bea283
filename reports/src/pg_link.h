// One libpq connection as the PostgreSQL store and its campaign tables share
// it: statements sent in pipeline mode and their results read in one round
// trip (Send, Collect), or one statement run at once (Run), every failure a
// StoreError that names the database, the statement and what to do.
#pragma once
#include <libpq-fe.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "unique.h"

namespace reports {

using UniqueConn = UniqueHandle<PGconn, PQfinish>;
using UniqueResult = UniqueHandle<PGresult, PQclear>;

// A statement's parameters: text, except bytea, which goes as raw bytes.
class PgParams {
public:
    void Text(std::string value) { Add(std::move(value), 0); }
    void Bytes(std::string value) { Add(std::move(value), 1); }
    void Int(std::int64_t value) { Text(std::to_string(value)); }
    int size() const { return static_cast<int>(values_.size()); }
    const char* const* values();
    const int* lengths() const { return lengths_.data(); }
    const int* formats() const { return formats_.data(); }

private:
    void Add(std::string value, int format);
    std::vector<std::string> values_;
    std::vector<const char*> pointers_;
    std::vector<int> lengths_, formats_;
};

// PostgreSQL's text form of an array, a parameter for a statement that
// takes many rows in one: {1,NULL,3}, {"\\x6869","\\x"}.
class ArrayText {
public:
    void Int(std::int64_t v) { Add(std::to_string(v)); }
    void Int(std::optional<std::int64_t> v) { Add(v ? std::to_string(*v) : "NULL"); }
    void Bytes(std::string_view bytes);
    std::string Text() const { return "{" + text_ + "}"; }

private:
    void Add(const std::string& element) { text_ += (text_.empty() ? "" : ",") + element; }
    std::string text_;
};

std::int64_t PgInt(const PGresult* r, int row, int column);
// A bytea column of a text result as its bytes.
std::string PgBytea(const PGresult* r, int row, int column);

class PgLink {
public:
    // Connects; StoreError when it cannot.
    explicit PgLink(const std::string& conninfo);

    PGconn* conn() { return conn_.get(); }

    // Sends a statement in pipeline mode without waiting for its result;
    // Collect reads the results of all sent so far in one round trip and
    // hands each to its statement's `answer`, once every one succeeded.
    // A `raceGuard` statement that fails means the transaction lost a race
    // to another connection: Collect throws Contended.
    using Answer = std::function<void(const PGresult*)>;
    void Send(const std::string& sql, PgParams params = {}, Answer answer = {}, bool raceGuard = false);
    // The same for a statement of a fixed text: prepared once per
    // connection under `name` (in the same pipeline), then sent by name, so
    // that the server parses it once instead of every time. The server may
    // keep one plan for all calls: a statement whose plan could read a
    // growing table whole goes by Send instead, planned at each call, or is
    // kept from choosing such a plan (pg_campaigns.cpp).
    void SendPrepared(const char* name, const char* sql, PgParams params = {}, Answer answer = {}, bool raceGuard = false);
    bool Pending() const { return !sent_.empty(); }
    // The results of the statements sent, in order, and pipeline mode left;
    // the first that failed throws, once every result is read.
    std::vector<UniqueResult> Collect();
    UniqueResult Run(const std::string& sql, PgParams params = {});
    // Ends a transaction that failed: what was sent is dropped, and the
    // server rolls back.
    void Rollback() noexcept;
    // A connection the server dropped is made again, between transactions.
    void ReconnectIfBroken();

    static std::string Hint(const std::string& state);
    [[noreturn]] void Fail(const std::string& what, const std::string& hint, std::string error = {});

private:
    std::vector<UniqueResult> Drain() noexcept;

    struct Sent {
        std::string sql;  // its start, for messages
        Answer answer;
        bool raceGuard;
    };
    // After a failure the statements this connection prepared are not
    // known for sure: they are all dropped before the next is prepared.
    void Forget() noexcept;

    UniqueConn conn_;
    std::string name_;
    std::vector<Sent> sent_;  // statements sent in the pipeline, their results not yet read
    std::set<std::string> prepared_;
    bool dropPrepared_ = false;
};

}  // namespace reports
