// What the receiver's tests share: a temporary folder, child processes
// ended by their own PID, a live server in this process on an ephemeral
// loopback port, and a GET that returns the status.
#pragma once
#include <sys/types.h>

#include <functional>
#include <ostream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "fd.h"
#include "server.h"
#include "store.h"

namespace reports_test {

// A fresh folder under /tmp, removed with everything in it at the end.
class TempDir {
public:
    TempDir();
    ~TempDir();
    std::string Path(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// A program started with its stdout and stderr in pipes. Ended with SIGKILL
// (by its PID) if it still runs when this goes.
class Child {
public:
    explicit Child(const std::vector<std::string>& argv);
    ~Child();
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    pid_t pid() const { return pid_; }
    // The next line of its stdout within `timeoutMs`; empty when none came.
    std::string ReadLine(int timeoutMs);
    // All of its stdout until it closes it, at most `timeoutMs`.
    std::string ReadAll(int timeoutMs);
    // Waits for it to end (at most timeoutMs, else kills it) and answers the
    // exit code, 128+N for signal N; the rest of its stderr goes to `err`.
    int Wait(int timeoutMs, std::string* err = nullptr);
    void Kill(int signal);

private:
    pid_t pid_ = -1;
    reports::UniqueFd out_, err_;
    std::string pending_;
};

// The port in "listening on http://127.0.0.1:PORT/", or 0.
int PortOf(const std::string& line);

// A fresh, empty PostgreSQL database as a libpq connection string, on a
// server of this process's own: Debian's initdb and pg_ctl in a temporary
// folder (run as the postgres user when this runs as root), listening on a
// Unix socket in that folder only, stopped when the process ends. Fails the
// calling test when the server cannot start.
std::string NewPostgresDatabase();
// Stops that server and starts it again (its clients' connections break).
void RestartPostgres();
// Stops it, or starts it again; throws when pg_ctl fails.
void StopPostgres();
void StartPostgres();

// The back ends a store test runs against: a SQLite file in `dir`, or a new
// PostgreSQL database.
struct Backend {
    const char* name;
    std::string (*where)(const TempDir& dir);
};
extern const Backend kBackends[2];
inline void PrintTo(const Backend& backend, std::ostream* os) { *os << backend.name; }

// A receiver in this process on 127.0.0.1 and an ephemeral port over the
// database `db`; `prepare` runs on the writer's connection before it starts,
// `configure` on the server's options.
class LiveServer {
public:
    explicit LiveServer(const std::string& db, const std::function<void(reports::Store&)>& prepare = {},
                        const std::function<void(reports::ServerOptions&)>& configure = {});
    ~LiveServer();
    int port() const { return port_; }
    reports::ReportWriter& writer() { return *writer_; }

private:
    std::unique_ptr<reports::Store> store_;
    std::unique_ptr<reports::ReportWriter> writer_;
    std::unique_ptr<reports::ReportServer> server_;
    std::thread thread_;
    int port_ = 0;
};

struct Reply {
    int status = 0;  // 0: no answer
    std::string body;
};
Reply Get(int port, const std::string& target, const std::string& method = "GET",
          const std::vector<std::pair<std::string, std::string>>& headers = {});

std::int64_t CountRows(const std::string& db);

// Debian's headless Chromium, its profile in `dir`: the DOM of `url` as it
// renders it in a window 900 px wide.
std::string ChromiumDom(const TempDir& dir, const std::string& url);
// A page as served, laid out in a frame `width` px wide (a headless window
// is at least 500 px wide), with one line of script in the wrapper (the
// served page's policy allows none) that writes down how wide the page lays
// out; and a screenshot of it in `png`. -1 for what could not be had.
struct Layout {
    int scrollWidth = -1;
    int pngWidth = -1;
};
Layout LayOut(const TempDir& dir, const std::string& html, int width, const std::string& png);

// A loopback connection to `port` from the address `from` (127.0.0.2 is
// another client than 127.0.0.1), optionally sending `request` at once;
// empty when it cannot connect.
reports::UniqueFd ConnectFrom(const std::string& from, int port, const std::string& request = "");
// What arrives on `fd` until it closes or `timeoutMs` pass.
std::string ReadUntilClosed(int fd, int timeoutMs);

}  // namespace reports_test
