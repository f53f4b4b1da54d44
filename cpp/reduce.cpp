#include "reduce.hpp"

#include <array>
#include <deque>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <vector>

namespace orrin {
namespace kernels {
namespace {

struct Fold {
    PairSet pairs;
    uint32_t entity = 0;
    uint32_t chain = 0;
    uint32_t depth = 0;
    bool taint = false;
    // The pair set last added: members in a row with the same one add nothing new to it.
    uint32_t last_key = 0;
    bool any = false;

    template <class Decode>
    void add(uint32_t w, uint32_t key, Decode& pairs_of, uint32_t seed) {
        if (!any || key != last_key) {
            pairs |= pairs_of(w);
            last_key = key;
            any = true;
        }
        entity ^= entity_of(w);
        chain = chain_hash2(seed, chain, chain_of(w));
        depth = depth_of(w) > depth ? depth_of(w) : depth;
        taint = taint || taint_of(w);
    }
    uint32_t word(Engine& engine) const {
        return engine.pack(pairs, entity, chain, taint, saturating_depth(depth + 1));
    }
};

// The bits of a word that hold its pair set (and its mode): words that differ only in their
// header, entity or chain have the same key.
constexpr uint32_t pair_key(uint32_t w) {
    switch (mode_of(w)) {
        case kMode01: return w & ((3u << kModeShift) | (kM0PairMask << kM0PairShift));
        case kMode2: return w & ((3u << kModeShift) | (kM1PairMask << kM1PairShift));
        default: return w & ((3u << kModeShift) | kPayloadMask);
    }
}

// `base` (a packed pair set, no header fields) with the element's own fields.
constexpr uint32_t with_fields(uint32_t base, uint32_t entity, uint32_t chain, bool taint,
                               uint32_t depth) {
    uint32_t w = base | (uint32_t(taint) << kTaintShift) | (depth << kDepthShift);
    switch (mode_of(base)) {
        case kMode01: return w | ((entity & 0xFFu) << kM0EntityShift) | (chain & 0xFFu);
        case kMode2: return w | ((entity & 0x1Fu) << kM1EntityShift) | (chain & 0xFu);
        default: return w;
    }
}

// Columns carry few distinct pair sets (their words differ mostly in the entity and chain
// fields, which a row's own label sets): decode each run of equal pair sets once.
class PairCache {
public:
    explicit PairCache(const Engine& engine) : engine_(engine) {}
    const PairSet& operator()(uint32_t w) {
        const uint32_t key = pair_key(w);
        if (!valid_ || key != key_) {
            pairs_ = engine_.pairs_of(w);
            key_ = key;
            valid_ = true;
        }
        return pairs_;
    }

private:
    const Engine& engine_;
    PairSet pairs_;
    uint32_t key_ = 0;
    bool valid_ = false;
};

}  // namespace

void combine_segments(Engine& engine, const uint32_t* words, const int64_t* segments, size_t n,
                      size_t n_segments, uint32_t op, uint32_t* out) {
    combine_member_segments(engine, &words, 1, segments, n, n_segments, op, out);
}

namespace {

// Whether every element is a segment of its own, in order (a row's columns).
bool one_per_row(const int64_t* segments, size_t n, size_t n_segments) {
    if (n != n_segments) return false;
    for (size_t i = 0; i < n; ++i)
        if (segments[i] != static_cast<int64_t>(i)) return false;
    return true;
}

// combine_member_segments where row i is segment i (``frame.sum(axis=1)``): folded row by
// row with no fold kept per row, and the row's pair set packed again only when a member's
// pair set differs from the row before's (rows of a frame mostly share theirs).
void combine_rows(Engine& engine, const uint32_t* const* members, size_t k, size_t n,
                  uint32_t op, uint32_t* out) {
    const uint32_t seed = op_seed(op);
    std::vector<PairCache> caches(k, PairCache(engine));
    std::vector<uint32_t> keys(k), last(k);
    bool packed = false;
    uint32_t base = 0;
    for (size_t i = 0; i < n; ++i) {
        uint32_t entity = 0, chain = 0, depth = 0;
        bool taint = false, same = packed;
        for (size_t m = 0; m < k; ++m) {
            const uint32_t w = members[m][i];
            keys[m] = pair_key(w);
            same = same && keys[m] == last[m];
            entity ^= entity_of(w);
            chain = chain_hash2(seed, chain, chain_of(w));
            depth = depth_of(w) > depth ? depth_of(w) : depth;
            taint = taint || taint_of(w);
        }
        if (!same) {
            PairSet pairs;
            for (size_t m = 0; m < k; ++m) pairs |= caches[m](members[m][i]);
            base = engine.pack(pairs, 0, 0, false, 0);
            last.swap(keys);
            packed = true;
        }
        out[i] = with_fields(base, entity, chain, taint, saturating_depth(depth + 1));
    }
}

}  // namespace

void combine_member_segments(Engine& engine, const uint32_t* const* members, size_t n_members,
                             const int64_t* segments, size_t n, size_t n_segments, uint32_t op,
                             uint32_t* out) {
    if (n_members > 0 && one_per_row(segments, n, n_segments)) {
        combine_rows(engine, members, n_members, n, op, out);
        return;
    }
    const uint32_t seed = op_seed(op);
    std::vector<Fold> folds(n_segments);
    PairCache pairs_of(engine);
    for (size_t m = 0; m < n_members; ++m) {
        const uint32_t* words = members[m];
        for (size_t i = 0; i < n; ++i) {
            int64_t s = segments[i];
            if (s < 0) continue;
            if (static_cast<uint64_t>(s) >= n_segments)
                throw std::invalid_argument("segment " + std::to_string(s) + " is not below " +
                                            std::to_string(n_segments));
            folds[static_cast<size_t>(s)].add(words[i], pair_key(words[i]), pairs_of, seed);
        }
    }
    for (size_t s = 0; s < n_segments; ++s) out[s] = folds[s].word(engine);
}

void combine_windows(Engine& engine, const uint32_t* words, size_t n, size_t window,
                     uint32_t op, uint32_t* out) {
    const uint32_t seed = op_seed(op);
    // Members enter at the front and leave at the back; a pair is in the window while its
    // count is above zero, the taint while a tainted member is, the depth is the largest of
    // the members' (kept by a deque of decreasing depths).
    std::array<uint32_t, kMaxPairs> counts{};
    PairSet current;
    size_t tainted = 0;
    std::deque<size_t> deepest;
    // The packed pair set of the window, redone only when a pair enters or leaves.
    bool changed = true;
    uint32_t base = 0;
    // Pair IDs of each distinct word, decoded once; members enter and leave in turns, and
    // runs of equal words are common, so each side remembers its last word.
    std::unordered_map<uint32_t, std::vector<uint32_t>> ids_of;
    struct Last {
        uint32_t word = 0;
        const std::vector<uint32_t>* ids = nullptr;
    } entering, leaving;
    auto ids_for = [&](uint32_t w, Last& last) -> const std::vector<uint32_t>& {
        uint32_t key = pair_key(w);
        if (last.ids == nullptr || last.word != key) {
            auto found = ids_of.find(key);
            if (found == ids_of.end())
                found = ids_of.emplace(key, engine.pairs_of(w).ids()).first;
            last = {key, &found->second};
        }
        return *last.ids;
    };
    auto update = [&](uint32_t w, int delta) {
        for (uint32_t id : ids_for(w, delta > 0 ? entering : leaving)) {
            if (delta > 0 && counts[id]++ == 0) {
                current.add(id);
                changed = true;
            }
            if (delta < 0 && --counts[id] == 0) {
                current.bits[id >> 6] &= ~(uint64_t(1) << (id & 63));
                changed = true;
            }
        }
        if (taint_of(w)) tainted = delta > 0 ? tainted + 1 : tainted - 1;
    };
    for (size_t i = 0; i < n; ++i) {
        uint32_t w = words[i];
        update(w, +1);
        while (!deepest.empty() && depth_of(words[deepest.back()]) <= depth_of(w)) deepest.pop_back();
        deepest.push_back(i);
        if (window && i >= window) {
            size_t gone = i - window;
            update(words[gone], -1);
            if (deepest.front() == gone) deepest.pop_front();
        }
        uint32_t depth = saturating_depth(depth_of(words[deepest.front()]) + 1);
        uint32_t chain = chain_hash2(seed, chain_of(w), static_cast<uint32_t>(window));
        // The result word's own fields come from the element the window ends at.
        if (changed) {
            base = engine.pack(current, 0, 0, false, 0);
            changed = false;
        }
        out[i] = with_fields(base, entity_of(w), chain, tainted > 0, depth);
    }
}

}  // namespace kernels
}  // namespace orrin
