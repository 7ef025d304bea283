#include "server.h"

#include <sys/resource.h>

#include "access_log.h"
#include "routes.h"

namespace reports {

struct ReportServer::Parts {
    explicit Parts(ServerOptions options)
        : log(options.accessLog),
          intake(options.limits, [this](Request request, const ReplyPtr& reply) { Serve(services, request, reply); },
                 metrics, log),
          services{std::move(options), metrics, [this] { return intake.connections(); }} {}

    Metrics metrics;
    AccessLog log;
    Intake intake;
    // After the intake, so that it goes first: its page threads are joined
    // while the connections they answer through still have their intake.
    Services services;
};

ReportServer::ReportServer(ServerOptions options) : parts_(std::make_unique<Parts>(std::move(options))) {
    Metrics& metrics = parts_->metrics;
    if (ReportWriter* writer = parts_->services.options.writer) {
        writer->ObserveCommits([&metrics](double seconds) { metrics.Commit(seconds); });
    }
}

ReportServer::~ReportServer() = default;

const Metrics& ReportServer::metrics() const { return parts_->metrics; }

int ReportServer::Bind(const std::string& host, int port) {
    const int bound = parts_->intake.Bind(host, port);
    std::vector<std::string>& names = parts_->services.options.hostNames;
    if (names.empty()) names = {host, "localhost"};
    return bound;
}

bool ReportServer::Run() { return parts_->intake.Run(); }

void ReportServer::Stop() { parts_->intake.Stop(); }

bool RaiseOpenFileLimit() {
    rlimit files{};
    if (::getrlimit(RLIMIT_NOFILE, &files) != 0) return false;
    if (files.rlim_cur >= files.rlim_max) return true;
    files.rlim_cur = files.rlim_max;
    return ::setrlimit(RLIMIT_NOFILE, &files) == 0;
}

}  // namespace reports
