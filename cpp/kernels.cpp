#include "kernels.hpp"

#include <algorithm>
#include <optional>
#include <unordered_map>

namespace orrin {
namespace kernels {
namespace {

constexpr size_t kBlock = 1024;
constexpr uint32_t kHeaderTop = 0xE0000000u;  // mode and taint bits

constexpr uint32_t pair_data_of(uint32_t w) { return (w >> kM0PairShift) & kM0PairMask; }

// Both words mode 00 with a pair_data that names a pair: the fast path applies.
constexpr bool exact01(uint32_t w) { return (w >> kModeShift) == 0 && pair_data_of(w) <= kMaxPairs; }

// combine() for two valid mode-00 words, as bit arithmetic with selects instead of branches so
// the compiler can vectorise whole blocks. The union of two sets of at most one pair is one
// pair (same pair, or one side empty) or a 2-subset {lo < hi}.
inline uint32_t combine_exact01(uint32_t a, uint32_t b, uint32_t seed) {
    uint32_t pa = pair_data_of(a), pb = pair_data_of(b);
    uint32_t lo = pa < pb ? pa : pb, hi = pa < pb ? pb : pa;
    uint32_t entity = ((a ^ b) >> kM0EntityShift) & 0xFFu;
    uint32_t chain = chain_hash2(seed, a & 0xFFu, b & 0xFFu);
    uint32_t head = ((a | b) & (1u << kTaintShift)) | (next_depth(a, b) << kDepthShift);
    uint32_t one = head | ((pa | pb) << kM0PairShift) | (entity << kM0EntityShift) | (chain & 0xFFu);
    // rank2(lo - 1, hi - 1) = C(hi - 1, 2) + lo - 1; unsigned wrap when lo == 0 is discarded.
    uint32_t rank = (hi - 1) * (hi - 2) / 2 + (lo - 1);
    uint32_t two = head | (kMode2 << kModeShift) | (rank << kM1PairShift) |
                   ((entity & 0x1Fu) << kM1EntityShift) | (chain & 0xFu);
    return (lo == 0 || pa == pb) ? one : two;
}

bool block_exact01(const uint32_t* a, const uint32_t* b, size_t len) {
    uint32_t any = 0, top = 0;
    for (size_t i = 0; i < len; ++i) {
        any |= a[i] | b[i];
        uint32_t pa = pair_data_of(a[i]), pb = pair_data_of(b[i]);
        top = std::max(top, std::max(pa, pb));
    }
    return (any >> kModeShift) == 0 && top <= kMaxPairs;
}

// Direct-mapped memo of (a, b) -> result for one batch call: columns carry few distinct
// words, and the general path (decode, union, intern) costs far more than a probe.
class PairMemo {
public:
    explicit PairMemo(size_t n) {
        unsigned bits = 6;
        while ((size_t(1) << bits) < 2 * n && bits < 16) ++bits;
        shift_ = 64 - bits;
        table_.assign(size_t(1) << bits, Entry{});
    }
    template <class F>
    uint32_t get(uint32_t a, uint32_t b, F&& compute) {
        uint64_t key = (uint64_t(a) << 32) | b;
        Entry& e = table_[(key * 0x9E3779B97F4A7C15ull) >> shift_];
        if (e.used && e.key == key) return e.value;
        uint32_t v = compute();
        e = Entry{key, v, 1};
        return v;
    }

private:
    struct Entry {
        uint64_t key = 0;
        uint32_t value = 0;
        uint32_t used = 0;
    };
    std::vector<Entry> table_;
    unsigned shift_;
};

// update_chain() as bit arithmetic: pairs, entity and taint stay, the chain field (if the
// mode has one) is rehashed, depth steps up. Sets `bad` if the word might be invalid.
inline uint32_t update_bits(uint32_t w, uint32_t seed, uint32_t dense_known, bool& bad) {
    uint32_t mode = w >> kModeShift;
    uint32_t cmask = mode == kMode01 ? 0xFFu : mode == kMode2 ? 0xFu : 0u;
    uint32_t keep = mode == kMode01 ? 0x3FFFF00u
                  : mode == kMode2  ? 0x3FFFFF0u
                  : mode == kMode3  ? 0x3FFFFFEu  // reserved bit cleared, as pack() does
                                    : kPayloadMask;
    uint32_t field = mode == kMode01 ? pair_data_of(w)
                   : mode == kMode2  ? (w >> kM1PairShift) & kM1PairMask
                   : mode == kMode3  ? (w >> kM2PairShift) & kM2PairMask
                                     : payload_of(w);
    uint32_t limit = mode == kMode01 ? kMaxPairs + 1
                   : mode == kMode2  ? kPairRanks
                   : mode == kMode3  ? kTripleRanks
                                     : dense_known;
    bad |= field >= limit;
    uint32_t chain = chain_hash1(seed, w & cmask);
    return (w & kHeaderTop) | (next_depth(w, w) << kDepthShift) | (w & keep) | (chain & cmask);
}

}  // namespace

void combine(Engine& engine, const uint32_t* a, size_t na, const uint32_t* b, size_t nb,
             uint32_t op, uint32_t* out, size_t n) {
    const uint32_t seed = op_seed(op);
    uint32_t abuf[kBlock], bbuf[kBlock];
    if (na == 1 && n) std::fill(abuf, abuf + kBlock, a[0]);
    if (nb == 1 && n) std::fill(bbuf, bbuf + kBlock, b[0]);
    std::optional<PairMemo> memo;
    for (size_t start = 0; start < n; start += kBlock) {
        size_t len = std::min(kBlock, n - start);
        const uint32_t* A = na == 1 ? abuf : a + start;
        const uint32_t* B = nb == 1 ? bbuf : b + start;
        uint32_t* O = out + start;
        if (block_exact01(A, B, len)) {
            for (size_t i = 0; i < len; ++i) O[i] = combine_exact01(A[i], B[i], seed);
            continue;
        }
        for (size_t i = 0; i < len; ++i) {
            uint32_t x = A[i], y = B[i];
            if (exact01(x) && exact01(y)) {
                O[i] = combine_exact01(x, y, seed);
            } else {
                if (!memo) memo.emplace(n);
                O[i] = memo->get(x, y, [&] { return engine.combine(x, y, op); });
            }
        }
    }
}

void update_chain(Engine& engine, const uint32_t* words, size_t n, uint32_t op, uint32_t* out) {
    const uint32_t seed = op_seed(op);
    // Signatures only ever grow, so a snapshot can only err on the side of a re-check.
    const uint32_t dense_known = engine.dense_size();
    for (size_t start = 0; start < n; start += kBlock) {
        size_t len = std::min(kBlock, n - start);
        bool bad = false;
        for (size_t i = 0; i < len; ++i)
            out[start + i] = update_bits(words[start + i], seed, dense_known, bad);
        if (!bad) continue;
        for (size_t i = start; i < start + len; ++i) {
            bool this_bad = false;
            update_bits(words[i], seed, dense_known, this_bad);
            if (this_bad) out[i] = engine.update_chain(words[i], op);  // throws if invalid
        }
    }
}

void encode_source_column(uint32_t pair_id, const uint32_t* entities, size_t n, bool taint,
                          uint32_t* out) {
    const uint32_t head = header(kMode01, taint, 0) | ((pair_id + 1) << kM0PairShift);
    for (size_t i = 0; i < n; ++i) out[i] = head | ((entities[i] & 0xFFu) << kM0EntityShift);
}

void is_tainted(const uint32_t* words, size_t n, bool* out) {
    for (size_t i = 0; i < n; ++i) out[i] = (words[i] >> kTaintShift) & 1u;
}

void risk_score(const uint32_t* words, size_t n, double* out) {
    // Indexed by the taint bit and depth together; the same division the header read does.
    double table[16];
    for (uint32_t d = 0; d < 8; ++d) {
        table[d] = 0.0;
        table[8 + d] = 1.0 / (1.0 + double(d));
    }
    for (size_t i = 0; i < n; ++i) out[i] = table[(words[i] >> kDepthShift) & 15u];
}

Explained explain(const Engine& engine, const uint32_t* words, size_t n) {
    Explained r;
    r.offsets.reserve(n + 1);
    r.offsets.push_back(0);
    std::unordered_map<uint32_t, std::vector<uint32_t>> memo;
    for (size_t i = 0; i < n; ++i) {
        auto it = memo.find(words[i]);
        if (it == memo.end()) it = memo.emplace(words[i], engine.pairs_of(words[i]).ids()).first;
        r.ids.insert(r.ids.end(), it->second.begin(), it->second.end());
        r.offsets.push_back(r.ids.size());
    }
    return r;
}

}  // namespace kernels
}  // namespace orrin
