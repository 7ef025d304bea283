#include "support.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http.hpp>
#include <libpq-fe.h>
#include <stdexcept>

#include "pg_link.h"

extern char** environ;

namespace reports_test {

TempDir::TempDir() {
    char pattern[] = "/tmp/quentra-reports-test.XXXXXX";
    if (mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

Child::Child(const std::vector<std::string>& argv) {
    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    out_ = reports::UniqueFd::Of(out[0]);
    reports::UniqueFd outEnd = reports::UniqueFd::Of(out[1]);
    if (pipe2(err, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    err_ = reports::UniqueFd::Of(err[0]);
    reports::UniqueFd errEnd = reports::UniqueFd::Of(err[1]);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, outEnd.get(), 1);
    posix_spawn_file_actions_adddup2(&actions, errEnd.get(), 2);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    const int rc = posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        pid_ = -1;
        throw std::runtime_error("cannot start " + argv[0]);
    }
}

Child::~Child() {
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
}

std::string Child::ReadLine(int timeoutMs) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        const std::size_t nl = pending_.find('\n');
        if (nl != std::string::npos) {
            std::string line = pending_.substr(0, nl);
            pending_.erase(0, nl + 1);
            return line;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        pollfd p{out_.get(), POLLIN, 0};
        if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) return {};
        char buffer[4096];
        const ssize_t n = read(out_.get(), buffer, sizeof buffer);
        if (n <= 0) return {};
        pending_.append(buffer, static_cast<std::size_t>(n));
    }
}

std::string Child::ReadAll(int timeoutMs) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    std::string all;
    all.swap(pending_);
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        pollfd p{out_.get(), POLLIN, 0};
        if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) return all;
        char buffer[65536];
        const ssize_t n = read(out_.get(), buffer, sizeof buffer);
        if (n <= 0) return all;
        all.append(buffer, static_cast<std::size_t>(n));
    }
}

void Child::Kill(int signal) {
    if (pid_ > 0) kill(pid_, signal);
}

