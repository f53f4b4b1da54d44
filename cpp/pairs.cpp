#include "pairs.hpp"

#include <algorithm>
#include <mutex>
#include <stdexcept>
#include <string>

namespace orrin {
namespace {

struct BinomialTables {
    std::array<uint32_t, kMaxPairs + 1> c2{};  // c2[n] = C(n, 2)
    std::array<uint32_t, kMaxPairs + 1> c3{};  // c3[n] = C(n, 3)
    constexpr BinomialTables() {
        for (uint32_t n = 0; n <= kMaxPairs; ++n) {
            c2[n] = n * (n - (n ? 1 : 0)) / 2;
            c3[n] = n < 3 ? 0 : n * (n - 1) * (n - 2) / 6;
        }
    }
};
constexpr BinomialTables kBinom;
static_assert(kBinom.c2[kMaxPairs] == kPairRanks, "C(512,2)");
static_assert(kBinom.c3[kMaxPairs] == kTripleRanks, "C(512,3)");

// Largest n in [lo, 511] with table[n] <= rank (tables are non-decreasing).
uint32_t largest_not_above(const std::array<uint32_t, kMaxPairs + 1>& table, uint32_t rank) {
    auto it = std::upper_bound(table.begin(), table.begin() + kMaxPairs, rank);
    return uint32_t(it - table.begin()) - 1;
}

}  // namespace

uint32_t PairSet::size() const {
    uint32_t n = 0;
    for (uint64_t w : bits) n += uint32_t(__builtin_popcountll(w));
    return n;
}

uint32_t PairSet::first(uint32_t* out, uint32_t n) const {
    uint32_t k = 0;
    for (uint32_t i = 0; i < bits.size() && k < n; ++i) {
        uint64_t w = bits[i];
        while (w && k < n) {
            out[k++] = i * 64 + uint32_t(__builtin_ctzll(w));
            w &= w - 1;
        }
    }
    return k;
}

std::vector<uint32_t> PairSet::ids() const {
    std::vector<uint32_t> out(size());
    first(out.data(), uint32_t(out.size()));
    return out;
}

size_t PairSetHash::operator()(const PairSet& s) const {
    uint64_t h = 0x9E3779B97F4A7C15ull;
    for (uint64_t w : s.bits) {
        h ^= w + 0x9E3779B97F4A7C15ull + (h << 6) + (h >> 2);
        h *= 0xBF58476D1CE4E5B9ull;
        h ^= h >> 31;
    }
    return size_t(h);
}

uint32_t rank2(uint32_t a, uint32_t b) { return kBinom.c2[b] + a; }

uint32_t rank3(uint32_t a, uint32_t b, uint32_t c) { return kBinom.c3[c] + kBinom.c2[b] + a; }

void unrank2(uint32_t rank, uint32_t& a, uint32_t& b) {
    b = largest_not_above(kBinom.c2, rank);
    a = rank - kBinom.c2[b];
}

void unrank3(uint32_t rank, uint32_t& a, uint32_t& b, uint32_t& c) {
    c = largest_not_above(kBinom.c3, rank);
    unrank2(rank - kBinom.c3[c], a, b);
}

uint32_t DenseTable::intern(const PairSet& s) {
    {
        std::shared_lock<std::shared_mutex> read(mu_);
        auto it = index_.find(s);
        if (it != index_.end()) return it->second;
    }
    std::unique_lock<std::shared_mutex> write(mu_);
    auto it = index_.find(s);  // another thread may have interned it meanwhile
    if (it != index_.end()) return it->second;
    if (sets_.size() >= capacity_) {
        throw std::length_error("dense signature table is full: this engine has already "
                                "interned " + std::to_string(capacity_) +
                                " pair sets of four or more pairs");
    }
    uint32_t sig = uint32_t(sets_.size());
    sets_.push_back(s);
    index_.emplace(s, sig);
    return sig;
}

bool DenseTable::lookup(uint32_t sig, PairSet& out) const {
    std::shared_lock<std::shared_mutex> read(mu_);
    if (sig >= sets_.size()) return false;
    out = sets_[sig];
    return true;
}

std::vector<PairSet> DenseTable::sets() const {
    std::shared_lock<std::shared_mutex> read(mu_);
    return sets_;
}

uint32_t DenseTable::size() const {
    std::shared_lock<std::shared_mutex> read(mu_);
    return uint32_t(sets_.size());
}

}  // namespace orrin
