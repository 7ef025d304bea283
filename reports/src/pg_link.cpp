#include "pg_link.h"

#include <cstdlib>

#include "store.h"

namespace reports {

const char* const* PgParams::values() {
    pointers_.clear();
    for (const std::string& v : values_) pointers_.push_back(v.data());
    return pointers_.data();
}

void PgParams::Add(std::string value, int format) {
    lengths_.push_back(static_cast<int>(value.size()));
    formats_.push_back(format);
    values_.push_back(std::move(value));
}

void ArrayText::Bytes(std::string_view bytes) {
    static const char kHex[] = "0123456789abcdef";
    std::string element = "\"\\\\x";
    for (const char c : bytes) element += {kHex[static_cast<unsigned char>(c) >> 4], kHex[c & 15]};
    Add(element + "\"");
}

std::int64_t PgInt(const PGresult* r, int row, int column) {
    return PQgetisnull(r, row, column) ? 0 : std::strtoll(PQgetvalue(r, row, column), nullptr, 10);
}

std::string PgBytea(const PGresult* r, int row, int column) {
    std::size_t length = 0;
    unsigned char* bytes = PQunescapeBytea(reinterpret_cast<const unsigned char*>(PQgetvalue(r, row, column)), &length);
    if (bytes == nullptr) throw StoreError("out of memory reading a report");
    std::string out(reinterpret_cast<const char*>(bytes), length);
    PQfreemem(bytes);
    return out;
}

PgLink::PgLink(const std::string& conninfo) {
    conn_.reset(PQconnectdb(conninfo.c_str()));
    if (!conn_ || PQstatus(conn_.get()) != CONNECTION_OK) {
        Fail("cannot connect", "check the connection string, that the server runs and lets this user in");
    }
    name_ = std::string(PQdb(conn_.get())) + " on " + (PQhost(conn_.get()) ? PQhost(conn_.get()) : "?");
}

void PgLink::Send(const std::string& sql, PgParams params, Answer answer, bool raceGuard) {
    if (PQpipelineStatus(conn_.get()) == PQ_PIPELINE_OFF && PQenterPipelineMode(conn_.get()) != 1) {
        Fail("cannot enter pipeline mode", Hint("08000"));
    }
    if (PQsendQueryParams(conn_.get(), sql.c_str(), params.size(), nullptr, params.values(), params.lengths(),
                          params.formats(), 0) != 1) {
        sent_.clear();
        Drain();
        Fail("cannot send " + sql.substr(0, 60), Hint("08000"));
    }
    sent_.push_back({sql.substr(0, 60), std::move(answer), raceGuard});
}

void PgLink::SendPrepared(const char* name, const char* sql, PgParams params, Answer answer, bool raceGuard) {
    if (PQpipelineStatus(conn_.get()) == PQ_PIPELINE_OFF && PQenterPipelineMode(conn_.get()) != 1) {
        Fail("cannot enter pipeline mode", Hint("08000"));
    }
    if (dropPrepared_) {
        dropPrepared_ = false;
        Send("DEALLOCATE ALL");
    }
    if (!prepared_.count(name)) {
        if (PQsendPrepare(conn_.get(), name, sql, 0, nullptr) != 1) {
            Forget();
            Fail(std::string("cannot prepare ") + name, Hint("08000"));
        }
        sent_.push_back({std::string("PREPARE ") + name, {}, false});
        prepared_.insert(name);
    }
    if (PQsendQueryPrepared(conn_.get(), name, params.size(), params.values(), params.lengths(), params.formats(), 0) != 1) {
        Forget();
        Fail(std::string("cannot send ") + name, Hint("08000"));
    }
    sent_.push_back({std::string(sql).substr(0, 60), std::move(answer), raceGuard});
}

void PgLink::Forget() noexcept {
    sent_.clear();
    Drain();
    prepared_.clear();
    dropPrepared_ = true;
}

std::vector<UniqueResult> PgLink::Collect() {
    std::vector<UniqueResult> results = Drain();
    std::vector<Sent> sent;
    sent.swap(sent_);
    for (std::size_t i = 0; i < sent.size(); ++i) {
        const PGresult* r = i < results.size() ? results[i].get() : nullptr;
        const ExecStatusType status = r ? PQresultStatus(r) : PGRES_FATAL_ERROR;
        if (status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK) continue;
        prepared_.clear();
        dropPrepared_ = true;
        const char* state = r ? PQresultErrorField(r, PG_DIAG_SQLSTATE) : nullptr;
        if (sent[i].raceGuard && state != nullptr && std::string(state) == "23505") {
            throw Contended("database " + name_ + ": another receiver created a machine's state first");
        }
        Fail("cannot run " + sent[i].sql,
             PQstatus(conn_.get()) == CONNECTION_BAD ? Hint("08000") : Hint(state ? state : ""),
             r ? PQresultErrorMessage(r) : "");
    }
    for (std::size_t i = 0; i < sent.size(); ++i) {
        if (sent[i].answer) sent[i].answer(results[i].get());
    }
    return results;
}

// Ends the pipeline: a sync, every result read up to it (each statement's
// results end with a null; the sync's comes last), pipeline mode left.
// Answers the statements' results.
std::vector<UniqueResult> PgLink::Drain() noexcept {
    std::vector<UniqueResult> results;
    if (PQpipelineStatus(conn_.get()) == PQ_PIPELINE_OFF) return results;
    if (PQpipelineSync(conn_.get()) == 1) {
        int nulls = 0;
        while (nulls < 2) {  // two nulls in a row: nothing more comes (a broken connection)
            UniqueResult r(PQgetResult(conn_.get()));
            if (!r) {
                ++nulls;
                continue;
            }
            nulls = 0;
            if (PQresultStatus(r.get()) == PGRES_PIPELINE_SYNC) break;
            results.push_back(std::move(r));
        }
    }
    // Results left unread only on a broken connection: start over on a
    // new one before the next transaction, where nothing is prepared yet.
    if (PQexitPipelineMode(conn_.get()) != 1) {
        PQreset(conn_.get());
        prepared_.clear();
        dropPrepared_ = false;
    }
    return results;
}

UniqueResult PgLink::Run(const std::string& sql, PgParams params) {
    if (!sent_.empty()) Collect();
    UniqueResult r(params.size() == 0 ? PQexec(conn_.get(), sql.c_str())
                                      : PQexecParams(conn_.get(), sql.c_str(), params.size(), nullptr,
                                                     params.values(), params.lengths(), params.formats(), 0));
    const ExecStatusType status = r ? PQresultStatus(r.get()) : PGRES_FATAL_ERROR;
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) {
        const char* state = r ? PQresultErrorField(r.get(), PG_DIAG_SQLSTATE) : nullptr;
        Fail("cannot run " + sql.substr(0, 60),
             PQstatus(conn_.get()) == CONNECTION_BAD ? Hint("08000") : Hint(state ? state : ""));
    }
    return r;
}

