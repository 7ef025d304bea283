#include "intake.h"

#include <sys/resource.h>

#include <algorithm>
#include <boost/asio/ip/address.hpp>
#include <boost/asio/post.hpp>
#include <stdexcept>

#include "connection.h"
#include "request_rules.h"

namespace reports {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;

namespace {

// The kernel's queue of connections not yet accepted: a burst of thousands
// of trays waits there instead of having its connections dropped (and
// retried a second later). The kernel caps it at net.core.somaxconn.
constexpr int kListenBacklog = 4096;
// How often heads past their deadline, or too slow, are looked for.
constexpr auto kSweepEvery = std::chrono::milliseconds(50);
// Out of descriptors with no head to close: accepting waits this long.
constexpr auto kAcceptPause = std::chrono::milliseconds(20);
// After Stop, the answers in hand may take this long to go out.
constexpr auto kDrainLimit = std::chrono::seconds(5);
constexpr auto kDrainPoll = std::chrono::milliseconds(20);

bool OutOfDescriptors(const boost::system::error_code& error) {
    const int code = error.value();
    return error.category() == boost::system::system_category() &&
           (code == EMFILE || code == ENFILE || code == ENOBUFS || code == ENOMEM);
}

}  // namespace

void Intake::State::Cut(const HeadLedger::Closing& closing) {
    auto it = pending.find(closing.id);
    if (it == pending.end()) return;
    std::shared_ptr<Connection> connection = it->second.lock();
    pending.erase(it);
    if (!connection) return;
    switch (closing.why) {
        case HeadLedger::Cut::Deadline:
            metrics.HeadTimeout();
            return connection->Cut(408, "Request Timeout", "the request head did not come in time");
        case HeadLedger::Cut::Slow:
            metrics.CutHead(HeadCut::Slow);
            return connection->Cut(408, "Request Timeout", "the request head came too slowly while the receiver was busy");
        case HeadLedger::Cut::Address:
            metrics.CutHead(HeadCut::Address);
            break;
        case HeadLedger::Cut::Network:
            metrics.CutHead(HeadCut::Network);
            break;
        case HeadLedger::Cut::Total:
            metrics.CutHead(HeadCut::Total);
            break;
    }
    connection->Cut(503, "Service Unavailable", "too many connections are waiting to send their request; try again");
}

namespace {

// Accepts the next connection, for ever until the acceptor closes.
void Accept(Intake::State& s);

void OnAccept(Intake::State& s, const boost::system::error_code& error, tcp::socket socket) {
    if (error == asio::error::operation_aborted || s.stopping) return;
    if (OutOfDescriptors(error)) {
        // Room from the head that has waited longest; without one, a pause
        // instead of spinning on the listening socket.
        HeadLedger::Closing oldest{};
        if (s.ledger.TakeOldest(std::chrono::steady_clock::now(), oldest)) {
            s.Cut(oldest);
            return Accept(s);
        }
        s.pause.expires_after(kAcceptPause);
        s.pause.async_wait([&s](const boost::system::error_code& e) {
            if (!e) Accept(s);
        });
        return;
    }
    if (error) {
        std::fprintf(stderr, "quentra-reports: the listening socket failed: %s\n", error.message().c_str());
        s.listenFailed = true;
        s.stopping = true;
        s.sweep.cancel();
        return;
    }
    // The peer's address as accept() gave it: no call of its own.
    const std::string client = s.peer.address().to_string();
    const HeadLedger::Id id = ++s.nextId;
    auto connection = std::make_shared<Intake::Connection>(s, std::move(socket), id, client);
    s.pending.emplace(id, connection);
    for (const HeadLedger::Closing& closing : s.ledger.Add(id, client, NetworkOf(client), std::chrono::steady_clock::now())) {
        s.Cut(closing);
    }
    connection->Begin();
    Accept(s);
}

void Accept(Intake::State& s) {
    s.acceptor.async_accept(s.peer, [&s](const boost::system::error_code& error, tcp::socket socket) {
        OnAccept(s, error, std::move(socket));
    });
}

void Sweep(Intake::State& s) {
    s.sweep.expires_after(kSweepEvery);
    s.sweep.async_wait([&s](const boost::system::error_code& error) {
        if (error || s.stopping) return;
        for (const HeadLedger::Closing& closing : s.ledger.Sweep(std::chrono::steady_clock::now())) s.Cut(closing);
        Sweep(s);
    });
}

// After Stop: polls until every connection has gone, at most kDrainLimit.
void Drain(Intake::State& s, std::chrono::steady_clock::time_point until) {
    if (s.open == 0) return;
    if (std::chrono::steady_clock::now() >= until) return s.io.stop();
    s.drain.expires_after(kDrainPoll);
    s.drain.async_wait([&s, until](const boost::system::error_code& error) {
        if (!error) Drain(s, until);
    });
}

}  // namespace

Intake::Intake(IntakeLimits limits, Handler handler, Metrics& metrics, AccessLog& log) {
    rlimit files{};
    if (::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur != RLIM_INFINITY) {
        // Room for the database, the logs and the listening socket.
        const std::size_t room = files.rlim_cur > 64 ? files.rlim_cur - 64 : 1;
        limits.maxConnections = std::min(limits.maxConnections, room);
    }
    state_ = std::make_unique<State>(limits, std::move(handler), metrics, log);
}

Intake::~Intake() = default;

int Intake::Bind(const std::string& host, int port) {
    const std::string where = host + ":" + std::to_string(port);
    auto fail = [&](const boost::system::error_code& error) {
        return std::runtime_error("cannot listen on " + where + ": " + error.message() +
                                  " (another program may hold the port, or the address is not this machine's; "
                                  "pick another with --listen ADDR:PORT)");
    };
    boost::system::error_code error;
    tcp::endpoint endpoint;
    const asio::ip::address address = asio::ip::make_address(host, error);
    if (!error) {
        endpoint = tcp::endpoint(address, static_cast<unsigned short>(port));
    } else {
        tcp::resolver resolver(state_->io);
        const auto found = resolver.resolve(host, std::to_string(port), error);
        if (error || found.empty()) throw fail(error);
        endpoint = *found.begin();
    }
    tcp::acceptor& acceptor = state_->acceptor;
    // SO_REUSEADDR alone: a restart binds while old connections linger in
    // TIME_WAIT. Never SO_REUSEPORT, which would let a second receiver bind
    // the same port and silently take half the reports into its own database.
    if (acceptor.open(endpoint.protocol(), error) || acceptor.set_option(tcp::acceptor::reuse_address(true), error) ||
        acceptor.bind(endpoint, error) || acceptor.listen(kListenBacklog, error)) {
        throw fail(error);
    }
    const tcp::endpoint bound = acceptor.local_endpoint(error);
    if (error) throw fail(error);
    return bound.port();
}

bool Intake::Run() {
    Accept(*state_);
    Sweep(*state_);
    state_->io.run();
    return !state_->listenFailed;
}

void Intake::Stop() {
    State& s = *state_;
    s.stopping = true;
    asio::post(s.io, [&s] {
        boost::system::error_code ignored;
        s.acceptor.close(ignored);
        s.sweep.cancel();
        s.pause.cancel();
        // Heads still coming are closed; requests in hand are answered.
        while (!s.pending.empty()) {
            const HeadLedger::Id id = s.pending.begin()->first;
            std::shared_ptr<Connection> connection = s.pending.begin()->second.lock();
            s.pending.erase(s.pending.begin());
            s.ledger.Remove(id);
            if (connection) connection->Cut(503, "Service Unavailable", "the receiver is stopping; try again");
        }
        Drain(s, std::chrono::steady_clock::now() + kDrainLimit);
    });
}

std::size_t Intake::connections() const { return state_->open; }

}  // namespace reports
