#include "kernels.hpp"

#include <algorithm>
#include <optional>
#include <unordered_map>

namespace orrin {
namespace kernels {
namespace {

// Hot loops get AVX-512 and AVX2 clones besides the baseline build, picked at load time, so
// one wheel runs everywhere and still uses wide vectors where the CPU has them.
#if defined(__x86_64__) && defined(__linux__) && defined(__GNUC__) && !defined(__clang__) && \
    __GNUC__ >= 11
#define ORRIN_HOT __attribute__((target_clones("arch=x86-64-v4", "avx2", "default")))
#elif defined(__x86_64__) && defined(__linux__) && defined(__GNUC__) && !defined(__clang__)
#define ORRIN_HOT __attribute__((target_clones("avx2", "default")))
#else
#define ORRIN_HOT
#endif

constexpr size_t kBlock = 1024;
constexpr uint32_t kHeaderTop = 0xE0000000u;  // mode and taint bits
constexpr uint32_t kDepthBits = 7u << kDepthShift;

// Depth steps up by one, saturating at 7, straight on the header bits.
constexpr uint32_t step_depth(uint32_t w) {
    return w + (uint32_t((w & kDepthBits) != kDepthBits) << kDepthShift);
}

constexpr uint32_t pair_data_of(uint32_t w) { return (w >> kM0PairShift) & kM0PairMask; }

// chain_hash2(seed, ca, cb) for 8-bit chains with the first xor-shift round of mix32 folded
// into a per-op constant: the key's bits 16 and up are the constant tag, so
// x ^ (x >> 16) == (ca | cb << 8) ^ fold2(seed). Same value, two operations fewer.
constexpr uint32_t fold2(uint32_t seed) { return seed ^ (seed >> 16) ^ 0x10001u; }
constexpr uint32_t chain_hash2_folded(uint32_t folded, uint32_t key16) {
    uint32_t x = key16 ^ folded;
    x *= 0x7FEB352Du;
    x ^= x >> 15;
    x *= 0x846CA68Bu;
    x ^= x >> 16;
    return x;
}
static_assert(chain_hash2_folded(fold2(op_seed(3)), 0xA5 | 0x3C << 8) ==
                  chain_hash2(op_seed(3), 0xA5, 0x3C),
              "folded chain hash must equal the chain hash");

// combine() for two valid mode-00 words, as bit arithmetic with selects instead of branches so
// the compiler can vectorise whole blocks. The union of two sets of at most one pair is one
// pair (same pair, or one side empty) or a 2-subset {lo < hi}. Fields are combined where
// they sit, without shifting them down and back.
inline uint32_t combine_exact01(uint32_t a, uint32_t b, uint32_t folded) {
    constexpr uint32_t kPairBits = kM0PairMask << kM0PairShift;
    uint32_t both = a | b, diff = a ^ b;
    uint32_t pa = a & kPairBits, pb = b & kPairBits;
    uint32_t lo = pa < pb ? pa : pb, hi = pa < pb ? pb : pa;
    uint32_t chain = chain_hash2_folded(folded, (a & 0xFFu) | ((b << 8) & 0xFF00u));
    uint32_t da = a & kDepthBits, db = b & kDepthBits;
    uint32_t head = step_depth((both & (1u << kTaintShift)) | (da > db ? da : db));
    uint32_t one = head | (both & kPairBits) | (diff & 0xFF00u) | (chain & 0xFFu);
    // rank2(l - 1, h - 1) = C(h - 1, 2) + l - 1; unsigned wrap when l == 0 is discarded.
    uint32_t h = hi >> kM0PairShift, l = lo >> kM0PairShift;
    uint32_t rank = (((h - 1) * (h - 2)) >> 1) + (l - 1);
    uint32_t two = head | (kMode2 << kModeShift) | (rank << kM1PairShift) |
                   ((diff >> (kM0EntityShift - kM1EntityShift)) & (0x1Fu << kM1EntityShift)) |
                   (chain & 0xFu);
    return (lo == 0 || lo == hi) ? one : two;
}

// combine_exact01 over a block; false (and the block must be redone by the general path)
// unless every word in it is a valid mode-00 word.
ORRIN_HOT bool combine_exact01_block(const uint32_t* a, const uint32_t* b, uint32_t* out,
                                     size_t len, uint32_t seed) {
    const uint32_t folded = fold2(seed);
    uint32_t any = 0, top = 0;
    for (size_t i = 0; i < len; ++i) {
        uint32_t x = a[i], y = b[i];
        uint32_t both = x | y;
        any |= both;
        uint32_t px = x & (kM0PairMask << kM0PairShift), py = y & (kM0PairMask << kM0PairShift);
        top = std::max(top, std::max(px, py));
        out[i] = combine_exact01(x, y, folded);
    }
    return (any >> kModeShift) == 0 && top <= (kMaxPairs << kM0PairShift);
}

// Per-row fields of a word: entity and chain (modes 00 and 01 only). All other bits fix the
// pair set and the header.
struct RowFields {
    uint32_t entity_shift, entity_mask, chain_mask;
};
constexpr RowFields row_fields(uint32_t mode) {
    return mode == kMode01 ? RowFields{kM0EntityShift, 0xFFu, 0xFFu}
         : mode == kMode2  ? RowFields{kM1EntityShift, 0x1Fu, 0xFu}
                           : RowFields{0, 0, 0};
}
constexpr uint32_t row_bits(uint32_t mode) {
    return mode == kMode01 ? 0xFFFFu : mode == kMode2 ? 0x1FFu : 0u;
}

// combine() for a block in which every a shares all but its row fields with one word, and
// every b with another: the usual case, since a column derived from sources has one pair set,
// taint and depth throughout. The shared part of the result is computed once by the engine;
// each row only adds the XOR of the entities and the chain hash.
struct UniformPlan {
    uint32_t key_a = 0, key_b = 0;  // a and b without row fields
    uint32_t fixed = 0;             // the result without row fields
    RowFields fa{}, fb{}, fr{};
    bool valid = false;

