#include "sketch.h"

#include <algorithm>
#include <cmath>

namespace reports {

std::uint64_t Sketch::Hash(std::string_view machine) {
    // FNV-1a, then splitmix64's finalizer so every bit depends on every byte:
    // HyperLogLog reads the leading zeros of the low bits.
    std::uint64_t h = 0xcbf29ce484222325ULL;
    for (const char c : machine) h = (h ^ static_cast<unsigned char>(c)) * 0x100000001b3ULL;
    h ^= h >> 30;
    h *= 0xbf58476d1ce4e5b9ULL;
    h ^= h >> 27;
    h *= 0x94d049bb133111ebULL;
    return h ^ (h >> 31);
}

void Sketch::Settle() const {
    if (settled_) return;
    std::sort(hashes_.begin(), hashes_.end());
    hashes_.erase(std::unique(hashes_.begin(), hashes_.end()), hashes_.end());
    settled_ = true;
}

void Sketch::MakeDense() {
    if (dense_) return;
    dense_ = true;
    registers_.assign(kRegisters, 0);
    const std::vector<std::uint64_t> hashes = std::move(hashes_);
    hashes_.clear();
    for (const std::uint64_t h : hashes) Add(h);
}

void Sketch::Add(std::uint64_t hash) {
    if (dense_) {
        const std::size_t index = hash >> (64 - kPrecision);
        const std::uint64_t rest = hash << kPrecision;
        const std::uint8_t rank =
            rest == 0 ? static_cast<std::uint8_t>(64 - kPrecision + 1) : static_cast<std::uint8_t>(__builtin_clzll(rest) + 1);
        registers_[index] = std::max(registers_[index], rank);
        return;
    }
    Settle();
    const auto at = std::lower_bound(hashes_.begin(), hashes_.end(), hash);
    if (at == hashes_.end() || *at != hash) hashes_.insert(at, hash);
    Limit();
}

void Sketch::Limit() {
    if (dense_ || hashes_.size() <= sparseLimit_) return;
    Settle();
    if (hashes_.size() > sparseLimit_) MakeDense();
}

bool Sketch::Merge(std::string_view s) {
    if (s.empty()) return true;
    if (s[0] == 'S' && (s.size() - 1) % 8 == 0) {
        Sketch other(true);
        for (std::size_t i = 1; i < s.size(); i += 8) {
            std::uint64_t h = 0;
            for (int b = 0; b < 8; ++b) h = h << 8 | static_cast<unsigned char>(s[i + static_cast<std::size_t>(b)]);
            other.hashes_.push_back(h);
        }
        std::sort(other.hashes_.begin(), other.hashes_.end());
        Merge(other);
        return true;
    }
    if (s[0] == 'D' && s.size() == kRegisters + 1) {
        MakeDense();
        for (std::size_t i = 0; i < kRegisters; ++i) {
            registers_[i] = std::max(registers_[i], static_cast<std::uint8_t>(s[i + 1]));
        }
        return true;
    }
    return false;
}

void Sketch::Merge(const Sketch& other) {
    if (other.dense_) {
        MakeDense();
        for (std::size_t i = 0; i < kRegisters; ++i) registers_[i] = std::max(registers_[i], other.registers_[i]);
        return;
    }
    if (dense_) {
        for (const std::uint64_t h : other.hashes_) Add(h);
        return;
    }
    if (forCounting_) {
        hashes_.insert(hashes_.end(), other.hashes_.begin(), other.hashes_.end());
        settled_ = false;
        if (hashes_.size() > 2 * sparseLimit_) Settle();
        Limit();
        return;
    }
    other.Settle();
    std::vector<std::uint64_t> merged;
    merged.reserve(hashes_.size() + other.hashes_.size());
    std::set_union(hashes_.begin(), hashes_.end(), other.hashes_.begin(), other.hashes_.end(),
                   std::back_inserter(merged));
    hashes_ = std::move(merged);
    Limit();
}

std::int64_t Sketch::Count() const {
    Settle();
    if (!dense_) return static_cast<std::int64_t>(hashes_.size());
    const double m = static_cast<double>(kRegisters);
    double sum = 0;
    std::size_t zeros = 0;
    for (const std::uint8_t r : registers_) {
        sum += std::ldexp(1.0, -r);
        zeros += r == 0;
    }
    const double alpha = 0.7213 / (1 + 1.079 / m);
    double estimate = alpha * m * m / sum;
    if (estimate <= 2.5 * m && zeros > 0) estimate = m * std::log(m / static_cast<double>(zeros));
    return static_cast<std::int64_t>(std::llround(estimate));
}

std::string Sketch::Serialize() const {
    if (dense_) {
        std::string out(1, 'D');
        out.append(registers_.begin(), registers_.end());
        return out;
    }
    Settle();
    if (hashes_.empty()) return {};
    std::string out(1, 'S');
    for (const std::uint64_t h : hashes_) {
        for (int b = 7; b >= 0; --b) out.push_back(static_cast<char>(h >> (8 * b)));
    }
    return out;
}

}  // namespace reports
