// The receiver's HTTP side, on cpp-httplib:
//
//   GET /traycast.html?t=0|1&m=ID  200 once the report is committed; 400 for
//                                  a bad query, 503 when the database cannot
//                                  take it (never 200 for a report not stored)
//   GET /                          the dashboard (?from=YYYY-MM-DD&to=...&tz=8)
//   GET /summary.json              the same figures as JSON
//   GET /reports.csv               the range's reports, one row each
//   GET /healthz                   200 while reports can be queued
//   GET /metrics                   the counters, Prometheus text format
//
// Other paths 404, other methods 405, a target above kMaxTarget bytes 414,
// headers above kMaxHeaderBytes 431. Each connection serves one request and
// may send at most kMaxRequestBytes: Debian's httplib bounds each header
// line but not their number, so without that bound one client could grow a
// request's headers until the process runs out of memory.
//
// Intake no client can stop: one thread accepts and reads every request
// head without blocking, within a deadline from accept for the whole head,
// and only complete heads go to the request threads. Connections in flight
// are capped in all and per client address, and one past a cap is answered
// 503 at once. So idle or dripping connections hold a socket each, never a
// request thread, and a report from anyone else is served at once.
#pragma once
#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "metrics.h"
#include "writer.h"

namespace reports {

// The longest target a report can need: the path, t, and m with 260 bytes
// all escaped is 801 bytes.
constexpr std::size_t kMaxTarget = 1024;
constexpr std::size_t kMaxHeaderBytes = 8192;
constexpr std::size_t kMaxRequestBytes = 32768;

struct IntakeLimits {
    int headDeadlineMs = 5000;         // from accept to the end of the request head
    std::size_t maxConnections = 1024; // in flight, in all (lowered to fit the open-file limit)
    std::size_t maxPerClient = 64;     // in flight from one client address
};

struct ServerOptions {
    std::string dbPath;  // the dashboard's pages read it with connections of their own
    // Null: the bench floor, answering 200 to a good report without storing it.
    ReportWriter* writer = nullptr;
    IntakeLimits limits;
    // The Host names the pages are served under, besides any IP address
    // (reports are taken from anyone); empty: the listen address and
    // localhost.
    std::vector<std::string> hostNames;
    // A file the access log is appended to, "-" for stdout, empty for none.
    std::string accessLog;
    int utcOffsetHours = 0;  // the pages' zone when a request names none (--tz)
};

class ReportServer {
public:
    explicit ReportServer(ServerOptions options);
    ~ReportServer();

    // Binds host:port (port 0: any free one) and answers the port; throws
    // std::runtime_error naming the address when it cannot.
    int Bind(const std::string& host, int port);
    // Serves until Stop; answers false when the listening socket failed.
    bool Run();
    // Ends Run, whether it has started yet or not, from any thread.
    void Stop();

    const Metrics& metrics() const;

private:
    class Http;
    class Intake;
    std::unique_ptr<Http> http_;
    std::unique_ptr<Intake> intake_;
};

// Raises this process's open-file limit to its hard limit: each connection
// in flight holds a descriptor.
void RaiseOpenFileLimit();

}  // namespace reports
