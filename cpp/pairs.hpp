// Exact packing of pair sets: combinatorial ranks for 2- and 3-subsets of 0..511 and the
// per-engine interning table that gives every set of four or more pairs its own signature.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <shared_mutex>
#include <unordered_map>
#include <vector>

#include "word.hpp"

namespace orrin {

// A set of pair IDs as a 512-bit bitmap: union is a bitwise OR and the size a popcount,
// which is all the algebra needs.
struct PairSet {
    std::array<uint64_t, kMaxPairs / 64> bits{};

    void add(uint32_t id) { bits[id >> 6] |= uint64_t(1) << (id & 63); }
    bool has(uint32_t id) const { return (bits[id >> 6] >> (id & 63)) & 1u; }
    uint32_t size() const;
    // The smallest `n` IDs, ascending, written to `out`; returns how many were written.
    uint32_t first(uint32_t* out, uint32_t n) const;
    std::vector<uint32_t> ids() const;

    PairSet& operator|=(const PairSet& o) {
        for (size_t i = 0; i < bits.size(); ++i) bits[i] |= o.bits[i];
        return *this;
    }
    bool operator==(const PairSet& o) const { return bits == o.bits; }
};

struct PairSetHash {
    size_t operator()(const PairSet& s) const;
};

// Combinatorial number system: rank2({a < b}) = C(b,2) + a, rank3({a < b < c}) =
// C(c,3) + C(b,2) + a. Ranks are dense, so every rank below kPairRanks / kTripleRanks is a
// valid subset and every subset has exactly one rank.
uint32_t rank2(uint32_t a, uint32_t b);
uint32_t rank3(uint32_t a, uint32_t b, uint32_t c);
// Inverse ranks; the caller checks the rank bound first.
void unrank2(uint32_t rank, uint32_t& a, uint32_t& b);
void unrank3(uint32_t rank, uint32_t& a, uint32_t& b, uint32_t& c);

// Pair sets of four or more IDs, interned: the signature is the set's index, so the same set
// always gets the same signature and two sets never share one. Readers share the lock;
// interning a new set takes it exclusively.
class DenseTable {
public:
    explicit DenseTable(uint32_t capacity = kDenseCapacity) : capacity_(capacity) {}

    // Signature of `s`, interning it if new. Throws std::length_error when the table is full.
    uint32_t intern(const PairSet& s);
    // The set behind `sig`; false when this table never issued `sig`.
    bool lookup(uint32_t sig, PairSet& out) const;
    uint32_t size() const;
    uint32_t capacity() const { return capacity_; }
    // Every interned set, in signature order: what another table needs to decode the
    // signatures this one issued.
    std::vector<PairSet> sets() const;

private:
    mutable std::shared_mutex mu_;
    std::vector<PairSet> sets_;
    std::unordered_map<PairSet, uint32_t, PairSetHash> index_;
    uint32_t capacity_;
};

}  // namespace orrin