void PgLink::Rollback() noexcept {
    if (!sent_.empty()) {
        prepared_.clear();
        dropPrepared_ = true;
    }
    sent_.clear();
    Drain();
    if (PQtransactionStatus(conn_.get()) != PQTRANS_IDLE) PQclear(PQexec(conn_.get(), "ROLLBACK"));
}

void PgLink::ReconnectIfBroken() {
    if (PQstatus(conn_.get()) != CONNECTION_BAD) return;
    PQreset(conn_.get());
    // A new session: nothing of the old one is prepared there.
    prepared_.clear();
    dropPrepared_ = false;
}

std::string PgLink::Hint(const std::string& state) {
    if (state == "53100") return "the database server's disk is full; free space on it";
    if (state == "25006") return "the database is read-only here; connect to the primary server";
    if (state.rfind("08", 0) == 0) return "the connection to the database server failed; check that it runs";
    if (state == "42501") return "this database user lacks the privilege; grant it or connect as the owner";
    return "see PostgreSQL's message";
}

void PgLink::Fail(const std::string& what, const std::string& hint, std::string error) {
    std::string message = "database " + (name_.empty() ? std::string("(PostgreSQL)") : name_) + ": " + what;
    if (conn_) {
        if (error.empty()) error = PQerrorMessage(conn_.get());
        while (!error.empty() && (error.back() == '\n' || error.back() == ' ')) error.pop_back();
        if (!error.empty()) message += ": " + error;
    }
    throw StoreError(message + " (" + hint + ")");
}

}  // namespace reports
