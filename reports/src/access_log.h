// What the receiver writes down as it serves: the access log, one line per
// answer in the common log format once the answer is sent, and the notices
// on stderr of why reports were answered 503, at most one a second (a full
// disk refuses every report).
#pragma once
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>

#include "exchange.h"
#include "fd.h"

namespace reports {

class AccessLog {
public:
    // `where`: a file to append to, "-" for stdout, empty for no log. Throws
    // std::runtime_error naming the file and the fix when it cannot open it.
    explicit AccessLog(const std::string& where);
    // One line, written whole by one write(2) to a file opened for
    // appending (so rotation by copytruncate loses none). `request` null: a
    // connection closed before its head was read, logged as "-".
    void Write(const std::string& client, const Request* request, int status, std::int64_t bytes);

private:
    UniqueFd fd_;
};

// At most one line a second on stderr: "quentra-reports: answered 503: WHY".
void NoteRefusal(const std::string& why);

}  // namespace reports
