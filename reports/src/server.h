// The receiver's HTTP side: the intake (intake.h) hands each request whose
// head has come to the route table (routes.h), which answers it:
//
//   GET /traycast.html?t=0|1&m=ID  200 once the report is committed; 400 for
//                                  a bad query, 503 when the store cannot
//                                  take it (never 200 for a report not stored)
//   GET /                          the dashboard (?from=YYYY-MM-DD&to=...&tz=8)
//   GET /summary.json              the same figures as JSON
//   GET /reports.csv               the range's reports, one row each
//   GET /healthz                   200 while the store can commit, else 503
//   GET /metrics                   the counters, Prometheus text format
//
// HEAD is answered wherever GET is but on /traycast.html (a HEAD stores
// nothing). Other paths 404, other methods 405, a target above kMaxTarget
// bytes 414, headers above kMaxHeaderBytes 431 (request_rules.h).
//
// This is the facade the program and the tests hold: it puts the two
// together and owns what they share.
#pragma once
#include <memory>
#include <string>
#include <vector>

#include "intake.h"
#include "metrics.h"
#include "writer.h"

namespace reports {

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
    // Throws std::runtime_error when the access log cannot be opened.
    explicit ReportServer(ServerOptions options);
    ~ReportServer();

    // Binds host:port (port 0: any free one) and answers the port; throws
    // std::runtime_error naming the address when it cannot.
    int Bind(const std::string& host, int port);
    // Serves until Stop, then answers the requests in hand; answers false
    // when the listening socket failed.
    bool Run();
    // Ends Run, whether it has started yet or not, from any thread.
    void Stop();

    const Metrics& metrics() const;

private:
    struct Parts;
    std::unique_ptr<Parts> parts_;
};

// Raises this process's open-file limit to its hard limit: each connection
// holds a descriptor. Answers false (errno set) when it could not.
bool RaiseOpenFileLimit();

}  // namespace reports
