// The connections whose request head has not fully come, and the caps on
// them: per client address, per network (/24, /64) and in all. Pure: the
// caller passes the time and closes what it is told to; the rule tests
// drive it directly.
//
// A connection counts here only until its head is complete: a report then
// waiting for its commit holds no place, so any number of honest trays
// behind one shared address are served. Reaching a cap never refuses the
// newcomer: it makes room by closing the connection of that address, that
// network or of all that has waited longest, once it has had kGrace to
// send its head (a tray whose thread was descheduled between connect and
// send is not cut for it). Every connection's whole head is due by the
// deadline; under pressure (from when an address, a network or all held
// half their cap, for a deadline's length) a head past kGrace that comes
// slower than kMinRate is cut before it.
#pragma once
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <list>
#include <string>
#include <unordered_map>
#include <vector>

namespace reports {

struct HeadCaps {
    std::size_t perAddress = 64;
    std::size_t perNetwork = 256;
    std::size_t total = 1024;
};

class HeadLedger {
public:
    using Id = std::uint64_t;
    using Clock = std::chrono::steady_clock;

    static constexpr std::chrono::milliseconds kGrace{500};
    static constexpr double kMinRate = 256;  // bytes a second, under pressure

    // Why a connection is to be closed.
    enum class Cut { Address, Network, Total, Slow, Deadline };
    struct Closing {
        Id id;
        Cut why;
    };

    HeadLedger(HeadCaps caps, std::chrono::milliseconds deadline) : caps_(caps), deadline_(deadline) {}

    // A connection accepted at `now`; answers the ones to close to make room
    // for it (never itself), already taken out of the ledger.
    std::vector<Closing> Add(Id id, const std::string& address, const std::string& network, Clock::time_point now);
    // The bytes of its head that have come so far.
    void Progress(Id id, std::size_t bytes);
    // Its head is complete, or it closed: it counts no more.
    void Remove(Id id);
    // The heads past the deadline and, under pressure, those too slow,
    // already taken out of the ledger.
    std::vector<Closing> Sweep(Clock::time_point now);
    // The head that has waited longest, past kGrace, taken out of the
    // ledger: room when the process is out of descriptors. False when every
    // head is younger.
    bool TakeOldest(Clock::time_point now, Closing& out);

    std::size_t size() const { return entries_.size(); }

private:
    struct Entry;
    using Order = std::list<Id>;  // oldest first
    struct Group {
        Order order;
    };
    struct Entry {
        Clock::time_point since;
        std::size_t bytes = 0;
        std::string address, network;
        Order::iterator inAll, inAddress, inNetwork;
    };

    // The oldest of `order` past kGrace, to close for room; false when none.
    bool Oldest(const Order& order, Clock::time_point now, Id& id) const;
    void Erase(Id id);

    HeadCaps caps_;
    std::chrono::milliseconds deadline_;
    std::unordered_map<Id, Entry> entries_;
    Order all_;
    std::unordered_map<std::string, Group> byAddress_, byNetwork_;
    Clock::time_point pressureUntil_{};
};

}  // namespace reports