int Child::Wait(int timeoutMs, std::string* err) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    int status = 0;
    while (waitpid(pid_, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > end) {
            kill(pid_, SIGKILL);
            waitpid(pid_, &status, 0);
            break;
        }
        usleep(10000);
    }
    pid_ = -1;
    if (err != nullptr) {
        char buffer[4096];
        ssize_t n;
        fcntl(err_.get(), F_SETFL, O_NONBLOCK);
        while ((n = read(err_.get(), buffer, sizeof buffer)) > 0) err->append(buffer, static_cast<std::size_t>(n));
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

int PortOf(const std::string& line) {
    const std::size_t at = line.find("127.0.0.1:");
    return at == std::string::npos ? 0 : std::atoi(line.c_str() + at + 10);
}

LiveServer::LiveServer(const std::string& db, const std::function<void(reports::Store&)>& prepare,
                       const std::function<void(reports::ServerOptions&)>& configure)
    : store_(reports::Store::Open(db, reports::Store::Mode::ReadWrite)) {
    if (!reports::RaiseOpenFileLimit()) throw std::runtime_error("cannot raise the open-file limit");
    if (prepare) prepare(*store_);
    writer_ = std::make_unique<reports::ReportWriter>(*store_, reports::Store::Open(db, reports::Store::Mode::ReadWrite));
    reports::ServerOptions options;
    options.dbPath = db;
    options.writer = writer_.get();
    if (configure) configure(options);
    server_ = std::make_unique<reports::ReportServer>(options);
    port_ = server_->Bind("127.0.0.1", 0);
    thread_ = std::thread([this] { server_->Run(); });
}

LiveServer::~LiveServer() {
    server_->Stop();
    thread_.join();
    writer_->Stop();
}

Reply Get(int port, const std::string& target, const std::string& method,
          const std::vector<std::pair<std::string, std::string>>& headers) {
    namespace asio = boost::asio;
    namespace http = boost::beast::http;
    try {
        asio::io_context io;
        asio::ip::tcp::socket socket(io);
        socket.connect({asio::ip::make_address("127.0.0.1"), static_cast<unsigned short>(port)});
        // The target goes as written, broken ones included.
        http::request<http::string_body> request(http::string_to_verb(method), target, 11);
        bool host = false;
        for (const auto& [name, value] : headers) {
            request.insert(name, value);
            host = host || name == "Host";
        }
        if (!host) request.set(http::field::host, "127.0.0.1:" + std::to_string(port));
        if (method == "POST") request.body() = "x";
        request.prepare_payload();
        http::write(socket, request);
        boost::beast::flat_buffer buffer;
        http::response_parser<http::string_body> parser;
        parser.body_limit(1 << 30);
        parser.skip(method == "HEAD");
        http::read(socket, buffer, parser);
        return {static_cast<int>(parser.get().result_int()), parser.get().body()};
    } catch (const std::exception&) {
        return {};
    }
}

std::int64_t CountRows(const std::string& db) {
    return reports::Store::Open(db, reports::Store::Mode::ReadOnly)->CountReports();
}

namespace {

std::vector<std::string> Chromium(const TempDir& dir, int width, const std::string& what, const std::string& target) {
    return {"/usr/bin/chromium", "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run", "--hide-scrollbars",
            "--window-size=" + std::to_string(width) + ",1400", "--user-data-dir=" + dir.Path("profile"), what, target};
}

}  // namespace

std::string ChromiumDom(const TempDir& dir, const std::string& url) {
    Child dump(Chromium(dir, 900, "--dump-dom", url));
    return dump.ReadAll(60000);
}

Layout LayOut(const TempDir& dir, const std::string& html, int width, const std::string& png) {
    std::string srcdoc;
    for (const char c : html) srcdoc += c == '&' ? "&amp;" : c == '"' ? "&quot;" : std::string(1, c);
    const std::string wrapper = dir.Path("at-" + std::to_string(width) + ".html");
    std::ofstream(wrapper) << "<!DOCTYPE html><html><body style=\"margin:0\"><iframe id=\"f\" width=\"" << width
                           << "\" height=\"1400\" style=\"border:0;display:block\" srcdoc=\"" << srcdoc
                           << "\"></iframe><script>f.onload=()=>document.body.insertAdjacentHTML('beforeend',"
                              "'<p id=\"width\">'+f.contentDocument.documentElement.scrollWidth+'</p>')</script>"
                              "</body></html>";
    Layout layout;
    Child laidOut(Chromium(dir, width, "--dump-dom", "file://" + wrapper));
    const std::string measured = laidOut.ReadAll(60000);
    const std::size_t at = measured.rfind("<p id=\"width\">");
    if (at != std::string::npos) layout.scrollWidth = std::atoi(measured.c_str() + at + 14);
    std::remove(png.c_str());
    Child shot(Chromium(dir, width, "--screenshot=" + png, "file://" + wrapper));
    if (shot.Wait(60000) != 0) return layout;
    std::ifstream in(png, std::ios::binary);
    unsigned char head[24] = {};
    in.read(reinterpret_cast<char*>(head), 24);
    if (in && std::string(reinterpret_cast<char*>(head), 4) == "\x89PNG") {
        layout.pngWidth = (head[16] << 24) | (head[17] << 16) | (head[18] << 8) | head[19];
    }
    return layout;
}

reports::UniqueFd ConnectFrom(const std::string& from, int port, const std::string& request) {
    reports::UniqueFd fd = reports::UniqueFd::Of(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd) return fd;
    sockaddr_in local{}, remote{};
    local.sin_family = remote.sin_family = AF_INET;
    inet_pton(AF_INET, from.c_str(), &local.sin_addr);
    inet_pton(AF_INET, "127.0.0.1", &remote.sin_addr);
    remote.sin_port = htons(static_cast<std::uint16_t>(port));
    // The port is chosen at connect, per destination: thousands of
    // connections from one address need not each hold a port of their own.
    const int yes = 1;
    if (setsockopt(fd.get(), IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &yes, sizeof yes) != 0 ||
        bind(fd.get(), reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
        connect(fd.get(), reinterpret_cast<sockaddr*>(&remote), sizeof remote) != 0 ||
        (!request.empty() && send(fd.get(), request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size()))) {
        return {};
    }
    return fd;
}

std::string ReadUntilClosed(int fd, int timeoutMs) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    std::string all;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        pollfd p{fd, POLLIN, 0};
        if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) return all;
        char buffer[4096];
        const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) return all;
        all.append(buffer, static_cast<std::size_t>(n));
    }
}

