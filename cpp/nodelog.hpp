// The operation log of the DAG road, kept as columns: one row per node, in creation order.
// No Python here. The caller interns node types and operations to small codes and keeps
// whatever a node carries beyond them (table, column, metadata) on its side.
//
// A row is in the node table (ALIVE) and in the provenance index (INDEXED) until evicted;
// a caller may take a row out of the table alone. Eviction keeps the table at most
// `max_nodes` rows: whenever a new row takes it above, the oldest tenth of its rows that
// are not sources leave both. Rows that left both are dropped from memory once they
// outnumber the others.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "podvector.hpp"

namespace orrin {

class NodeLog {
public:
    static constexpr uint8_t kAlive = 1;      // in the node table
    static constexpr uint8_t kIndexed = 2;    // in the provenance index
    static constexpr uint8_t kProtected = 4;
    static constexpr uint8_t kSource = 8;     // never evicted
    // A cell of a source column: the node an element of a wrapped column starts from, its
    // one input the column's node. Cells lie beside the table: findable by id, never
    // evicted or indexed, not counted, and seen through (as their column) by the lineage,
    // the distinct rows and the edges noted, so that the table keeps one node per column.
    static constexpr uint8_t kCell = 16;
    // A constant operand: a node of the table, but its word is no fingerprint (it derives
    // from no source), so the per-fingerprint summary (the distinct rows, the edges noted
    // for a writer) leaves it out.
    static constexpr uint8_t kConstant = 32;

    explicit NodeLog(int64_t max_nodes) : max_nodes_(max_nodes) {}

    // Rows one after another that share their type, operation and number of inputs, whose
    // ids follow one another and whose inputs lie one after another: a batch's rows, or a
    // run of single appends alike. What they share is kept once per run: a row's id, type,
    // operation and the place of its inputs follow from its run and its place in it. An
    // operand that is the same node for every row (a constant, a column's node for its
    // cells) or the nodes of one run in order (the step before, on the same rows) is not
    // kept per row at all, nor is what rows stand for in the summary where it follows a
    // pattern. Per row the log keeps only what differs (word, flags, the other inputs, a
    // stand-in of no pattern): fresh memory is most of what logging a node costs.
    static constexpr size_t kImpliable = 4;  // operands that may be implied: the first four
    // The bits set in each mask of implied operands: a lookup, where a popcount of a machine
    // built for any x86-64 is a call per input read.
    static constexpr uint8_t kOnes[16] = {0, 1, 1, 2, 1, 2, 2, 3, 1, 2, 2, 3, 2, 3, 3, 4};
    struct Run {
        size_t first_row;
        int64_t first_id;
        int64_t first_input;  // in inputs_, of the operands kept per row
        uint32_t arity;
        int32_t op;
        uint8_t type;
        uint8_t implied;     // bit j: operand j of the row at offset o is base[j] + o * step
        uint8_t unit_steps;  // bit j: that step is 1 (else 0: the same node for every row)
        int64_t base[kImpliable];
        // What the run's rows stand for in the summary (see stand_for_): kept per row from
        // stand_for_[first_stand] on, or else stand_base + offset * stand_step (-1, step
        // 0: every row stands for itself). A batch's rows mostly stand for nodes of one run
        // in order, or one node, or none: then nothing is kept per row.
        int64_t stand_base;
        int64_t first_stand;
        uint8_t stand_step;
        bool stand_kept;
        size_t kept_arity() const {
            return arity - static_cast<size_t>(kOnes[implied & 0xFu]);
        }
    };
    // The inputs of one row, in operand order.
    class Inputs {
    public:
        Inputs(const Run& run, size_t offset, const int64_t* kept)
            : run_(&run), offset_(static_cast<int64_t>(offset)), kept_(kept) {}
        size_t size() const { return run_->arity; }
        int64_t operator[](size_t j) const {
            const unsigned below = j < kImpliable ? (1u << j) - 1 : 0xFu;
            if (j < kImpliable && (run_->implied >> j & 1u))
                return run_->base[j] + ((run_->unit_steps >> j & 1u) ? offset_ : 0);
            return kept_[j - static_cast<size_t>(kOnes[run_->implied & below])];
        }

