// The receiver's HTTP side, on cpp-httplib:
//
//   GET /traycast.html?t=0|1&m=ID  200 once the report is committed; 400 for
//                                  a bad query, 503 when the database cannot
//                                  take it (never 200 for a report not stored)
//   GET /                          the dashboard (?from=YYYY-MM-DD&to=...&tz=8)
//   GET /summary.json              the same figures as JSON
//   GET /reports.csv               the range's reports, one row each
//
// Other paths 404, other methods 405, a target above kMaxTarget bytes 414,
// headers above kMaxHeaderBytes 431. Each connection serves one request and
// may send at most kMaxRequestBytes: Debian's httplib bounds each header
// line but not their number, so without that bound one client could grow a
// request's headers until the process runs out of memory.
#pragma once
#include <atomic>
#include <memory>
#include <string>

#include "writer.h"

namespace reports {

// The longest target a report can need: the path, t, and m with 260 bytes
// all escaped is 801 bytes.
constexpr std::size_t kMaxTarget = 1024;
constexpr std::size_t kMaxHeaderBytes = 8192;
constexpr std::size_t kMaxRequestBytes = 32768;

struct ServerOptions {
    std::string dbPath;  // the dashboard's pages read it with connections of their own
    // Null: the bench floor, answering 200 to a good report without storing it.
    ReportWriter* writer = nullptr;
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

private:
    class Http;
    std::unique_ptr<Http> http_;
    std::atomic<bool> runStarted_{false}, runEnded_{false}, stopRequested_{false};
};

}  // namespace reports
