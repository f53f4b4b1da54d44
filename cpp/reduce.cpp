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

// Columns carry few distinct words: decode each run of equal words once.
class PairCache {
public:
    explicit PairCache(const Engine& engine) : engine_(engine) {}
    const PairSet& operator()(uint32_t w) {
        if (!valid_ || w != word_) {
            pairs_ = engine_.pairs_of(w);
            word_ = w;
            valid_ = true;
        }
        return pairs_;
    }

private:
    const Engine& engine_;
    PairSet pairs_;
    uint32_t word_ = 0;
    bool valid_ = false;
};

struct Fold {
    PairSet pairs;
    uint32_t entity = 0;
    uint32_t chain = 0;
    uint32_t depth = 0;
    bool taint = false;

    void add(uint32_t w, const PairSet& s, uint32_t seed) {
        pairs |= s;
        entity ^= entity_of(w);
        chain = chain_hash2(seed, chain, chain_of(w));
        depth = depth_of(w) > depth ? depth_of(w) : depth;
        taint = taint || taint_of(w);
    }
    uint32_t word(Engine& engine) const {
        return engine.pack(pairs, entity, chain, taint, saturating_depth(depth + 1));
    }
};

}  // namespace

void combine_segments(Engine& engine, const uint32_t* words, const int64_t* segments, size_t n,
                      size_t n_segments, uint32_t op, uint32_t* out) {
    const uint32_t seed = op_seed(op);
    std::vector<Fold> folds(n_segments);
    PairCache pairs_of(engine);
    for (size_t i = 0; i < n; ++i) {
        int64_t s = segments[i];
        if (s < 0) continue;
        if (static_cast<uint64_t>(s) >= n_segments)
            throw std::invalid_argument("segment " + std::to_string(s) + " is not below " +
                                        std::to_string(n_segments));
        folds[static_cast<size_t>(s)].add(words[i], pairs_of(words[i]), seed);
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
    // Pair IDs of each distinct word, decoded once: members enter and leave in turns.
    std::unordered_map<uint32_t, std::vector<uint32_t>> ids_of;
    auto update = [&](uint32_t w, int delta) {
        auto found = ids_of.find(w);
        if (found == ids_of.end()) found = ids_of.emplace(w, engine.pairs_of(w).ids()).first;
        for (uint32_t id : found->second) {
            if (delta > 0 && counts[id]++ == 0) current.add(id);
            if (delta < 0 && --counts[id] == 0) current.bits[id >> 6] &= ~(uint64_t(1) << (id & 63));
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
        out[i] = engine.pack(current, entity_of(w), chain, tainted > 0, depth);
    }
}

}  // namespace kernels
}  // namespace orrin
