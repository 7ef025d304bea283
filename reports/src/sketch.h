// Distinct machines without keeping the machines: a set of 64-bit hashes
// of their identifiers, exact while small, and a HyperLogLog estimate once
// it is large. Pure: no I/O.
//
// - Sparse: the sorted hashes themselves, up to kSparseMax. Counting is
//   exact but for 64-bit hash collisions (about one in 10^10 at a million
//   machines).
// - Dense: 2^12 registers (HyperLogLog with linear counting for small
//   counts): a relative standard error of 1.04 / 64 = 1.6 %, within 4.9 %
//   in 997 counts of 1,000.
// A union of sparse sketches stays exact while it holds at most
// kExactUnionMax hashes; a dense part, or more, makes the union dense.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace reports {

class Sketch {
public:
    static constexpr std::size_t kSparseMax = 512;
    static constexpr std::size_t kExactUnionMax = 1 << 20;
    static constexpr int kPrecision = 12;
    static constexpr std::size_t kRegisters = std::size_t{1} << kPrecision;

    // `forCounting`: a union read to count, never stored, which stays exact
    // up to kExactUnionMax hashes instead of kSparseMax.
    explicit Sketch(bool forCounting = false)
        : forCounting_(forCounting), sparseLimit_(forCounting ? kExactUnionMax : kSparseMax) {}

    static std::uint64_t Hash(std::string_view machine);

    void Add(std::uint64_t hash);
    // Adds what a serialized sketch holds; false for bytes that are not one.
    bool Merge(std::string_view serialized);
    void Merge(const Sketch& other);
    std::int64_t Count() const;
    bool exact() const { return !dense_; }
    // "" for an empty sketch; otherwise 'S' and 8-byte hashes, or 'D' and
    // the registers.
    std::string Serialize() const;

private:
    void MakeDense();
    void Limit();

    // A union for counting collects sparse parts unsorted and sorts once
    // when counted: merging hour after hour stays linear.
    void Settle() const;

    bool dense_ = false;
    bool forCounting_ = false;
    mutable bool settled_ = true;
    mutable std::vector<std::uint64_t> hashes_;   // sparse: sorted and distinct once settled
    std::vector<std::uint8_t> registers_;  // dense
    std::size_t sparseLimit_;
};

}  // namespace reports
