// Batch loops over word arrays. Each one equals its per-word form element by element.
// No Python here; the bindings handle arrays, the GIL and conversions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine.hpp"

namespace orrin {
namespace kernels {

// out[i] = engine.combine(a[i], b[i], op); a length-1 operand broadcasts (na or nb == 1).
void combine(Engine& engine, const uint32_t* a, size_t na, const uint32_t* b, size_t nb,
             uint32_t op, uint32_t* out, size_t n);
void update_chain(Engine& engine, const uint32_t* words, size_t n, uint32_t op, uint32_t* out);
// out[i] = encode({pair_id}, entities[i], 0, taint, 0); pair_id must already be checked.
void encode_source_column(uint32_t pair_id, const uint32_t* entities, size_t n, bool taint,
                          uint32_t* out);
void is_tainted(const uint32_t* words, size_t n, bool* out);
void risk_score(const uint32_t* words, size_t n, double* out);

// Pair IDs of every word, flattened: word i owns ids[offsets[i] .. offsets[i + 1]).
struct Explained {
    std::vector<uint32_t> ids;
    std::vector<size_t> offsets;
};
Explained explain(const Engine& engine, const uint32_t* words, size_t n);

}  // namespace kernels
}  // namespace orrin
