#include "server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <httplib.h>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "pages.h"
#include "query.h"
#include "text.h"

namespace reports {

namespace {

constexpr int kReadTimeoutMs = 5000;
constexpr int kWriteTimeoutMs = 5000;
// Request threads: each waits for its commit, so 16 clients need 16 threads;
// more are cheap while they wait.
constexpr std::size_t kThreads = 64;
// httplib listens with a backlog of 5; 16 clients connecting at once would
// see their connections dropped and retried a second later.
constexpr int kListenBacklog = 1024;
constexpr std::size_t kMaxHeaderCount = 64;
constexpr int kLatestRows = 20;
// The longest a /reports.csv download may take: about 20 million rows at a
// modest 100 Mbit/s. Past it the download is cut, so no client holds a
// request thread for ever.
constexpr std::chrono::minutes kCsvTimeLimit{15};

struct FdClose {
    void operator()(int* fd) const {
        ::close(*fd);
        delete fd;
    }
};
using UniqueFd = std::unique_ptr<int, FdClose>;

// httplib's Stream over an accepted socket that reads at most `budget`
// bytes and then reports the end of the stream: httplib answers what it has
// (414 or 400) instead of reading on without bound.
class BudgetStream : public httplib::Stream {
public:
    BudgetStream(int fd, std::size_t budget) : fd_(fd), budget_(budget) {}

    bool is_readable() const override { return pos_ < len_ || Wait(POLLIN, kReadTimeoutMs); }
    bool is_writable() const override { return Wait(POLLOUT, kWriteTimeoutMs); }

    ssize_t read(char* ptr, size_t size) override {
        if (pos_ == len_) {
            if (budget_ == 0) return 0;
            if (!Wait(POLLIN, kReadTimeoutMs)) return -1;
            const ssize_t n = ::recv(fd_, buffer_, std::min(sizeof buffer_, budget_), 0);
            if (n <= 0) return n;
            budget_ -= static_cast<std::size_t>(n);
            pos_ = 0;
            len_ = static_cast<std::size_t>(n);
        }
        const std::size_t n = std::min(size, len_ - pos_);
        std::memcpy(ptr, buffer_ + pos_, n);
        pos_ += n;
        return static_cast<ssize_t>(n);
    }

    ssize_t write(const char* ptr, size_t size) override {
        if (!Wait(POLLOUT, kWriteTimeoutMs)) return -1;
        return ::send(fd_, ptr, size, MSG_NOSIGNAL);
    }

    void get_remote_ip_and_port(std::string& ip, int& port) const override { Address(::getpeername, ip, port); }
    void get_local_ip_and_port(std::string& ip, int& port) const override { Address(::getsockname, ip, port); }
    socket_t socket() const override { return fd_; }

private:
    bool Wait(short events, int timeoutMs) const {
        pollfd p{fd_, events, 0};
        return ::poll(&p, 1, timeoutMs) > 0;
    }