    static uint32_t key_of(uint32_t w) { return w & ~row_bits(w >> kModeShift); }

    bool matches(uint32_t a, uint32_t b) const {
        return valid && key_of(a) == key_a && key_of(b) == key_b;
    }

    // Throws (naming the word) if a or b is invalid, as the per-word combine would.
    UniformPlan(Engine& engine, uint32_t a, uint32_t b, uint32_t op)
        : key_a(key_of(a)), key_b(key_of(b)), valid(true) {
        engine.validate(a);
        engine.validate(b);
        uint32_t r = engine.combine(key_a, key_b, op);
        fixed = r & ~row_bits(r >> kModeShift);
        fa = row_fields(a >> kModeShift);
        fb = row_fields(b >> kModeShift);
        fr = row_fields(r >> kModeShift);
    }
    UniformPlan() = default;
};

// Returns false (and the block must be redone by another path) unless every row shares the
// plan's keys.
ORRIN_HOT bool combine_uniform_block(const uint32_t* a, const uint32_t* b, uint32_t* out,
                                     size_t len, uint32_t folded, const UniformPlan& plan) {
    const uint32_t ka = plan.key_a, kb = plan.key_b, fixed = plan.fixed;
    const uint32_t ma = ~row_bits(ka >> kModeShift), mb = ~row_bits(kb >> kModeShift);
    const uint32_t sa = plan.fa.entity_shift, ea = plan.fa.entity_mask, ca = plan.fa.chain_mask;
    const uint32_t sb = plan.fb.entity_shift, eb = plan.fb.entity_mask, cb = plan.fb.chain_mask;
    const uint32_t sr = plan.fr.entity_shift, er = plan.fr.entity_mask, cr = plan.fr.chain_mask;
    uint32_t stray = 0;
    for (size_t i = 0; i < len; ++i) {
        uint32_t x = a[i], y = b[i];
        stray |= ((x & ma) ^ ka) | ((y & mb) ^ kb);
        uint32_t entity = ((x >> sa) & ea) ^ ((y >> sb) & eb);
        uint32_t chain = chain_hash2_folded(folded, (x & ca) | ((y & cb) << 8));
        out[i] = fixed | ((entity & er) << sr) | (chain & cr);
    }
    return stray == 0;
}

ORRIN_HOT bool all_mode00(const uint32_t* a, const uint32_t* b, size_t len) {
    uint32_t any = 0;
    for (size_t i = 0; i < len; ++i) any |= a[i] | b[i];
    return (any >> kModeShift) == 0;
}

// Per-mode fields as selects (not table loads) so that the loops below vectorise.
// pair_key keeps the bits that fix the pair set: mode plus pair_data / pair_index /
// pair_combo / signature, without header, entity, chain or the reserved bit.
inline uint32_t pair_key(uint32_t w) {
    uint32_t m = w >> kModeShift;
    return w & (m == kMode01 ? 0x03FF0000u : m == kMode2 ? 0x43FFFE00u
                : m == kMode3 ? 0x83FFFFFEu : 0xC3FFFFFFu);
}
inline uint32_t entity_bits_of(uint32_t w) {
    uint32_t m = w >> kModeShift;
    return m == kMode01 ? (w >> kM0EntityShift) & 0xFFu
         : m == kMode2  ? (w >> kM1EntityShift) & 0x1Fu : 0u;
}
inline uint32_t chain_bits_of(uint32_t w) {
    uint32_t m = w >> kModeShift;
    return w & (m == kMode01 ? 0xFFu : m == kMode2 ? 0xFu : 0u);
}

// Neither a pair key nor a union word ever has the taint bit set: marks empty slots and misses.
constexpr uint32_t kNone = 1u << kTaintShift;

// Memo of pair-set unions for one batch call, keyed by the pair keys of both operands. Only
// the union needs the engine (decoding, interning); entity, chain, taint and depth are bit
// arithmetic on the inputs (assemble_block). Keying on the pair fields alone keeps the memo
// small: a column holds few distinct pair sets even when entities and chains vary by row.
// Direct-mapped, as three flat arrays so that lookups vectorise as gathers.
class UnionMemo {
public:
    explicit UnionMemo(size_t n) {
        unsigned bits = 6;
        while ((size_t(1) << bits) < 2 * n && bits < 12) ++bits;
        shift_ = 32 - bits;
        key_a_.assign(size_t(1) << bits, kNone);
        key_b_.assign(size_t(1) << bits, kNone);
        union_.assign(size_t(1) << bits, kNone);
    }

