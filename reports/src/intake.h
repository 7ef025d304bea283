// The receiver's HTTP intake, on Boost.Beast over Boost.Asio (Debian's
// libboost-dev, headers only), used through its public API only.
//
// One thread accepts every connection and reads every request head without
// blocking; a whole head goes to the handler (the route table), which
// answers through the connection's Reply from any thread. Each connection
// serves one request and may send at most kMaxRequestBytes before its head
// ends. No set of clients can stop intake:
//
// - the caps count only connections whose head has not fully come (see
//   head_ledger.h): per address, per network and in all. Reaching one closes
//   the connection of that address, network or of all that has waited
//   longest (503), never the newcomer: trays behind a shared address are
//   each served, and a report waiting for its commit holds no place;
// - every head is due kHeadDeadline after accept, however its bytes trickle
//   in (408), and under pressure one coming slower than a minimum rate is
//   cut before that (408);
// - out of descriptors, the oldest waiting head makes room.
//
// So idle or dripping connections hold a socket each and no thread, and a
// report from anyone else is read and handed on at once.
#pragma once
#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>

#include "access_log.h"
#include "exchange.h"
#include "metrics.h"

namespace reports {

struct IntakeLimits {
    int headDeadlineMs = 5000;           // from accept to the end of the request head
    std::size_t maxConnections = 1024;   // heads not complete, in all (lowered to fit the open-file limit)
    std::size_t maxPerClient = 64;       // ... from one client address
    std::size_t maxPerNetwork = 256;     // ... from one /24 (IPv4) or /64 (IPv6)
};

class Intake {
public:
    using Handler = std::function<void(Request request, const ReplyPtr& reply)>;

    // `handler` runs on the intake's thread and must not block.
    Intake(IntakeLimits limits, Handler handler, Metrics& metrics, AccessLog& log);
    ~Intake();
    Intake(const Intake&) = delete;
    Intake& operator=(const Intake&) = delete;

    // Binds host:port (port 0: any free one) and answers the port; throws
    // std::runtime_error naming the address when it cannot.
    int Bind(const std::string& host, int port);
    // Serves until Stop, then until the requests in hand are answered (at
    // most kDrainLimit); answers false when the listening socket failed.
    bool Run();
    // Ends Run, whether it has started yet or not, from any thread: no new
    // connection is taken and heads still coming are closed.
    void Stop();
    // Connections open now, answered or not.
    std::size_t connections() const;

    // Its own parts, declared in intake_state.h and connection.h.
    class Connection;
    struct State;

private:
    std::unique_ptr<State> state_;
};

}  // namespace reports