    void Address(int (*get)(int, sockaddr*, socklen_t*), std::string& ip, int& port) const {
        sockaddr_storage addr{};
        socklen_t len = sizeof addr;
        ip.clear();
        port = -1;
        if (get(fd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) return;
        char text[INET6_ADDRSTRLEN] = {};
        if (addr.ss_family == AF_INET) {
            const auto* in = reinterpret_cast<const sockaddr_in*>(&addr);
            inet_ntop(AF_INET, &in->sin_addr, text, sizeof text);
            port = ntohs(in->sin_port);
        } else if (addr.ss_family == AF_INET6) {
            const auto* in6 = reinterpret_cast<const sockaddr_in6*>(&addr);
            inet_ntop(AF_INET6, &in6->sin6_addr, text, sizeof text);
            port = ntohs(in6->sin6_port);
        }
        ip = text;
    }

    int fd_;
    std::size_t budget_;
    char buffer_[4096];
    std::size_t pos_ = 0;
    std::size_t len_ = 0;
};

void Text(httplib::Response& res, int status, const std::string& body) {
    res.status = status;
    res.set_header("Cache-Control", "no-store");
    res.set_content(body + "\n", "text/plain; charset=utf-8");
}

// The raw path and query of a target, nothing decoded.
void SplitTarget(const std::string& target, std::string& path, std::string& query) {
    const std::size_t q = target.find('?');
    path = target.substr(0, q);
    query = q == std::string::npos ? std::string() : target.substr(q + 1);
}

// The range the page's from/to ask for, its days cut in the zone of `tz`
// (the server's --tz when absent), or a 400 already written.
std::optional<DayRange> RangeOf(const httplib::Request& req, httplib::Response& res, int serverZone) {
    if (req.get_param_value_count("from") > 1 || req.get_param_value_count("to") > 1) {
        Text(res, 400, "from and to may each appear once");
        return std::nullopt;
    }
    // A '+' in a query is a blank once decoded: tz=UTC+8 arrives as "UTC 8".
    std::string tz = req.get_param_value("tz");
    for (char& c : tz) c = c == ' ' ? '+' : c;
    const std::optional<int> zone = tz.empty() ? serverZone : ParseZone(tz);
    if (!zone || req.get_param_value_count("tz") > 1) {
        Text(res, 400, "tz must be whole hours east of UTC once, e.g. tz=8, tz=-5 or tz=UTC");
        return std::nullopt;
    }
    std::string why;
    std::optional<DayRange> range = ChooseRange(req.get_param_value("from"), req.get_param_value("to"),
                                                DayIn(static_cast<std::int64_t>(std::time(nullptr)), *zone), why);
    if (!range) Text(res, 400, why + ", e.g. ?from=2026-01-05&to=2026-01-11");
    if (range) range->utcOffsetHours = *zone;
    return range;
}

}  // namespace

class ReportServer::Http : public httplib::Server {
public:
    explicit Http(ServerOptions options) : options_(std::move(options)) {
        new_task_queue = [] { return new httplib::ThreadPool(kThreads); };
        // httplib's default also sets SO_REUSEPORT, which lets a second
        // receiver bind the same port and silently take half the reports
        // into its own database. SO_REUSEADDR alone still allows a restart
        // while old connections linger in TIME_WAIT.
        set_socket_options([](socket_t sock) {
            const int yes = 1;
            ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
        });
        set_payload_max_length(0);
        set_pre_routing_handler([](const httplib::Request& req, httplib::Response& res) {
            if (req.target.size() > kMaxTarget) {
                Text(res, 414, "the request target is longer than 1024 bytes");
                return HandlerResponse::Handled;
            }
            std::size_t headerBytes = 0;
            for (const auto& h : req.headers) headerBytes += h.first.size() + h.second.size() + 4;
            if (headerBytes > kMaxHeaderBytes || req.headers.size() > kMaxHeaderCount) {
                Text(res, 431, "the request headers are larger than 8192 bytes or 64 fields");
                return HandlerResponse::Handled;
            }
            if (req.method != "GET") {
                res.set_header("Allow", "GET");
                Text(res, 405, "only GET is served here");
                return HandlerResponse::Handled;
            }
            return HandlerResponse::Unhandled;
        });
        Get("/traycast.html", [this](const httplib::Request& req, httplib::Response& res) { Report(req, res); });
        Get("/", [this](const httplib::Request& req, httplib::Response& res) { Page(req, res, &Http::Dashboard); });
        Get("/summary.json",
            [this](const httplib::Request& req, httplib::Response& res) { Page(req, res, &Http::Json); });
        Get("/reports.csv",
            [this](const httplib::Request& req, httplib::Response& res) { Page(req, res, &Http::Csv); });
        set_error_handler([](const httplib::Request&, httplib::Response& res) {
            if (res.body.empty()) {
                const char* what = res.status == 404 ? "no such page: the reports go to /traycast.html"
                                   : res.status == 414 ? "the request target is too long"
                                                       : "bad request";
                Text(res, res.status, what);
            }
        });
        set_exception_handler([](const httplib::Request&, httplib::Response& res, std::exception_ptr) {
            Text(res, 500, "internal error");
        });
    }

    void Listen(int backlog) { ::listen(svr_sock_, backlog); }

private:
    bool process_and_close_socket(socket_t sock) override {
        UniqueFd fd(new int(sock));
        BudgetStream stream(sock, kMaxRequestBytes);
        bool closed = false;
        const bool ok = process_request(stream, true, closed, nullptr);
        ::shutdown(sock, SHUT_RDWR);
        return ok;
    }

    void Report(const httplib::Request& req, httplib::Response& res) {
        std::string path, query;
        SplitTarget(req.target, path, query);
        if (path != "/traycast.html") {
            Text(res, 404, "no such page: the reports go to /traycast.html");
            return;
        }
        ReportQuery parsed;
        const QueryError error = ParseReportQuery(query, parsed);
        if (error != QueryError::None) {
            Text(res, 400, Describe(error));
            return;
        }
        if (options_.writer == nullptr) {
            Text(res, 200, "ok");
            return;
        }
        reports::Report row;
        row.at = static_cast<std::int64_t>(std::time(nullptr));
        row.kind = parsed.kind;
        row.machine = std::move(parsed.machine);
        row.client = req.remote_addr;
        if (options_.writer->Submit(std::move(row))) {
            Text(res, 200, "ok");
        } else {
            LogRefusal(options_.writer->LastError());
            Text(res, 503, "the report could not be stored; send it again later");
        }
    }

    // At most one line a second: a full disk refuses every report.
    void LogRefusal(const std::string& why) {
        const auto now = std::chrono::steady_clock::now();
        std::lock_guard<std::mutex> lock(logMutex_);
        if (now - lastLog_ < std::chrono::seconds(1)) return;
        lastLog_ = now;
        std::fprintf(stderr, "quentra-reports: answered 503: %s\n",
                     why.empty() ? "too many reports waiting for the disk" : why.c_str());
    }

