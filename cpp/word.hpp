// ORRIN-32 word layout: constants and header/field reads. No Python, no state.
//
//   bits 31-30 mode | 29 taint | 28-26 depth | 25-0 payload
//   mode 00: pair_data 25-16 (pair_id + 1, 0 = no pair) | entity 15-8 | chain 7-0
//   mode 01: pair_index 25-9 (rank of {a < b})          | entity 8-4  | chain 3-0
//   mode 10: pair_combo 25-1 (rank of {a < b < c})      | reserved bit 0 (always 0)
//   mode 11: signature 25-0 (index into the engine's interning table)
#pragma once

#include <cstdint>

namespace orrin {

constexpr uint32_t kMaxPairs = 512;
constexpr uint32_t kModeShift = 30;
constexpr uint32_t kTaintShift = 29;
constexpr uint32_t kDepthShift = 26;
constexpr uint32_t kMaxDepth = 7;
constexpr uint32_t kPayloadBits = 26;
constexpr uint32_t kPayloadMask = (1u << kPayloadBits) - 1;
constexpr uint32_t kHeaderMask = ~kPayloadMask;

constexpr uint32_t kMode01 = 0;
constexpr uint32_t kMode2 = 1;
constexpr uint32_t kMode3 = 2;
constexpr uint32_t kModeDense = 3;

// Mode 00
constexpr uint32_t kM0PairShift = 16;
constexpr uint32_t kM0PairMask = 0x3FF;
constexpr uint32_t kM0EntityShift = 8;
constexpr uint32_t kM0EntityBits = 8;
constexpr uint32_t kM0ChainBits = 8;
// Mode 01
constexpr uint32_t kM1PairShift = 9;
constexpr uint32_t kM1PairMask = (1u << 17) - 1;
constexpr uint32_t kM1EntityShift = 4;
constexpr uint32_t kM1EntityBits = 5;
constexpr uint32_t kM1ChainBits = 4;
// Mode 10
constexpr uint32_t kM2PairShift = 1;
constexpr uint32_t kM2PairMask = (1u << 25) - 1;
// Mode 11
constexpr uint32_t kDenseSigBits = 26;
constexpr uint32_t kDenseCapacity = 1u << kDenseSigBits;

// Number of 2- and 3-subsets of 0..511: the exclusive upper bounds of valid ranks.
constexpr uint32_t kPairRanks = kMaxPairs * (kMaxPairs - 1) / 2;                          // 130816
constexpr uint32_t kTripleRanks = kMaxPairs * (kMaxPairs - 1) * (kMaxPairs - 2) / 6;  // 22238720
static_assert(kPairRanks <= kM1PairMask + 1, "2-subset ranks must fit 17 bits");
static_assert(kTripleRanks <= kM2PairMask + 1, "3-subset ranks must fit 25 bits");

constexpr uint32_t mask_bits(uint32_t bits) { return bits >= 32 ? ~0u : (1u << bits) - 1; }

constexpr uint32_t mode_of(uint32_t w) { return w >> kModeShift; }
constexpr bool taint_of(uint32_t w) { return (w >> kTaintShift) & 1u; }
constexpr uint32_t depth_of(uint32_t w) { return (w >> kDepthShift) & 7u; }
constexpr uint32_t payload_of(uint32_t w) { return w & kPayloadMask; }

constexpr uint32_t header(uint32_t mode, bool taint, uint32_t depth) {
    return (mode << kModeShift) | (uint32_t(taint) << kTaintShift) | (depth << kDepthShift);
}

// Width of the entity and chain fields in a mode (none in modes 10 and 11).
constexpr uint32_t entity_bits(uint32_t mode) {
    return mode == kMode01 ? kM0EntityBits : mode == kMode2 ? kM1EntityBits : 0;
}
constexpr uint32_t chain_bits(uint32_t mode) {
    return mode == kMode01 ? kM0ChainBits : mode == kMode2 ? kM1ChainBits : 0;
}

constexpr uint32_t entity_of(uint32_t w) {
    switch (mode_of(w)) {
        case kMode01: return (w >> kM0EntityShift) & 0xFFu;
        case kMode2: return (w >> kM1EntityShift) & 0x1Fu;
        default: return 0;
    }
}
constexpr uint32_t chain_of(uint32_t w) {
    switch (mode_of(w)) {
        case kMode01: return w & 0xFFu;
        case kMode2: return w & 0xFu;
        default: return 0;
    }
}

constexpr uint32_t saturating_depth(uint32_t d) { return d > kMaxDepth ? kMaxDepth : d; }

// Chain hash. The key packs the (at most 8-bit) chain fields injectively together with a
// tag that keeps binary and unary updates apart; the operation code enters through a
// per-op seed. The finaliser is "lowbias32" from C. Wellons' hash-prospector: a bijection
// on 32 bits with near-ideal avalanche, so every output bit (we keep at most the low 8)
// depends on every input bit. Two multiplies per element keep the batch loops cheap.
constexpr uint32_t mix32(uint32_t x) {
    x ^= x >> 16;
    x *= 0x7FEB352Du;
    x ^= x >> 15;
    x *= 0x846CA68Bu;
    x ^= x >> 16;
    return x;
}
constexpr uint32_t op_seed(uint32_t op) { return mix32(op ^ 0x9E3779B9u); }
constexpr uint32_t chain_hash2(uint32_t seed, uint32_t ca, uint32_t cb) {
    return mix32(seed ^ ((ca & 0xFFu) | ((cb & 0xFFu) << 8) | (1u << 16)));
}
constexpr uint32_t chain_hash1(uint32_t seed, uint32_t c) {
    return mix32(seed ^ ((c & 0xFFu) | (1u << 17)));
}

// Header algebra shared by combine and update_chain.
constexpr uint32_t next_depth(uint32_t a, uint32_t b) {
    uint32_t m = depth_of(a) > depth_of(b) ? depth_of(a) : depth_of(b);
    return m >= kMaxDepth ? kMaxDepth : m + 1;
}

}  // namespace orrin
