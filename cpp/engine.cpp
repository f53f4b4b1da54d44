#include "engine.hpp"

#include <cstdio>
#include <stdexcept>
#include <string>

namespace orrin {
namespace {

std::string hex(uint32_t w) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08X", w);
    return buf;
}

[[noreturn]] void bad_word(uint32_t w, const std::string& why) {
    throw std::invalid_argument("provenance word " + hex(w) + " " + why);
}

}  // namespace

void check_pair_id(int64_t id) {
    if (id < 0 || id >= int64_t(kMaxPairs)) {
        throw std::invalid_argument("pair ID " + std::to_string(id) +
                                    " is outside the valid range 0..511");
    }
}

uint32_t Engine::pack(const PairSet& pairs, uint32_t entity, uint32_t chain, bool taint,
                      uint32_t depth) {
    uint32_t ids[3];
    uint32_t n = pairs.size();
    uint32_t payload;
    uint32_t mode;
    if (n <= 1) {
        mode = kMode01;
        uint32_t pair_data = pairs.first(ids, 1) ? ids[0] + 1 : 0;
        payload = (pair_data << kM0PairShift) | ((entity & 0xFFu) << kM0EntityShift) |
                  (chain & 0xFFu);
    } else if (n == 2) {
        mode = kMode2;
        pairs.first(ids, 2);
        payload = (rank2(ids[0], ids[1]) << kM1PairShift) |
                  ((entity & 0x1Fu) << kM1EntityShift) | (chain & 0xFu);
    } else if (n == 3) {
        mode = kMode3;
        pairs.first(ids, 3);
        payload = rank3(ids[0], ids[1], ids[2]) << kM2PairShift;
    } else {
        mode = kModeDense;
        payload = dense_.intern(pairs);
    }
    return header(mode, taint, saturating_depth(depth)) | payload;
}

uint32_t Engine::encode(const PairSet& pairs, uint64_t entity, uint64_t chain, bool taint,
                        uint64_t depth) {
    uint32_t d = depth > kMaxDepth ? kMaxDepth : uint32_t(depth);
    return pack(pairs, uint32_t(entity), uint32_t(chain), taint, d);
}

void Engine::validate(uint32_t w) const {
    switch (mode_of(w)) {
        case kMode01: {
            uint32_t pair_data = (w >> kM0PairShift) & kM0PairMask;
            if (pair_data > kMaxPairs)
                bad_word(w, "holds pair_data " + std::to_string(pair_data) +
                                ", which names no pair ID (valid pair_data: 0..512)");
            return;
        }
        case kMode2: {
            uint32_t rank = (w >> kM1PairShift) & kM1PairMask;
            if (rank >= kPairRanks)
                bad_word(w, "holds pair_index " + std::to_string(rank) +
                                ", which is no 2-subset of 0..511 (valid: 0.." +
                                std::to_string(kPairRanks - 1) + ")");
            return;
        }
        case kMode3: {
            uint32_t rank = (w >> kM2PairShift) & kM2PairMask;
            if (rank >= kTripleRanks)
                bad_word(w, "holds pair_combo " + std::to_string(rank) +
                                ", which is no 3-subset of 0..511 (valid: 0.." +
                                std::to_string(kTripleRanks - 1) + ")");
            return;
        }
        default: {
            uint32_t sig = payload_of(w);
            if (sig >= dense_.size())
                bad_word(w, "is a dense word with signature " + std::to_string(sig) +
                                ", which this engine never issued (words are only "
                                "meaningful to the tracker that made them)");
        }
    }
}

PairSet Engine::pairs_of(uint32_t w) const {
    PairSet s;
    uint32_t a, b, c;
    switch (mode_of(w)) {
        case kMode01: {
            validate(w);
            uint32_t pair_data = (w >> kM0PairShift) & kM0PairMask;
            if (pair_data) s.add(pair_data - 1);
            break;
        }
        case kMode2:
            validate(w);
            unrank2((w >> kM1PairShift) & kM1PairMask, a, b);
            s.add(a);
            s.add(b);
            break;
        case kMode3:
            validate(w);
            unrank3((w >> kM2PairShift) & kM2PairMask, a, b, c);
            s.add(a);
            s.add(b);
            s.add(c);
            break;
        default:
            if (!dense_.lookup(payload_of(w), s)) validate(w);  // throws with the message
    }
    return s;
}

Decoded Engine::decode(uint32_t w) const {
    Decoded d;
    d.pairs = pairs_of(w);
    d.entity = entity_of(w);
    d.chain = chain_of(w);
    d.taint = taint_of(w);
    d.depth = depth_of(w);
    switch (mode_of(w)) {
        case kMode01:
            d.mode_name = ((w >> kM0PairShift) & kM0PairMask) ? "EXACT-1" : "EXACT-0";
            break;
        case kMode2: d.mode_name = "EXACT-2"; break;
        case kMode3: d.mode_name = "EXACT-3"; break;
        default: d.mode_name = "DENSE";
    }
    return d;
}

uint32_t Engine::intern_dense(const PairSet& pairs) {
    uint32_t n = pairs.size();
    if (n < 4)
        throw std::invalid_argument("a dense pair set needs four or more pairs, got " +
                                    std::to_string(n));
    return dense_.intern(pairs);
}

uint32_t Engine::combine(uint32_t a, uint32_t b, uint32_t op) {
    PairSet s = pairs_of(a);
    s |= pairs_of(b);
    uint32_t chain = chain_hash2(op_seed(op), chain_of(a), chain_of(b));
    return pack(s, entity_of(a) ^ entity_of(b), chain, taint_of(a) || taint_of(b),
                next_depth(a, b));
}

uint32_t Engine::union_pairs(uint32_t a, uint32_t b) {
    PairSet s = pairs_of(a);
    s |= pairs_of(b);
    return pack(s, 0, 0, false, 0);
}

uint32_t Engine::update_chain(uint32_t w, uint32_t op) {
    PairSet s = pairs_of(w);
    uint32_t chain = chain_hash1(op_seed(op), chain_of(w));
    return pack(s, entity_of(w), chain, taint_of(w), next_depth(w, w));
}

}  // namespace orrin
