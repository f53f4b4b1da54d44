// Segmented combines: one word made of many (the members of a group, of a window, of a row).
// No Python here. Each result word has the union of its members' pair sets, the OR of their
// taint, a depth one more than the deepest member (saturating at 7), the XOR of their
// entities and a chain folded from theirs with the operation's seed.
#pragma once

#include <cstddef>
#include <cstdint>

#include "engine.hpp"

namespace orrin {
namespace kernels {

// out[s] combines every words[i] with segments[i] == s, for s in [0, n_segments); members
// with a negative segment are left out. A segment without members gets the word of no
// sources, one step deep. Throws std::invalid_argument for a segment >= n_segments.
void combine_segments(Engine& engine, const uint32_t* words, const int64_t* segments, size_t n,
                      size_t n_segments, uint32_t op, uint32_t* out);

// The same for several columns of words whose rows share one segment array: out[s] combines
// members[m][i] with segments[i] == s for every m, in the order of the members, then of the
// rows (as combine_segments over the members laid end to end, without copying them or the
// segments once per member).
void combine_member_segments(Engine& engine, const uint32_t* const* members, size_t n_members,
                             const int64_t* segments, size_t n, size_t n_segments, uint32_t op,
                             uint32_t* out);

// out[i] combines words[i - window + 1 .. i] (clipped at 0); window 0 means words[0 .. i]
// (an expanding window, as cumulative operations need).
void combine_windows(Engine& engine, const uint32_t* words, size_t n, size_t window,
                     uint32_t op, uint32_t* out);

}  // namespace kernels
}  // namespace orrin
