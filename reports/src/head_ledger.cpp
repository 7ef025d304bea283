#include "head_ledger.h"

namespace reports {

std::vector<HeadLedger::Closing> HeadLedger::Add(Id id, const std::string& address, const std::string& network,
                                                 Clock::time_point now) {
    Entry& e = entries_[id];
    e.since = now;
    e.address = address;
    e.network = network;
    Order& mine = byAddress_[address].order;
    Order& net = byNetwork_[network].order;
    e.inAll = all_.insert(all_.end(), id);
    e.inAddress = mine.insert(mine.end(), id);
    e.inNetwork = net.insert(net.end(), id);
    if (mine.size() * 2 >= caps_.perAddress || net.size() * 2 >= caps_.perNetwork || all_.size() * 2 >= caps_.total) {
        pressureUntil_ = now + deadline_;
    }
    std::vector<Closing> closing;
    // The narrowest group first: an address over its cap gives up its own
    // oldest before anyone else's is touched.
    const struct {
        const Order& order;
        std::size_t cap;
        Cut why;
    } groups[] = {{mine, caps_.perAddress, Cut::Address}, {net, caps_.perNetwork, Cut::Network}, {all_, caps_.total, Cut::Total}};
    for (const auto& g : groups) {
        Id victim = 0;
        while (g.order.size() > g.cap && Oldest(g.order, now, victim) && victim != id) {
            closing.push_back({victim, g.why});
            Erase(victim);
        }
    }
    return closing;
}

bool HeadLedger::Oldest(const Order& order, Clock::time_point now, Id& id) const {
    if (order.empty()) return false;
    id = order.front();
    return now - entries_.at(id).since >= kGrace;
}

void HeadLedger::Progress(Id id, std::size_t bytes) {
    auto it = entries_.find(id);
    if (it != entries_.end()) it->second.bytes = bytes;
}

void HeadLedger::Remove(Id id) {
    if (entries_.count(id) != 0) Erase(id);
}

void HeadLedger::Erase(Id id) {
    auto it = entries_.find(id);
    Entry& e = it->second;
    all_.erase(e.inAll);
    auto address = byAddress_.find(e.address);
    address->second.order.erase(e.inAddress);
    if (address->second.order.empty()) byAddress_.erase(address);
    auto network = byNetwork_.find(e.network);
    network->second.order.erase(e.inNetwork);
    if (network->second.order.empty()) byNetwork_.erase(network);
    entries_.erase(it);
}

std::vector<HeadLedger::Closing> HeadLedger::Sweep(Clock::time_point now) {
    std::vector<Closing> closing;
    const bool pressure = now < pressureUntil_;
    // Oldest first: the walk ends at the first head still within kGrace.
    for (auto it = all_.begin(); it != all_.end();) {
        const Id id = *it++;
        const Entry& e = entries_.at(id);
        const auto waited = now - e.since;
        if (waited < kGrace) break;
        const double seconds = std::chrono::duration<double>(waited).count();
        if (waited >= deadline_) {
            closing.push_back({id, Cut::Deadline});
        } else if (pressure && static_cast<double>(e.bytes) < kMinRate * seconds) {
            closing.push_back({id, Cut::Slow});
        } else {
            continue;
        }
        Erase(id);
    }
    return closing;
}

bool HeadLedger::TakeOldest(Clock::time_point now, Closing& out) {
    Id id = 0;
    if (!Oldest(all_, now, id)) return false;
    out = {id, Cut::Total};
    Erase(id);
    return true;
}

}  // namespace reports