    using PageFn = void (Http::*)(const std::shared_ptr<Store>&, const DayRange&, httplib::Response&);

    void Page(const httplib::Request& req, httplib::Response& res, PageFn page) {
        std::string path, query;
        SplitTarget(req.target, path, query);
        if (path != req.path) {  // an escaped path is not one of ours
            Text(res, 404, "no such page");
            return;
        }
        const std::optional<DayRange> range = RangeOf(req, res, options_.utcOffsetHours);
        if (!range) return;
        try {
            (this->*page)(Store::Open(options_.dbPath, Store::Mode::ReadOnly), *range, res);
        } catch (const std::exception& e) {
            std::fprintf(stderr, "quentra-reports: %s\n", e.what());
            Text(res, 503, "the database cannot be read now; try again later");
        }
    }

    void Dashboard(const std::shared_ptr<Store>& store, const DayRange& range, httplib::Response& res) {
        Cp936ToUtf8 toUtf8;
        const Summary s =
            ReadSummary(*store, range, DayIn(static_cast<std::int64_t>(std::time(nullptr)), range.utcOffsetHours), true);
        res.set_header("Content-Security-Policy", "default-src 'none'; style-src 'unsafe-inline'; form-action 'self'");
        res.set_header("Cache-Control", "no-store");
        res.set_content(DashboardPage(s, store->LatestReports(range, kLatestRows), toUtf8), "text/html; charset=utf-8");
    }

    void Json(const std::shared_ptr<Store>& store, const DayRange& range, httplib::Response& res) {
        const Summary s = ReadSummary(*store, range, DayIn(static_cast<std::int64_t>(std::time(nullptr)), range.utcOffsetHours));
        res.set_header("Cache-Control", "no-store");
        res.set_content(SummaryJson(s), "application/json");
    }

    // Streamed in chunks from pages of rows by id, each page a short read of
    // its own, up to the last row stored when the request came: a million
    // rows never sit in memory, and a slow reader holds no read open that
    // would keep the WAL from being checkpointed. A read that fails halfway,
    // or a download still going after kCsvTimeLimit, ends the connection
    // without the last chunk: the client sees the CSV is cut instead of
    // taking a short one for the whole.
    void Csv(const std::shared_ptr<Store>& store, const DayRange& range, httplib::Response& res) {
        res.set_header("Cache-Control", "no-store");
        res.set_chunked_content_provider("text/csv; charset=utf-8", [store, range](size_t, httplib::DataSink& sink) {
            Cp936ToUtf8 toUtf8;
            std::string chunk = CsvHeader();
            bool open = true;
            const auto deadline = std::chrono::steady_clock::now() + kCsvTimeLimit;
            try {
                store->ForEachReport(range, [&](const reports::Report& row) {
                    chunk += CsvRow(row, toUtf8);
                    if (chunk.size() >= 65536) {
                        open = sink.write(chunk.data(), chunk.size()) && std::chrono::steady_clock::now() < deadline;
                        chunk.clear();
                    }
                    return open;
                });
            } catch (const std::exception& e) {
                std::fprintf(stderr, "quentra-reports: reports.csv cut short: %s\n", e.what());
                return false;
            }
            if (!open || (!chunk.empty() && !sink.write(chunk.data(), chunk.size()))) return false;
            sink.done();
            return true;
        });
    }

    ServerOptions options_;
    std::mutex logMutex_;
    std::chrono::steady_clock::time_point lastLog_{};
};

ReportServer::ReportServer(ServerOptions options) : http_(std::make_unique<Http>(std::move(options))) {}
ReportServer::~ReportServer() = default;

int ReportServer::Bind(const std::string& host, int port) {
    int bound = port;
    if (port == 0) {
        bound = http_->bind_to_any_port(host);
    } else if (!http_->bind_to_port(host, port)) {
        bound = -1;
    }
    if (bound <= 0) {
        throw std::runtime_error("cannot listen on " + host + ":" + std::to_string(port) +
                                 " (another program may hold the port, or the address is not this machine's; "
                                 "pick another with --listen ADDR:PORT)");
    }
    http_->Listen(kListenBacklog);
    return bound;
}

bool ReportServer::Run() {
    runStarted_ = true;
    const bool ok = stopRequested_ || http_->listen_after_bind();
    runEnded_ = true;
    return ok;
}

// httplib's stop() does nothing until its loop runs: a Stop that comes
// between Run's start and the loop's would be lost, and Run would never end.
void ReportServer::Stop() {
    stopRequested_ = true;
    while (runStarted_ && !runEnded_) {
        if (http_->is_running()) {
            http_->stop();
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

}  // namespace reports