    private:
        const Run* run_;
        int64_t offset_;
        const int64_t* kept_;
    };

    // One node; returns its id. `flags` takes kProtected and kSource.
    int64_t append(uint8_t type, int32_t op, int64_t word, uint8_t flags, const int64_t* inputs,
                   size_t n_inputs);

    // Each append_* may also note, in `edges`, every input that is in the table when a node
    // is made: (input word, node word, input position, element) per input, flat.

    // One node per element i whose k inputs columns[0][i] .. columns[k-1][i] are all >= 0;
    // out[i] is its id, or -1 where an input is missing. Protected where the word's bit at
    // `taint_shift` is set; every node also takes `flags` (kSource: the cells of a source
    // column, never evicted).
    // `Word`: int64_t, or uint32_t for the words of an array that holds them as such (no
    // widened copy is made of them for the call).
    // `same` (null, or one per column): where same[c] is set, columns[c] is one entry, the
    // node of every element (a constant, a column's node for its cells). Where every
    // element has all its operands, the run implies it and it is never spread into a
    // column (see spread).
    template <class Word>
    void append_columns(uint8_t type, int32_t op, const Word* words, size_t n,
                        const int64_t* const* columns, size_t k, unsigned taint_shift,
                        int64_t* out, std::vector<int64_t>* edges = nullptr,
                        uint8_t flags = 0, const uint8_t* same = nullptr);

    // One node per segment s with inputs flat[offsets[s] .. offsets[s+1]); -1 for a segment
    // without inputs.
    void append_ragged(uint8_t type, int32_t op, const int64_t* words, size_t n,
                       const int64_t* offsets, const int64_t* flat, unsigned taint_shift,
                       int64_t* out, std::vector<int64_t>* edges = nullptr);

    // One node per element over the nodes of its window members[i-span+1 .. i] that exist
    // (distinct, ascending); span 0 chains: inputs are the previous node made and members[i].
    void append_windows(uint8_t type, int32_t op, const int64_t* words, const int64_t* members,
                        size_t n, size_t span, unsigned taint_shift, int64_t* out,
                        std::vector<int64_t>* edges = nullptr);

    // -- reading ------------------------------------------------------------------------
    size_t live() const { return live_; }
    size_t rows() const { return words_.size(); }
    int64_t next_id() const { return next_id_; }
    void set_next_id(int64_t id) { next_id_ = id; }
    int64_t max_nodes() const { return max_nodes_; }
    void set_max_nodes(int64_t bound) { max_nodes_ = bound; }
    uint64_t evictions() const { return evictions_; }

    // Row of a node in the table, or -1.
    int64_t row_of(int64_t id) const;
    int64_t id(size_t row) const {
        const Run& run = runs_[run_at(row)];
        return run.first_id + static_cast<int64_t>(row - run.first_row);
    }
    int64_t word(size_t row) const {
        if (unwritten_.empty() || row < unwritten_.front().first_row) return words_[row];
        return word_unwritten(row);
    }
    uint8_t type(size_t row) const { return runs_[run_at(row)].type; }
    int32_t op(size_t row) const { return runs_[run_at(row)].op; }
    uint8_t flags(size_t row) const { return flags_[row]; }
    Inputs inputs(size_t row) const;

    // Ids of the table's rows, oldest first.
    std::vector<int64_t> table_ids() const;
    // Ids of the indexed nodes with this word, oldest first.
    std::vector<int64_t> ids_for_word(int64_t word);
    // Every indexed (word, id), grouped by word in the order of each word's oldest node.
    void index_items(std::vector<int64_t>& words, std::vector<int64_t>& ids);
    size_t distinct_indexed_words();