    // out[i] = union word of a[i], b[i]; the engine fills in what the memo lacks.
    void lookup(Engine& engine, const uint32_t* a, const uint32_t* b, uint32_t* out, size_t len) {
        if (len && uniform_block(a, b, len)) {  // the usual case: one pair set per operand
            uint32_t u = resolve(engine, a[0], b[0]);
            std::fill(out, out + len, u);
            return;
        }
        if (!probe_block(a, b, out, len, key_a_.data(), key_b_.data(), union_.data(), shift_))
            return;
        for (size_t i = 0; i < len; ++i)
            if (out[i] == kNone) out[i] = resolve(engine, a[i], b[i]);
    }

    static inline size_t index(uint32_t ka, uint32_t kb, unsigned shift) {
        uint32_t h = (ka ^ (kb * 0x9E3779B1u)) * 0x85EBCA77u;
        h ^= h >> 13;
        return (h * 0xC2B2AE35u) >> shift;
    }

private:
    uint32_t resolve(Engine& engine, uint32_t a, uint32_t b) {
        uint32_t ka = pair_key(a), kb = pair_key(b);
        size_t slot = index(ka, kb, shift_);
        if (key_a_[slot] != ka || key_b_[slot] != kb) {
            uint32_t u = engine.union_pairs(a, b);  // throws for invalid words
            key_a_[slot] = ka;
            key_b_[slot] = kb;
            union_[slot] = u;
        }
        return union_[slot];
    }

    ORRIN_HOT static bool uniform_block(const uint32_t* a, const uint32_t* b, size_t len) {
        uint32_t ka = pair_key(a[0]), kb = pair_key(b[0]), diff = 0;
        for (size_t i = 1; i < len; ++i) diff |= (pair_key(a[i]) ^ ka) | (pair_key(b[i]) ^ kb);
        return diff == 0;
    }

