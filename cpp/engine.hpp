// The provenance engine: encoding, decoding and the word algebra over 32-bit words.
// Plain C++ (no Python); every failure is a std::exception whose message names the culprit:
// std::invalid_argument for bad words or IDs, std::length_error for a full dense table.
#pragma once

#include <cstdint>
#include <vector>

#include "pairs.hpp"
#include "word.hpp"

namespace orrin {

struct Decoded {
    PairSet pairs;
    uint32_t entity = 0;
    uint32_t chain = 0;
    bool taint = false;
    uint32_t depth = 0;
    const char* mode_name = "EXACT-0";
};

class Engine {
public:
    explicit Engine(uint32_t dense_capacity = kDenseCapacity) : dense_(dense_capacity) {}
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;

    // `entity` and `chain` are truncated to the mode's widths, `depth` saturates at 7.
    uint32_t encode(const PairSet& pairs, uint64_t entity, uint64_t chain, bool taint,
                    uint64_t depth);
    Decoded decode(uint32_t word) const;
    PairSet pairs_of(uint32_t word) const;
    uint32_t combine(uint32_t a, uint32_t b, uint32_t op);
    uint32_t update_chain(uint32_t word, uint32_t op);

    // Throws std::invalid_argument unless `word` is one this engine can decode.
    void validate(uint32_t word) const;
    uint32_t dense_size() const { return dense_.size(); }
    uint32_t dense_capacity() const { return dense_.capacity(); }
    std::vector<PairSet> dense_sets() const { return dense_.sets(); }
    // Signature of a set of four or more pairs in this engine, interning it if new: how a
    // table exported by another engine is taken in. Throws std::invalid_argument for a
    // smaller set, which no dense word can hold.
    uint32_t intern_dense(const PairSet& pairs);

    // Word with only the mode and pair fields of pairs(a) | pairs(b): no header, entity or
    // chain. Throws like combine() for invalid inputs.
    uint32_t union_pairs(uint32_t a, uint32_t b);

    // Builds the word for a pair set with header fields and untruncated entity/chain.
    uint32_t pack(const PairSet& pairs, uint32_t entity, uint32_t chain, bool taint,
                  uint32_t depth);

private:
    DenseTable dense_;
};

// Pair ID check shared with the bindings: throws std::invalid_argument naming the ID.
void check_pair_id(int64_t id);

}  // namespace orrin