    // Breadth-first from `root` over inputs: the ids reached that are in the table, in the
    // order they are reached, and one (input, node, position) edge per input of each.
    // Cells are seen through as their column unless `cells` is true.
    void lineage(int64_t root, std::vector<int64_t>& nodes, std::vector<int64_t>& edges,
                 bool cells = false) const;
    // The id a reference to `id` stands for in the table's views: a cell's column.
    int64_t seen_as(int64_t id) const;
    // The id a reference to `id` stands for in the per-fingerprint summary: a cell's column,
    // and for a step that keeps the word of an input (a step with a constant), what that
    // input stands for.
    int64_t summary_as(int64_t id) const;
    // Whether a row is a node of the per-fingerprint summary: not a cell, not a constant,
    // and not a step that keeps the word of one of its inputs.
    bool in_summary(size_t row) const { return in_summary_at(runs_[run_at(row)], row); }
    bool is_cell(size_t row) const { return flags_[row] & kCell; }
    // The same for a node by id, also once evicted or dropped (a batch asks after its
    // append, whose later rows may have evicted its first); an unknown id counts as in.
    bool made_in_summary(int64_t id) const;

    // The first table row of every distinct word, and each distinct (input word, word,
    // position) of an input still in the table, as rows: what a deduplicated write stores.
    // Positions from kImpliable on count as one: an aggregate's inputs give one edge per
    // pair of words there, at the first position that joins them.
    void distinct_rows(std::vector<int64_t>& rows,
                       std::vector<int64_t>& edge_words) const;

    // Every field, for pickling: the columns, then the counters.
    struct State {
        std::vector<int64_t> ids, words, input_start, inputs;
        std::vector<int32_t> ops;
        std::vector<uint8_t> types, flags;
        int64_t max_nodes, next_id;
        uint64_t evictions;
    };
    State state() const;
    // The same fields of table rows lo .. hi - 1 alone (input offsets from 0): a log read
    // in parts, each part's columns small enough to be memory used again, not fresh.
    State state_of_rows(size_t lo, size_t hi) const;
    static NodeLog from_state(State s);

    // -- changing -----------------------------------------------------------------------
    // Takes a node out of the table only (its index entry stays); false if it was not there.
    bool remove_from_table(int64_t id);
    void clear();
    size_t bytes() const;

private:
    // What row `row` of `run` stands for in the summary, or -1 (itself).
    int64_t stand_in(const Run& run, size_t row) const {
        const auto offset = static_cast<int64_t>(row - run.first_row);
        if (run.stand_kept) return stand_for_[static_cast<size_t>(run.first_stand + offset)];
        return run.stand_base < 0 ? -1 : run.stand_base + offset * run.stand_step;
    }
    bool in_summary_at(const Run& run, size_t row) const;
    // The run of a row; the run found last is tried first (rows are mostly read in order).
    size_t run_at(size_t row) const;
    size_t run_end(size_t run) const {
        return run + 1 < runs_.size() ? runs_[run + 1].first_row : rows();
    }
    // Notes that `count` rows from `row` (the first row not in a run yet) on are those of
    // `made` (its first_row aside): the last run goes on where they continue it.
    static void add_rows(PodVector<Run>& runs, size_t row, const Run& made, size_t count);
    static Run run_of(uint8_t type, int32_t op, int64_t first_id, int64_t first_input,
                      size_t arity);
    // Whether every element has all its operands.
    static bool imply_operands(Run& run, const int64_t* const* columns, size_t k, size_t n);
    static bool imply_present(Run& run, const int64_t* const* columns, size_t k, size_t n);

