#include "access_log.h"

#include <fcntl.h>

#include <cstdio>
#include <ctime>
#include <stdexcept>

#include "clf.h"

namespace reports {

namespace {

int OpenLog(const std::string& where) {
    return where == "-" ? ::fcntl(1, F_DUPFD_CLOEXEC, 0)
                        : ::open(where.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0640);
}

}  // namespace

AccessLog::AccessLog(const std::string& where) {
    if (where.empty()) return;
    fd_ = UniqueFd::Of(OpenLog(where));
    if (!fd_) {
        throw std::runtime_error("cannot open the access log " + where + ": " + std::strerror(errno) +
                                 " (check the folder and its permissions)");
    }
}

void AccessLog::Write(const std::string& client, const Request* request, int status, std::int64_t bytes) {
    if (!fd_) return;
    const std::string line = ClfLogLine(client, static_cast<std::int64_t>(std::time(nullptr)),
                                        request ? request->method : "", request ? request->target : "",
                                        request ? request->version : "", status, bytes);
    const ssize_t written = ::write(fd_.get(), line.data(), line.size());
    if (written != static_cast<ssize_t>(line.size())) {
        NoteRefusal(std::string("the access log cannot be written: ") +
                    (written < 0 ? std::strerror(errno) : "the line was cut short"));
    }
}

void NoteRefusal(const std::string& why) {
    static std::mutex mutex;
    static std::chrono::steady_clock::time_point last{};
    const auto now = std::chrono::steady_clock::now();
    std::lock_guard<std::mutex> lock(mutex);
    if (last != std::chrono::steady_clock::time_point{} && now - last < std::chrono::seconds(1)) return;
    last = now;
    std::fprintf(stderr, "quentra-reports: answered 503: %s\n", why.c_str());
}

}  // namespace reports
