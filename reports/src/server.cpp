#include "server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <functional>
#include <optional>
#include <deque>
#include <httplib.h>
#include <map>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <unordered_map>

#include "campaign_pages.h"
#include "campaign_routes.h"
#include "clf.h"
#include "pages.h"
#include "query.h"
#include "text.h"

namespace reports {

namespace {

constexpr int kReadTimeoutMs = 5000;
constexpr int kWriteTimeoutMs = 5000;
// Request threads. A report's does not wait for its commit (the writer
// sends its answer); pages and slow readers of answers hold one each.
constexpr std::size_t kThreads = 64;
// Pages read the database for seconds over millions of rows: a few at once.
constexpr int kMaxPages = 4;
// How often the intake looks for heads past their deadline.
constexpr int kSweepMs = 50;
// httplib listens with a backlog of 5; 16 clients connecting at once would
// see their connections dropped and retried a second later.
constexpr int kListenBacklog = 1024;
constexpr std::size_t kMaxHeaderCount = 64;
constexpr int kLatestRows = 20;
// The longest a /reports.csv download may take: about 20 million rows at a
// modest 100 Mbit/s. Past it the download is cut, so no client holds a
// request thread for ever.
constexpr std::chrono::minutes kCsvTimeLimit{15};

// The text address and port of a socket's peer (getpeername) or own end
// (getsockname); empty and -1 when it has none.
void SocketAddress(int fd, int (*get)(int, sockaddr*, socklen_t*), std::string& ip, int& port) {
    sockaddr_storage addr{};
    socklen_t len = sizeof addr;
    ip.clear();
    port = -1;
    if (get(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) return;
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

struct FdClose {
    void operator()(int* fd) const {
        ::close(*fd);
        delete fd;
    }
};
using UniqueFd = std::unique_ptr<int, FdClose>;

// httplib's Stream over an accepted socket: first the head the intake has
// read, then at most `budget` more bytes, and then the end of the stream:
// httplib answers what it has (414 or 400) instead of reading on without
// bound.
class BudgetStream : public httplib::Stream {
public:
    BudgetStream(int fd, std::string head, std::size_t budget) : fd_(fd), head_(std::move(head)), budget_(budget) {}

    // From here on what is written is kept, not sent: the answer of a report
    // goes out once the report is committed.
    void Hold() { holding_ = true; }
    std::string& held() { return held_; }

    bool is_readable() const override { return headPos_ < head_.size() || pos_ < len_ || Wait(POLLIN, kReadTimeoutMs); }
    bool is_writable() const override { return Wait(POLLOUT, kWriteTimeoutMs); }

    ssize_t read(char* ptr, size_t size) override {
        if (headPos_ < head_.size()) {
            const std::size_t n = std::min(size, head_.size() - headPos_);
            std::memcpy(ptr, head_.data() + headPos_, n);
            headPos_ += n;
            return static_cast<ssize_t>(n);
        }
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
        if (holding_) {
            held_.append(ptr, size);
            return static_cast<ssize_t>(size);
        }
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
        SocketAddress(fd_, get, ip, port);
    }

    int fd_;
    std::string head_;
    std::size_t headPos_ = 0;
    std::size_t budget_;
    char buffer_[4096];
    std::size_t pos_ = 0;
    std::size_t len_ = 0;
    bool holding_ = false;
    std::string held_;
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

std::string Lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// The name of a Host header without its port and an IPv6 address's
// brackets: "Example.com:80" is "example.com", "[::1]:8080" is "::1".
std::string HostName(const std::string& host) {
    if (!host.empty() && host[0] == '[') {
        const std::size_t close = host.find(']');
        return close == std::string::npos ? Lower(host) : Lower(host.substr(1, close - 1));
    }
    return Lower(host.substr(0, host.find(':')));
}

// An answer written straight to a socket the request threads never see:
// the caps' 503 and the head deadline's 408. What the client already sent
// is read away first, so that closing does not reset the connection before
// the answer arrives.
void Refuse(int fd, int status, const char* reason, const std::string& body) {
    char scratch[4096];
    for (int i = 0; i < 16 && ::recv(fd, scratch, sizeof scratch, MSG_DONTWAIT) > 0; ++i) {
    }
    const std::string text = "HTTP/1.1 " + std::to_string(status) + " " + reason +
                             "\r\nContent-Type: text/plain; charset=utf-8\r\nContent-Length: " +
                             std::to_string(body.size() + 1) +
                             "\r\nCache-Control: no-store\r\nRetry-After: 1\r\nConnection: close\r\n\r\n" +
                             body + "\n";
    ::send(fd, text.data(), text.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
}

// A request line with blanks inside its target ("GET /traycast.html?t=0&m=PC
// 01 HTTP/1.1", from a plug-in that does not escape) gets them as %20, so
// that the identifier is stored as sent instead of the line refused: the
// target runs from the first blank to the last.
void JoinTargetBlanks(std::string& head) {
    const std::size_t eol = head.find('\n');
    if (eol == std::string::npos) return;
    const std::size_t first = head.find(' ');
    std::size_t last = head.rfind(' ', eol);
    if (first >= last || head.compare(last + 1, 5, "HTTP/") != 0) return;
    for (std::size_t at = head.find(' ', first + 1); at < last; at = head.find(' ', at + 1)) {
        head.replace(at, 1, "%20");
        last += 2;
    }
}

// What a request's access-log line needs once its answer is sent.
struct LogFields {
    std::string client, method, target, version;
    std::int64_t bodyBytes = 0;
};

// A report parsed by a request thread, waiting to go to the writer.
struct HeldReport {
    Report row;
    LogFields line;
};

// The connection a request thread is serving, for the handlers httplib
// calls: a report handler holds the answer and leaves its report here.
struct Exchange {
    BudgetStream* stream;
    std::optional<HeldReport> report;
};
thread_local Exchange* tExchange = nullptr;

}  // namespace

class ReportServer::Http : public httplib::Server {
public:
    explicit Http(ServerOptions options) : options_(std::move(options)) {
        // httplib's default also sets SO_REUSEPORT, which lets a second
        // receiver bind the same port and silently take half the reports
        // into its own database. SO_REUSEADDR alone still allows a restart
        // while old connections linger in TIME_WAIT.
        set_socket_options([](socket_t sock) {
            const int yes = 1;
            ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
        });
        set_payload_max_length(0);
        if (!options_.accessLog.empty()) {
            const int fd = options_.accessLog == "-" ? ::dup(1)
                                                     : ::open(options_.accessLog.c_str(),
                                                              O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0640);
            if (fd < 0) {
                throw std::runtime_error("cannot open the access log " + options_.accessLog + ": " +
                                         std::strerror(errno) + " (check the folder and its permissions)");
            }
            accessLog_.reset(new int(fd));
        }
        if (options_.writer != nullptr) {
            options_.writer->ObserveCommits([this](double seconds) { metrics_.Commit(seconds); });
        }
        set_logger([this](const httplib::Request& req, const httplib::Response& res) {
            if (tExchange != nullptr && tExchange->report) return;  // logged once its answer is sent
            Log(req.remote_addr, req.method, req.target, req.version, res.status,
                res.content_provider_ ? -1 : static_cast<std::int64_t>(res.body.size()));
        });
        set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
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
            // A DNS-rebinding page reaches a loopback receiver under its own
            // name: the pages show identifiers and addresses only under
            // the names the operator gave.
            const bool page = req.path == "/" || req.path == "/summary.json" || req.path == "/reports.csv" ||
                              IsCampaignRoute(req.path);
            if (page && !HostAllowed(req.get_header_value("Host"))) {
                Text(res, 403, "the pages are served only under the names given with --host-name");
                return HandlerResponse::Handled;
            }
            return HandlerResponse::Unhandled;
        });
        Get("/traycast.html", [this](const httplib::Request& req, httplib::Response& res) { Report(req, res); });
        Get("/", [this](const httplib::Request& req, httplib::Response& res) { Page(req, res, Of(&Http::Dashboard)); });
        Get("/summary.json",
            [this](const httplib::Request& req, httplib::Response& res) { Page(req, res, Of(&Http::Json)); });
        Get("/reports.csv",
            [this](const httplib::Request& req, httplib::Response& res) { Page(req, res, Of(&Http::Csv)); });
        for (const char* route : {"/campaign", "/campaign.json", "/compare", "/compare.json"}) {
            Get(route, [this](const httplib::Request& req, httplib::Response& res) {
                Page(req, res, [&req](const std::shared_ptr<Store>& store, const DayRange&, httplib::Response& out) {
                    const RouteAnswer a = CampaignRoute(req.path, req.params, *store);
                    out.status = a.status;
                    for (const auto& [name, value] : a.headers) out.set_header(name.c_str(), value);
                    out.set_content(a.body, a.contentType.c_str());
                });
            });
        }
        Get("/healthz", [this](const httplib::Request&, httplib::Response& res) {
            const bool full = options_.writer != nullptr && options_.writer->Waiting() >= ReportWriter::kMaxWaiting;
            Text(res, full ? 503 : 200, full ? "reports are waiting for the disk" : "ok");
        });
        Get("/metrics", [this](const httplib::Request&, httplib::Response& res) {
            res.set_header("Cache-Control", "no-store");
            res.set_content(metrics_.Prometheus(options_.writer ? options_.writer->Waiting() : 0, connections),
                            "text/plain; version=0.0.4; charset=utf-8");
        });
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
    int ListeningSocket() const { return svr_sock_; }

    // The names the pages are served under besides any address: the
    // operator's, or the listen address and localhost.
    void DefaultHostNames(const std::string& listenHost) {
        if (!options_.hostNames.empty()) return;
        options_.hostNames = {listenHost, "localhost"};
    }

    // Serves one connection whose head the intake has read. `release`
    // closes it: here, or for a report once its answer is sent, on the
    // writer's answering thread.
    void Serve(int sock, std::string head, std::function<void()> release) {
        JoinTargetBlanks(head);
        const std::size_t budget = kMaxRequestBytes - std::min(kMaxRequestBytes, head.size());
        BudgetStream stream(sock, std::move(head), budget);
        Exchange exchange{&stream, std::nullopt};
        tExchange = &exchange;
        bool closed = false;
        // Range is ignored: every answer is the whole of it, and a streamed
        // one cannot be cut to a range.
        process_request(stream, true, closed, [](httplib::Request& req) { req.ranges.clear(); });
        tExchange = nullptr;
        if (exchange.report) {
            Queue(sock, std::move(*exchange.report), std::move(stream.held()), std::move(release));
        } else {
            ::shutdown(sock, SHUT_RDWR);
            release();
        }
    }

    // One access-log line, written whole by one write(2) to a file opened
    // for appending.
    void Log(const std::string& client, const std::string& method, const std::string& target,
             const std::string& version, int status, std::int64_t bytes) {
        if (!accessLog_) return;
        const std::string line = ClfLogLine(client, static_cast<std::int64_t>(std::time(nullptr)), method, target,
                                            version, status, bytes);
        if (::write(*accessLog_, line.data(), line.size()) < 0) {
            LogRefusal(std::string("the access log cannot be written: ") + std::strerror(errno));
        }
    }

    Metrics metrics_;
    std::atomic<std::size_t> connections{0};

private:
    // An address needs no name: a rebinding page has a name of its own,
    // and a browser sends that name.
    bool HostAllowed(const std::string& host) const {
        const std::string name = HostName(host);
        unsigned char address[sizeof(in6_addr)];
        if (::inet_pton(AF_INET, name.c_str(), address) == 1 || ::inet_pton(AF_INET6, name.c_str(), address) == 1) {
            return true;
        }
        for (const std::string& allowed : options_.hostNames) {
            if (!name.empty() && name == Lower(allowed)) return true;
        }
        return false;
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
            metrics_.Refused(error);
            Text(res, 400, Describe(error));
            return;
        }
        Text(res, 200, "ok");
        if (options_.writer == nullptr) return;
        // The answer is written now but held: it goes out once the report
        // is committed (Queue), and a 503 instead when it cannot be.
        HeldReport held;
        held.row.at = static_cast<std::int64_t>(std::time(nullptr));
        held.row.kind = parsed.kind;
        held.row.machine = std::move(parsed.machine);
        held.row.client = req.remote_addr;
        held.line = {req.remote_addr, req.method, req.target, req.version, static_cast<std::int64_t>(res.body.size())};
        tExchange->stream->Hold();
        tExchange->report = std::move(held);
    }

    // Hands a report to the writer, which sends its held 200 once it is
    // committed; a 503 when it cannot be stored. Either way the connection
    // is released after its answer.
    void Queue(int sock, HeldReport held, std::string answer, std::function<void()> release) {
        const std::int64_t at = held.row.at;
        auto done = [this, sock, at, line = held.line, answer = std::move(answer), release](bool stored) {
            if (stored) {
                metrics_.Stored(at);
                ::send(sock, answer.data(), answer.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
                Log(line.client, line.method, line.target, line.version, 200, line.bodyBytes);
            } else {
                metrics_.Unavailable(Busy::Database);
                LogRefusal(options_.writer->LastError());
                Unstored(sock, line);
            }
            ::shutdown(sock, SHUT_RDWR);
            release();
        };
        switch (options_.writer->Submit(std::move(held.row), std::move(done))) {
            case ReportWriter::Outcome::Queued:
                return;
            case ReportWriter::Outcome::Full:
                metrics_.Unavailable(Busy::Queue);
                LogRefusal("");
                break;
            case ReportWriter::Outcome::Stopped:
                metrics_.Unavailable(Busy::Database);
                LogRefusal("the server is stopping");
                break;
        }
        Unstored(sock, held.line);
        ::shutdown(sock, SHUT_RDWR);
        release();
    }

    void Unstored(int sock, const LogFields& line) {
        static const std::string why = "the report could not be stored; send it again later";
        Refuse(sock, 503, "Service Unavailable", why);
        Log(line.client, line.method, line.target, line.version, 503, static_cast<std::int64_t>(why.size() + 1));
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

    using PageFn = std::function<void(const std::shared_ptr<Store>&, const DayRange&, httplib::Response&)>;
    using MemberPage = void (Http::*)(const std::shared_ptr<Store>&, const DayRange&, httplib::Response&);
    PageFn Of(MemberPage page) {
        return [this, page](const std::shared_ptr<Store>& store, const DayRange& range, httplib::Response& res) {
            (this->*page)(store, range, res);
        };
    }

    void Page(const httplib::Request& req, httplib::Response& res, PageFn page) {
        std::string path, query;
        SplitTarget(req.target, path, query);
        if (path != req.path) {  // an escaped path is not one of ours
            Text(res, 404, "no such page");
            return;
        }
        const std::optional<DayRange> range = RangeOf(req, res, options_.utcOffsetHours);
        if (!range) return;
        // Held until the answer is sent, a streamed one included.
        std::shared_ptr<void> slot(nullptr, [this](void*) { pages_--; });
        if (++pages_ > kMaxPages) {
            metrics_.Unavailable(Busy::Pages);
            res.set_header("Retry-After", "1");
            Text(res, 503, "too many pages are being made; try again in a moment");
            return;
        }
        try {
            page(Store::Open(options_.dbPath, Store::Mode::ReadOnly), *range, res);
            if (res.content_provider_) {
                auto provider = std::move(res.content_provider_);
                res.content_provider_ = [provider, slot](size_t offset, size_t length, httplib::DataSink& sink) {
                    return provider(offset, length, sink);
                };
            }
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
        res.set_content(DashboardPage(s, store->LatestReports(range, kLatestRows), toUtf8,
                                      HealthStrip(metrics_, static_cast<std::int64_t>(std::time(nullptr))),
                                      CampaignList(store->ReadLedger())),
                        "text/html; charset=utf-8");
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
    UniqueFd accessLog_;
    std::atomic<int> pages_{0};
};

// The accepting thread and the request threads. The accepting thread owns
// every connection until its head is complete: it reads without blocking,
// answers 503 past a cap and 408 past the head's deadline, and hands
// complete heads to the request threads through a queue that the caps
// bound.
class ReportServer::Intake {
public:
    Intake(Http& http, IntakeLimits limits) : http_(http), limits_(limits), wake_(new int(::eventfd(0, EFD_CLOEXEC))) {
        rlimit files{};
        if (::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur != RLIM_INFINITY) {
            // Room for the database, the log and the listening socket.
            const std::size_t room = files.rlim_cur > 64 ? files.rlim_cur - 64 : 1;
            limits_.maxConnections = std::min(limits_.maxConnections, room);
        }
    }

    bool Run(int listening) {
        UniqueFd poller(new int(::epoll_create1(EPOLL_CLOEXEC)));
        const int flags = ::fcntl(listening, F_GETFL);
        ::fcntl(listening, F_SETFL, flags | O_NONBLOCK);
        Watch(*poller, listening, EPOLLIN);
        Watch(*poller, *wake_, EPOLLIN);
        std::vector<std::thread> threads;
        for (std::size_t i = 0; i < kThreads; ++i) threads.emplace_back([this] { Work(); });
        bool ok = true;
        auto nextSweep = Clock::now() + std::chrono::milliseconds(kSweepMs);
        bool acceptPaused = false;
        epoll_event events[64];
        while (!stopping_) {
            const int n = ::epoll_wait(*poller, events, 64, kSweepMs);
            if (n < 0 && errno != EINTR) {
                ok = false;
                break;
            }
            for (int i = 0; i < n; ++i) {
                const int fd = events[i].data.fd;
                if (fd == *wake_) continue;
                if (fd == listening) {
                    if (events[i].events & (EPOLLERR | EPOLLHUP)) {
                        ok = false;
                        stopping_ = true;
                    } else if (!Accept(*poller, listening)) {
                        // Out of descriptors: stop accepting until the next
                        // sweep instead of spinning on the listening socket.
                        ::epoll_ctl(*poller, EPOLL_CTL_DEL, listening, nullptr);
                        acceptPaused = true;
                    }
                } else {
                    ReadHead(*poller, fd);
                }
            }
            if (Clock::now() >= nextSweep) {
                Sweep(*poller);
                nextSweep = Clock::now() + std::chrono::milliseconds(kSweepMs);
                if (acceptPaused) {
                    Watch(*poller, listening, EPOLLIN);
                    acceptPaused = false;
                }
            }
        }
        for (auto& [fd, conn] : heads_) Close(fd, conn.client);
        heads_.clear();
        {
            std::lock_guard<std::mutex> lock(mutex_);
            workersStop_ = true;
        }
        ready_cv_.notify_all();
        for (std::thread& t : threads) t.join();
        return ok;
    }

    void Stop() {
        stopping_ = true;
        const std::uint64_t one = 1;
        if (::write(*wake_, &one, sizeof one) < 0) {
            // The loop still sees stopping_ at its next sweep.
        }
    }

private:
    using Clock = std::chrono::steady_clock;
    struct Head {
        std::string client;
        std::string bytes;
        Clock::time_point deadline;
    };

    static void Watch(int poller, int fd, std::uint32_t events) {
        epoll_event e{};
        e.events = events;
        e.data.fd = fd;
        ::epoll_ctl(poller, EPOLL_CTL_ADD, fd, &e);
    }

    // Answers false when the process is out of descriptors.
    bool Accept(int poller, int listening) {
        for (;;) {
            const int fd = ::accept4(listening, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (fd < 0) return errno != EMFILE && errno != ENFILE && errno != ENOBUFS && errno != ENOMEM;
            std::string client;
            int port = 0;
            SocketAddress(fd, ::getpeername, client, port);
            std::optional<Busy> busy;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                std::size_t& mine = perClient_[client];
                if (http_.connections >= limits_.maxConnections) {
                    busy = Busy::Connections;
                } else if (mine >= limits_.maxPerClient) {
                    busy = Busy::PerClient;
                } else {
                    ++mine;
                    ++http_.connections;
                }
                if (mine == 0) perClient_.erase(client);
            }
            if (busy) {
                http_.metrics_.Unavailable(*busy);
                Refuse(fd, 503, "Service Unavailable",
                       *busy == Busy::PerClient ? "too many connections from this address; try again later"
                                                : "too many connections; try again later");
                http_.Log(client, "", "", "", 503, -1);
                ::close(fd);
                continue;
            }
            heads_[fd] = Head{client, {}, Clock::now() + std::chrono::milliseconds(limits_.headDeadlineMs)};
            Watch(poller, fd, EPOLLIN | EPOLLRDHUP);
        }
    }

    // Reads what has come; a complete head (or one at the byte budget, or a
    // closed connection) goes to the request threads.
    void ReadHead(int poller, int fd) {
        auto it = heads_.find(fd);
        if (it == heads_.end()) return;
        Head& head = it->second;
        char buffer[4096];
        bool ended = false;
        for (;;) {
            const std::size_t room = kMaxRequestBytes - head.bytes.size();
            const ssize_t n = ::recv(fd, buffer, std::min(sizeof buffer, room), 0);
            if (n > 0) head.bytes.append(buffer, static_cast<std::size_t>(n));
            if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) ended = true;
            if (n <= 0 || head.bytes.size() >= kMaxRequestBytes) break;
        }
        const bool complete = head.bytes.find("\r\n\r\n") != std::string::npos ||
                              head.bytes.find("\n\n") != std::string::npos;
        if (!complete && !ended && head.bytes.size() < kMaxRequestBytes) return;
        ::epoll_ctl(poller, EPOLL_CTL_DEL, fd, nullptr);
        if (head.bytes.empty()) {  // closed before a byte came
            Close(fd, head.client);
        } else {
            {
                std::lock_guard<std::mutex> lock(mutex_);
                ready_.push_back({fd, std::move(head)});
            }
            ready_cv_.notify_one();
        }
        heads_.erase(it);
    }

    void Sweep(int poller) {
        const auto now = Clock::now();
        for (auto it = heads_.begin(); it != heads_.end();) {
            if (it->second.deadline > now) {
                ++it;
                continue;
            }
            ::epoll_ctl(poller, EPOLL_CTL_DEL, it->first, nullptr);
            http_.metrics_.HeadTimeout();
            Refuse(it->first, 408, "Request Timeout", "the request head did not come in time");
            http_.Log(it->second.client, "", "", "", 408, -1);
            Close(it->first, it->second.client);
            it = heads_.erase(it);
        }
    }

    void Close(int fd, const std::string& client) {
        ::close(fd);
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = perClient_.find(client);
        if (it != perClient_.end() && --it->second == 0) perClient_.erase(it);
        --http_.connections;
    }

    void Work() {
        for (;;) {
            std::pair<int, Head> job;
            {
                std::unique_lock<std::mutex> lock(mutex_);
                ready_cv_.wait(lock, [&] { return workersStop_ || !ready_.empty(); });
                if (ready_.empty()) return;
                job = std::move(ready_.front());
                ready_.pop_front();
            }
            const int fd = job.first;
            const int flags = ::fcntl(fd, F_GETFL);
            ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
            const timeval sendTimeout{kWriteTimeoutMs / 1000, 0};
            ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &sendTimeout, sizeof sendTimeout);
            http_.Serve(fd, std::move(job.second.bytes),
                        [this, fd, client = std::move(job.second.client)] { Close(fd, client); });
        }
    }

    Http& http_;
    IntakeLimits limits_;
    UniqueFd wake_;  // written by Stop to wake the accepting thread
    std::atomic<bool> stopping_{false};
    std::unordered_map<int, Head> heads_;  // the accepting thread's alone
    std::mutex mutex_;
    std::map<std::string, std::size_t> perClient_;
    std::deque<std::pair<int, Head>> ready_;
    std::condition_variable ready_cv_;
    bool workersStop_ = false;
};

ReportServer::ReportServer(ServerOptions options) {
    const IntakeLimits limits = options.limits;
    http_ = std::make_unique<Http>(std::move(options));
    intake_ = std::make_unique<Intake>(*http_, limits);
}
ReportServer::~ReportServer() = default;

const Metrics& ReportServer::metrics() const { return http_->metrics_; }

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
    http_->DefaultHostNames(host);
    return bound;
}

bool ReportServer::Run() { return intake_->Run(http_->ListeningSocket()); }

void ReportServer::Stop() { intake_->Stop(); }

void RaiseOpenFileLimit() {
    rlimit files{};
    if (::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
        files.rlim_cur = files.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &files);
    }
}

}  // namespace reports