    void push(uint8_t type, int32_t op, int64_t word, uint8_t flags, size_t arity);
    void reserve(size_t rows, size_t inputs);
    template <class Word>
    void fill_columns(uint8_t type, int32_t op, const Word* words, size_t n,
                      std::vector<const int64_t*>& columns, unsigned taint_shift, int64_t* out,
                      uint8_t flags, const uint8_t*& same);
    // A column of `n` entries that are all `node`, for an operand given as one entry where
    // a batch reads it per element: written into memory this log keeps for such columns
    // (one per `slot`, an operand of one call), so that each batch writes it again instead
    // of touching fresh memory for it.
    const int64_t* spread(size_t slot, int64_t node, size_t n);
    // The columns of `same` (see append_columns) spread; `same` then null.
    void spread_same(std::vector<const int64_t*>& columns, const uint8_t*& same, size_t n);
    // imply_present where the columns of `same` are their one node for every element:
    // implied without a read. False where a batch needs them spread.
    static bool imply_same(Run& run, const int64_t* const* columns, size_t k, size_t n,
                           const uint8_t* same);
    void note_edges(const int64_t* in, size_t k, int64_t word, size_t element,
                    std::vector<int64_t>* edges) const;
    void after_append();
    void note_stand_in(size_t row);
    void note_stand_ins(size_t base, Run& run, const int64_t* const* columns, size_t k,
                        size_t n, bool every);
    bool stands_in_bulk(size_t base, size_t made, Run& run, bool in_order, int64_t from,
                        size_t in_run) const;
    bool any_same_word(size_t base, size_t from, size_t made, size_t step = 1) const;
    // Rows one after another that share one word, their words not written (see words_).
    struct Stretch {
        size_t first_row;
        size_t count;
        int64_t word;
    };
    // The words of rows [from, from + count): where they all lie in one stretch, null and
    // that word in `one`; else where they are written, those of the stretches they cross
    // written first.
    const int64_t* words_of(size_t from, size_t count, int64_t& one) const;
    int64_t word_unwritten(size_t row) const;
    // Every stretch's words written: for a reader of words_ that knows nothing of them.
    void write_words() const;
    void keep_stretch(size_t first_row, size_t count, int64_t word);
    // Batches of at least this many nodes that share one word keep it as a stretch.
    static constexpr size_t kStretchFrom = 32;
    bool any_input_word(size_t base, const int64_t* ids, size_t made) const;
    // The run that holds the row of id `id`, alive or not, or runs_.size().
    size_t run_holding(int64_t id) const;
    // row_of, starting from the run `hint` (updated to the run found): one hint per operand
    // column keeps each column's lookups in its own run.
    int64_t row_near(int64_t id, size_t& hint) const;
    // The same, for a row still held whether or not it is in the table.
    int64_t held_row_near(int64_t id, size_t& hint) const;
    // What a row compaction dropped stood for, or -1.
    int64_t departed_stand(int64_t id) const;
    int64_t summary_of_row(size_t row) const;
    // The column a cell reads (its one input), its run known; its own id if it has none.
    int64_t column_of_cell(const Run& run, size_t row) const;
    void keep_departed_sorted(size_t before);
    void evict(size_t count);
    void compact();
    void refresh_index();
    size_t spread_bytes() const;

    int64_t max_nodes_;
    int64_t next_id_ = 0;
    size_t live_ = 0;
    size_t dead_ = 0;           // rows in neither the table nor the index
    size_t evict_cursor_ = 0;   // rows before it are sources or out of the table
    uint64_t evictions_ = 0;

    PodVector<Run> runs_;  // by first row, and so by first id
    mutable size_t last_run_ = 0;
    // A row's word, except for the rows of unwritten_: a batch whose nodes share one word
    // (most steps over a table's rows) keeps it once, the memory of their words untouched
    // (fresh memory is most of what logging costs) until a reader needs them written.
    mutable PodVector<int64_t> words_;
    mutable PodVector<Stretch> unwritten_;  // by first row
    PodVector<uint8_t> flags_;
    PodVector<int64_t> inputs_;
    // Per row of the runs that keep them (see Run): what a row that keeps an input's word
    // stands for in the summary (-1: the row stands for itself), resolved when the row is
    // made (see note_stand_in). Found in O(1) through the row's run, since every step of
    // every element asks.
    PodVector<int64_t> stand_for_;
    // The same for rows compaction dropped (ids ascending, and what each stands for): an
    // input evicted since still stands for what it stood for.
    PodVector<int64_t> departed_ids_;
    PodVector<int64_t> departed_for_;

    // Rows ordered by (word, row); covers rows [0, indexed_rows_). Entries of rows no longer
    // indexed are skipped when read, and dropped when the log is compacted.
    std::vector<int64_t> index_;
    // The columns spread() made, kept for the next batch.
    std::vector<std::vector<int64_t>> spread_;
    size_t indexed_rows_ = 0;
};

}  // namespace orrin
