// What the two halves of the intake share: the accepting side (intake.cpp)
// and each connection (connection.cpp). Everything here is used on the
// intake's thread alone, but for the atomics.
#pragma once
#include <atomic>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <memory>
#include <unordered_map>

#include "head_ledger.h"
#include "intake.h"

namespace reports {

struct Intake::State {
    State(IntakeLimits l, Handler h, Metrics& m, AccessLog& a)
        : limits(l),
          ledger({l.maxPerClient, l.maxPerNetwork, l.maxConnections}, std::chrono::milliseconds(l.headDeadlineMs)),
          handler(std::move(h)),
          metrics(m),
          log(a) {}

    // Closes a connection whose head is still coming, as the ledger says.
    void Cut(const HeadLedger::Closing& closing);

    boost::asio::io_context io{1};
    boost::asio::ip::tcp::acceptor acceptor{io};
    boost::asio::ip::tcp::endpoint peer;  // the address of the connection being accepted
    boost::asio::steady_timer sweep{io}, pause{io}, drain{io};
    IntakeLimits limits;
    HeadLedger ledger;
    Handler handler;
    Metrics& metrics;
    AccessLog& log;
    // The connections the ledger counts, by its ids.
    std::unordered_map<HeadLedger::Id, std::weak_ptr<Connection>> pending;
    HeadLedger::Id nextId = 0;
    std::atomic<std::size_t> open{0};
    std::atomic<bool> stopping{false};
    bool listenFailed = false;
};

}  // namespace reports