    // Returns true if any element missed (out[i] == kNone). Rows of a mixed block switch
    // modes unpredictably, so this loop is written without branches: mode masks come from a
    // table and the hit test selects arithmetically.
    static bool probe_block(const uint32_t* a, const uint32_t* b, uint32_t* out, size_t len,
                            const uint32_t* key_a, const uint32_t* key_b, const uint32_t* unions,
                            unsigned shift) {
        static constexpr uint32_t kKeyMask[4] = {0x03FF0000u, 0x43FFFE00u, 0x83FFFFFEu,
                                                 0xC3FFFFFFu};
        uint32_t missed = 0;
        for (size_t i = 0; i < len; ++i) {
            uint32_t ka = a[i] & kKeyMask[a[i] >> kModeShift];
            uint32_t kb = b[i] & kKeyMask[b[i] >> kModeShift];
            size_t slot = index(ka, kb, shift);
            uint32_t hit = uint32_t(key_a[slot] == ka) & uint32_t(key_b[slot] == kb);
            out[i] = (unions[slot] & (0u - hit)) | (kNone & (hit - 1u));
            missed |= hit ^ 1u;
        }
        return missed != 0;
    }

    std::vector<uint32_t> key_a_, key_b_, union_;
    unsigned shift_;
};

// Completes combine() from the union words in `out`: entity XOR and chain hash truncated to
// the result mode, taint OR, depth max+1.
ORRIN_HOT void assemble_block(const uint32_t* a, const uint32_t* b, uint32_t* out, size_t len,
                              uint32_t seed) {
    for (size_t i = 0; i < len; ++i) {
        uint32_t x = a[i], y = b[i], u = out[i], m = u >> kModeShift;
        uint32_t entity = entity_bits_of(x) ^ entity_bits_of(y);
        uint32_t chain = chain_hash2(seed, chain_bits_of(x), chain_bits_of(y));
        uint32_t fields = m == kMode01 ? ((entity & 0xFFu) << kM0EntityShift) | (chain & 0xFFu)
                        : m == kMode2  ? ((entity & 0x1Fu) << kM1EntityShift) | (chain & 0xFu)
                                       : 0u;
        out[i] = u | ((x | y) & (1u << kTaintShift)) | (next_depth(x, y) << kDepthShift) | fields;
    }
}

// update_chain() as bit arithmetic: pairs, entity and taint stay, the chain field (if the
// mode has one) is rehashed, depth steps up. Sets `bad` if the word might be invalid.
inline uint32_t update_bits(uint32_t w, uint32_t seed, uint32_t dense_known, uint32_t& bad) {
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
    bad |= uint32_t(field >= limit);
    uint32_t chain = chain_hash1(seed, w & cmask);
    return (w & kHeaderTop) | (next_depth(w, w) << kDepthShift) | (w & keep) | (chain & cmask);
}

// update_chain() over a block in which every word should be of mode M: the masks and the
// validity bound are constants, so the loop is a handful of vector operations per element.
// Returns false (and the block must be redone by the general path) unless every word is a
// valid word of mode M.
template <uint32_t M>
inline bool update_mode_block(const uint32_t* words, uint32_t* out, size_t len, uint32_t seed,
                              uint32_t dense_known) {
    constexpr uint32_t cmask = M == kMode01 ? 0xFFu : M == kMode2 ? 0xFu : 0u;
    constexpr uint32_t keep = (kHeaderMask & ~kDepthBits) |
                              (M == kMode3 ? kPayloadMask & ~1u : kPayloadMask & ~cmask);
    constexpr uint32_t shift = M == kMode01 ? kM0PairShift : M == kMode2 ? kM1PairShift
                             : M == kMode3 ? kM2PairShift : 0u;
    const uint32_t limit = M == kMode01 ? kMaxPairs + 1 : M == kMode2 ? kPairRanks
                         : M == kMode3 ? kTripleRanks : dense_known;
    uint32_t ors = 0, ands = ~0u, top = 0;
    for (size_t i = 0; i < len; ++i) {
        uint32_t w = words[i];
        ors |= w;
        ands &= w;
        uint32_t field = (w & kPayloadMask) >> shift;
        top = top > field ? top : field;
        uint32_t r = step_depth(w & (keep | kDepthBits));
        if constexpr (cmask != 0) r |= chain_hash1(seed, w & cmask) & cmask;
        out[i] = r;
    }
    return (ors >> kModeShift) == M && (ands >> kModeShift) == M && (len == 0 || top < limit);
}

ORRIN_HOT bool one_mode(const uint32_t* words, size_t len) {
    uint32_t ors = 0, ands = ~0u;
    for (size_t i = 0; i < len; ++i) {
        ors |= words[i];
        ands &= words[i];
    }
    return (ors >> kModeShift) == (ands >> kModeShift);
}

ORRIN_HOT bool update_uniform_block(const uint32_t* words, uint32_t* out, size_t len,
                                    uint32_t seed, uint32_t dense_known) {
    switch (words[0] >> kModeShift) {
        case kMode01: return update_mode_block<kMode01>(words, out, len, seed, dense_known);
        case kMode2: return update_mode_block<kMode2>(words, out, len, seed, dense_known);
        case kMode3: return update_mode_block<kMode3>(words, out, len, seed, dense_known);
        default: return update_mode_block<kModeDense>(words, out, len, seed, dense_known);
    }
}

ORRIN_HOT uint32_t update_block(const uint32_t* words, uint32_t* out, size_t len, uint32_t seed,
                                uint32_t dense_known) {
    uint32_t bad = 0;
    for (size_t i = 0; i < len; ++i) out[i] = update_bits(words[i], seed, dense_known, bad);
    return bad;
}

}  // namespace

void combine(Engine& engine, const uint32_t* a, size_t na, const uint32_t* b, size_t nb,
             uint32_t op, uint32_t* out, size_t n) {
    const uint32_t seed = op_seed(op), folded = fold2(seed);
    uint32_t abuf[kBlock], bbuf[kBlock];
    if (na == 1 && n) std::fill(abuf, abuf + kBlock, a[0]);
    if (nb == 1 && n) std::fill(bbuf, bbuf + kBlock, b[0]);
    std::optional<UnionMemo> memo;
    UniformPlan plan;
    bool last_uniform = true, last_exact = true;
    for (size_t start = 0; start < n; start += kBlock) {
        size_t len = std::min(kBlock, n - start);
        const uint32_t* A = na == 1 ? abuf : a + start;
        const uint32_t* B = nb == 1 ? bbuf : b + start;
        uint32_t* O = out + start;
        // Columns come in long runs of one kind. After a block that was not uniform, the
        // uniform pass is only tried when the block's first and last rows agree.
        if (last_uniform || plan.matches(A[len - 1], B[len - 1]) ||
            (UniformPlan::key_of(A[0]) == UniformPlan::key_of(A[len - 1]) &&
             UniformPlan::key_of(B[0]) == UniformPlan::key_of(B[len - 1]))) {
            if (!plan.matches(A[0], B[0])) plan = UniformPlan(engine, A[0], B[0], op);
            last_uniform = combine_uniform_block(A, B, O, len, folded, plan);
            if (last_uniform) continue;
        }
        // Mixed block: a cheap scan decides whether the fused mode-00 pass is worth trying.
        if ((last_exact || all_mode00(A, B, len)) && combine_exact01_block(A, B, O, len, seed)) {
            last_exact = true;
            continue;
        }
        last_exact = false;
        // Everything else goes through the union memo, which also covers mode 00 and has
        // no data-dependent branches to mispredict.
        if (!memo) memo.emplace(n);
        memo->lookup(engine, A, B, O, len);
        assemble_block(A, B, O, len, seed);
    }
}

void update_chain(Engine& engine, const uint32_t* words, size_t n, uint32_t op, uint32_t* out) {
    const uint32_t seed = op_seed(op);
    // Signatures only ever grow, so a snapshot can only err on the side of a re-check.
    const uint32_t dense_known = engine.dense_size();
    bool last_uniform = true;
    for (size_t start = 0; start < n; start += kBlock) {
        size_t len = std::min(kBlock, n - start);
        // Columns come in long runs of one mode. After a mixed block a cheap scan decides
        // whether the uniform loop is worth trying, so mixed columns do not pay for a
        // failed pass on every block.
        const uint32_t* W = words + start;
        bool try_uniform = last_uniform || one_mode(W, len);
        last_uniform = try_uniform && update_uniform_block(W, out + start, len, seed, dense_known);
        if (last_uniform) continue;
        if (!update_block(words + start, out + start, len, seed, dense_known)) continue;
        for (size_t i = start; i < start + len; ++i) {
            uint32_t this_bad = 0;
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
