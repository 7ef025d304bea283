// Ownership of a Linux file descriptor, as every other handle of this project
// is owned.
//
// Contract: a UniqueFd owns exactly one descriptor, or none (-1), and closes
// it when it goes out of scope, on every path. It is made only from the
// result of the call that opened the descriptor, checked there: Of() keeps a
// failed call's -1 as the empty value (errno left as the call set it), and
// OrThrow() turns it into an exception that names the call and errno's text.
// Movable, never copyable. This header holds the one close() of the
// receiver, its tools and its tests.
#pragma once
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>
#include <utility>

namespace reports {

class UniqueFd {
public:
    UniqueFd() noexcept = default;
    // The descriptor a call answered, or an empty owner when it answered -1.
    static UniqueFd Of(int result) noexcept { return UniqueFd(result < 0 ? -1 : result); }
    // The same, but a failed call throws std::runtime_error naming `what`.
    static UniqueFd OrThrow(int result, const std::string& what) {
        if (result < 0) throw std::runtime_error(what + ": " + std::strerror(errno));
        return UniqueFd(result);
    }
    ~UniqueFd() { reset(); }
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) {
            reset();
            fd_ = other.release();
        }
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int get() const noexcept { return fd_; }
    explicit operator bool() const noexcept { return fd_ >= 0; }
    int release() noexcept { return std::exchange(fd_, -1); }
    // Closes what is held. A failed close of a descriptor cannot be retried
    // on Linux (it is gone either way), so there is nothing to report.
    void reset() noexcept {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

private:
    explicit UniqueFd(int fd) noexcept : fd_(fd) {}
    int fd_ = -1;
};

}  // namespace reports
