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
    SQUARE, SIGN, ISNAN, NOTNAN,
    ROUND, WHERE, SELECT, FILLNA, CLIP, BETWEEN,
    MAP, ISIN, CUT, ASTYPE,  // by a recorded table: the node's second input is its constant
    GROUP_LOOKUP,  // a group's aggregate looked up by its own key: the second input, as seen
    // A condition that kept a row (a mask's element; the cells dropna read): its recorded
    // value while its own applicant's inputs still keep the row, unknown once they do not
    // or another applicant's input changed.
    KEPT_IF_TRUE,
    KEPT_IF_PRESENT,
    N_CODES
};

// The operation names of the log that each code replays (numpy's names too).
std::vector<std::pair<std::string, int32_t>> operation_codes();

// The recorded tables of maps, isin lists, cut bins and astype targets, each found by the row
// of its constant node (rows ascending). Table t holds keys[start[t] .. start[t + 1]] and as
// many values: a map's keys (ascending, NaN last) and what each maps to; an isin's members
// (ascending); a cut's edges and each bin's output (the last value unused), param bit 0 for
// bins closed on the right and bit 1 for the lowest edge included; an astype's target kind
// in param (see AstypeKind). Values at or above text_from stand for texts.
struct Tables {
    size_t count = 0;
    const int64_t* rows = nullptr;
    const int64_t* start = nullptr;
    const double* keys = nullptr;
    const double* values = nullptr;
    const int32_t* param = nullptr;
    double text_from = 0.0;
};

enum AstypeKind : int32_t { TO_INT = 0, TO_FLOAT = 1, TO_BOOL = 2, TO_TEXT = 3 };

// Owners of nodes: an applicant (a row id, >= 0), or none of them.
enum Owner : int64_t { NO_OWNER = -1, SHARED = -2 };

// The log as the pass reads it: per node its code and value, its inputs as row positions
// (inputs[input_start[r] .. input_start[r + 1]]), and for a group's aggregate the values of
// its group key (group_values[group_start[r] .. group_start[r + 1]]) and its family (the
// aggregates one groupby logged together, where an applicant moving finds its new group;
// -1 elsewhere). owner[r] is the applicant node r belongs to (see owners()); null: none.
struct Log {
    size_t n;
    const int32_t* code;
    const int64_t* input_start;
    const int64_t* inputs;
    const double* value;
    const int64_t* group_start;
    const double* group_values;
    const int64_t* family = nullptr;
    const int64_t* owner = nullptr;
    Tables tables{};
};

// owner[r] on entry: the applicant whose row node r belongs to, or NO_OWNER. On return, a
// node of no row that only one applicant's nodes read (directly or through others such as
// it) belongs to that applicant, and one that several read is SHARED: a step of a group's
// value alone (a group mean times a weight) is each reader's own. An aggregate's inputs
// take nothing from it.
void owners(const Log& log, int64_t* owner);

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
