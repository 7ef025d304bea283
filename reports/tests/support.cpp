#include "support.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <httplib.h>
#include <stdexcept>

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
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    const int rc = posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    close(err[1]);
    out_ = out[0];
    err_ = err[0];
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
    close(out_);
    close(err_);
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
        pollfd p{out_, POLLIN, 0};
        if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) return {};
        char buffer[4096];
        const ssize_t n = read(out_, buffer, sizeof buffer);
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
        pollfd p{out_, POLLIN, 0};
        if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) return all;
        char buffer[65536];
        const ssize_t n = read(out_, buffer, sizeof buffer);
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
        fcntl(err_, F_SETFL, O_NONBLOCK);
        while ((n = read(err_, buffer, sizeof buffer)) > 0) err->append(buffer, static_cast<std::size_t>(n));
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

int PortOf(const std::string& line) {
    const std::size_t at = line.find("127.0.0.1:");
    return at == std::string::npos ? 0 : std::atoi(line.c_str() + at + 10);
}

LiveServer::LiveServer(const std::string& db, const std::function<void(reports::Store&)>& prepare,
                       const std::function<void(reports::ServerOptions&)>& configure)
    : store_(db, reports::Store::Mode::ReadWrite) {
    reports::RaiseOpenFileLimit();
    if (prepare) prepare(store_);
    writer_ = std::make_unique<reports::ReportWriter>(store_, db);
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
    httplib::Client client("127.0.0.1", port);
    client.set_url_encode(false);  // the targets go as written, broken ones included
    client.set_read_timeout(10);
    httplib::Headers h(headers.begin(), headers.end());
    httplib::Result res = method == "GET"    ? client.Get(target, h)
                          : method == "HEAD" ? client.Head(target, h)
                                             : client.Post(target, h, "x", "text/plain");
    if (!res) return {};
    return {res->status, res->body};
}

std::int64_t CountRows(const std::string& db) {
    reports::Store store(db, reports::Store::Mode::ReadOnly);
    return store.CountReports();
}

int ConnectFrom(const std::string& from, int port, const std::string& request) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in local{}, remote{};
    local.sin_family = remote.sin_family = AF_INET;
    inet_pton(AF_INET, from.c_str(), &local.sin_addr);
    inet_pton(AF_INET, "127.0.0.1", &remote.sin_addr);
    remote.sin_port = htons(static_cast<std::uint16_t>(port));
    if (bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
        connect(fd, reinterpret_cast<sockaddr*>(&remote), sizeof remote) != 0 ||
        (!request.empty() && send(fd, request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size()))) {
        close(fd);
        return -1;
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

}  // namespace reports_test