namespace {

// Runs argv (as `user` when not empty) and answers its exit code; its output
// goes to `log`.
int RunAs(const std::string& user, std::vector<std::string> argv, const std::string& log) {
    if (!user.empty()) argv.insert(argv.begin(), {"/usr/sbin/runuser", "-u", user, "--"});
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) return -1;
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The newest of Debian's PostgreSQL server versions installed.
std::string PostgresBin() {
    std::string best;
    int bestVersion = 0;
    std::error_code ignored;
    for (const auto& e : std::filesystem::directory_iterator("/usr/lib/postgresql", ignored)) {
        const int version = std::atoi(e.path().filename().c_str());
        if (version > bestVersion && std::filesystem::exists(e.path() / "bin/pg_ctl")) {
            best = (e.path() / "bin").string();
            bestVersion = version;
        }
    }
    return best;
}

class PostgresServer {
public:
    PostgresServer() {
        char pattern[] = "/tmp/quentra-reports-pg.XXXXXX";
        if (mkdtemp(pattern) == nullptr) return;
        dir_ = pattern;
        bin_ = PostgresBin();
        if (bin_.empty()) {
            why_ = "no /usr/lib/postgresql/*/bin/pg_ctl: install Debian's postgresql (scripts/bootstrap.sh)";
            return;
        }
        // initdb refuses to run as root: the server runs as postgres then.
        if (geteuid() == 0) {
            user_ = "postgres";
            const passwd* pw = getpwnam(user_.c_str());
            if (pw == nullptr || chown(dir_.c_str(), pw->pw_uid, pw->pw_gid) != 0) {
                why_ = "running as root needs the postgres user of Debian's postgresql package";
                return;
            }
        }
        const std::string log = dir_ + "/tools.log";
        if (RunAs(user_, {bin_ + "/initdb", "-D", dir_ + "/data", "-A", "trust", "-U", "postgres", "-E", "UTF8",
                          "--no-sync"}, log) != 0 ||
            RunAs(user_, {bin_ + "/pg_ctl", "-D", dir_ + "/data", "-l", dir_ + "/server.log", "-w", "-t", "60",
                          "-o", "-k " + dir_ + " -c listen_addresses= -c max_connections=200", "start"}, log) != 0) {
            std::ifstream in(log), server(dir_ + "/server.log");
            why_ = "the PostgreSQL server did not start: " +
                   std::string(std::istreambuf_iterator<char>(in), {}) +
                   std::string(std::istreambuf_iterator<char>(server), {});
            return;
        }
        started_ = true;
    }

    ~PostgresServer() {
        if (started_) RunAs(user_, {bin_ + "/pg_ctl", "-D", dir_ + "/data", "-m", "immediate", "-w", "stop"}, "/dev/null");
        std::error_code ignored;
        if (!dir_.empty()) std::filesystem::remove_all(dir_, ignored);
    }

    // pg_ctl restart, stop or start: throws when it fails.
    void Control(const std::string& action) {
        if (RunAs(user_, {bin_ + "/pg_ctl", "-D", dir_ + "/data", "-l", dir_ + "/server.log", "-w", "-m", "fast",
                          "-o", "-k " + dir_ + " -c listen_addresses= -c max_connections=200", action},
                  dir_ + "/tools.log") != 0) {
            throw std::runtime_error("pg_ctl " + action + " of the test's PostgreSQL server failed");
        }
    }

    std::string NewDatabase() {
        if (!started_) throw std::runtime_error(why_);
        const std::string name = "t" + std::to_string(++databases_);
        const reports::UniqueConn conn(PQconnectdb(Conninfo("postgres").c_str()));
        const reports::UniqueResult result(PQexec(conn.get(), ("CREATE DATABASE " + name).c_str()));
        const bool created = PQresultStatus(result.get()) == PGRES_COMMAND_OK;
        const std::string error = PQerrorMessage(conn.get());
        if (!created) throw std::runtime_error("cannot create a test database: " + error);
        return Conninfo(name);
    }

private:
    std::string Conninfo(const std::string& db) const { return "host=" + dir_ + " user=postgres dbname=" + db; }

    std::string dir_, bin_, user_, why_;
    bool started_ = false;
    int databases_ = 0;
};

}  // namespace

PostgresServer& Postgres() {
    static PostgresServer server;
    return server;
}

std::string NewPostgresDatabase() { return Postgres().NewDatabase(); }
void RestartPostgres() { Postgres().Control("restart"); }
void StopPostgres() { Postgres().Control("stop"); }
void StartPostgres() { Postgres().Control("start"); }

const Backend kBackends[2] = {
    {"SQLite", [](const TempDir& dir) { return dir.Path("r.db"); }},
    {"PostgreSQL", [](const TempDir&) { return NewPostgresDatabase(); }},
};

}  // namespace reports_test
