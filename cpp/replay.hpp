// Replay of a run's per-element log with some values changed: one forward pass over the
// nodes in id order (a topological order) recomputes every node whose inputs changed. No
// Python here. Aggregates over many rows keep their recorded values; a node the pass cannot
// evaluate is marked unknown, and so is everything computed from it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace orrin {
namespace replay {

// How a node is replayed. The operations follow numpy's rules on float64, as the pipeline
// computed them.
enum Code : int32_t {
    KEEP = 0,        // a source or a constant: its value is given, never recomputed
    HELD = 1,        // an aggregate over many rows: keeps its recorded value
    HELD_GROUP = 2,  // a group's aggregate: held, unless a changed input is its group key
    UNKNOWN = 3,     // an operation the pass cannot evaluate
    PASS = 4,        // a merged element: its first input's value; the others are join keys
    ADD, SUB, MUL, DIV, FLOORDIV, MOD, POW, MAXIMUM, MINIMUM, FMAX, FMIN,
    GT, LT, GE, LE, EQ, NE, AND, OR, XOR,
    NEG, ABS, INVERT, NOT, RINT, FLOOR, CEIL, TRUNC, SQRT, EXP, EXPM1, LOG, LOG1P, LOG2, LOG10,
    SQUARE, SIGN, ISNAN,
    ROUND, WHERE, SELECT, FILLNA, CLIP, BETWEEN,
    N_CODES
};

// The operation names of the log that each code replays (numpy's names too).
std::vector<std::pair<std::string, int32_t>> operation_codes();

// The log as the pass reads it: per node its code and value, its inputs as row positions
// (inputs[input_start[r] .. input_start[r + 1]]), and for a group's aggregate the values of
// its group key (group_values[group_start[r] .. group_start[r + 1]]).
struct Log {
    size_t n;
    const int32_t* code;
    const int64_t* input_start;
    const int64_t* inputs;
    const double* value;
    const int64_t* group_start;
    const double* group_values;
};

// ok[r] = 1 where node r, computed from its inputs' recorded values, gives its own recorded
// value (or is a source, a constant or an aggregate); 0 where it does not or cannot.
void check(const Log& log, uint8_t* ok);

// States of a node after a change.
enum State : uint8_t { SAME = 0, CHANGED = 1, UNKNOWN_VALUE = 2 };

// The nodes at rows cells[0..n_cells) set to new_value, every node depending on them
// recomputed: out_value[r] and state[r] per node (out_value is the recorded value where the
// state is SAME). Returns the number of aggregates held although an input changed.
size_t changed(const Log& log, const int64_t* cells, size_t n_cells, double new_value,
               double* out_value, uint8_t* state);

}  // namespace replay
}  // namespace orrin
