#include "nodelog.hpp"

#include <algorithm>
#include <cstring>
#include <deque>
#include <functional>
#include <stdexcept>
#include <tuple>
#include <type_traits>
#include <unordered_map>
#include <unordered_set>

namespace orrin {

namespace {

constexpr uint8_t kGone = NodeLog::kAlive | NodeLog::kIndexed;

uint8_t taint_flag(int64_t word, unsigned shift) {
    return ((static_cast<uint64_t>(word) >> shift) & 1u) ? NodeLog::kProtected : 0;
}

size_t to_size(int64_t v) { return static_cast<size_t>(v); }

// A cell is findable (alive) but not indexed.
uint8_t stored_flags(uint8_t flags) {
    uint8_t indexed = (flags & NodeLog::kCell) ? 0 : NodeLog::kIndexed;
    return static_cast<uint8_t>(flags | NodeLog::kAlive | indexed);
}

}  // namespace

size_t NodeLog::run_at(size_t row) const {
    size_t c = last_run_;
    if (c < runs_.size() && runs_[c].first_row <= row) {
        if (row < run_end(c)) return c;
        if (c + 1 < runs_.size() && row < run_end(c + 1)) return last_run_ = c + 1;
    }
    auto after = std::upper_bound(runs_.begin(), runs_.end(), row,
                                  [](size_t r, const Run& run) { return r < run.first_row; });
    return last_run_ = static_cast<size_t>(after - runs_.begin()) - 1;
}

NodeLog::Run NodeLog::run_of(uint8_t type, int32_t op, int64_t first_id, int64_t first_input,
                             size_t arity) {
    return Run{0, first_id, first_input, static_cast<uint32_t>(arity), op, type, 0, 0, {},
               -1, 0, 0, false};
}

void NodeLog::add_rows(PodVector<Run>& runs, size_t row, const Run& made, size_t count) {
    if (count == 0) return;
    if (!runs.empty()) {
        const Run& last = runs.back();
        const auto held = static_cast<int64_t>(row - last.first_row);
        bool continues = last.type == made.type && last.op == made.op &&
                         last.arity == made.arity && last.implied == made.implied &&
                         last.unit_steps == made.unit_steps &&
                         last.first_id + held == made.first_id &&
                         last.first_input + held * static_cast<int64_t>(last.kept_arity()) ==
                             made.first_input;
        for (size_t j = 0; continues && j < kImpliable; ++j)
            if (last.implied >> j & 1u)
                continues = last.base[j] + ((last.unit_steps >> j & 1u) ? held : 0) == made.base[j];
        if (continues && last.stand_kept)
            continues = made.stand_kept && last.first_stand + held == made.first_stand;
        else if (continues)
            continues = !made.stand_kept && last.stand_step == made.stand_step &&
                        (last.stand_base < 0 ? made.stand_base < 0
                                             : last.stand_base + held * last.stand_step ==
                                                   made.stand_base);
        if (continues) return;
    }
    runs.push_back(made);
    runs.back().first_row = row;
}

// One row; its inputs are the last `arity` of inputs_.
void NodeLog::push(uint8_t type, int32_t op, int64_t word, uint8_t flags, size_t arity) {
    const auto first_input = static_cast<int64_t>(inputs_.size() - arity);
    Run run = run_of(type, op, next_id_, first_input, arity);
    run.stand_kept = true;  // a single row's stand-in is noted once it is made
    run.first_stand = static_cast<int64_t>(stand_for_.size());
    add_rows(runs_, rows(), run, 1);
    ++next_id_;
    words_.push_back(word);
    flags_.push_back(stored_flags(flags));
    stand_for_.push_back(-1);
    if (!(flags & kCell)) ++live_;
    note_stand_in(rows() - 1);
}

// Room for a batch, growing geometrically so that many small batches stay linear.
void NodeLog::reserve(size_t rows, size_t inputs) {
    words_.reserve_more(rows);
    flags_.reserve_more(rows);
    stand_for_.reserve_more(rows);
    inputs_.reserve_more(inputs);
}

void NodeLog::note_edges(const int64_t* in, size_t k, int64_t word, size_t element,
                         std::vector<int64_t>* edges) const {
    if (!edges) return;
    for (size_t j = 0; j < k; ++j) {  // a node that keeps an input's word is not summarised
        int64_t r = row_of(in[j]);
        if (r >= 0 && !(flags_[to_size(r)] & kConstant) && this->word(to_size(r)) == word) return;
    }
    for (size_t j = 0; j < k; ++j) {
        int64_t r = row_of(summary_as(in[j]));
        // a step with a constant keeps its input's word: no edge from a fingerprint to itself
        if (r < 0 || (flags_[to_size(r)] & kConstant) || this->word(to_size(r)) == word) continue;
        edges->insert(edges->end(), {this->word(to_size(r)), word, static_cast<int64_t>(j),
                                     static_cast<int64_t>(element)});
    }
}

void NodeLog::after_append() {
    if (static_cast<int64_t>(live_) > max_nodes_) evict(live_ / 10);
}

int64_t NodeLog::append(uint8_t type, int32_t op, int64_t word, uint8_t flags,
                        const int64_t* inputs, size_t n_inputs) {
    inputs_.insert_end(inputs, inputs + n_inputs);
    push(type, op, word, flags, n_inputs);
    int64_t id = next_id_ - 1;
    after_append();
    return id;
}

template <class Word>
void NodeLog::append_columns(uint8_t type, int32_t op, const Word* words, size_t n,
                             const int64_t* const* given, size_t k, unsigned taint_shift,
                             int64_t* out, std::vector<int64_t>* edges, uint8_t flags,
                             const uint8_t* same) {
    std::vector<const int64_t*> columns(given, given + k);
    // at most n nodes are made: when even n fit, no eviction can strike
    if (!edges && ((flags & kCell) || static_cast<int64_t>(live_ + n) <= max_nodes_)) {
        fill_columns(type, op, words, n, columns, taint_shift, out, flags, same);
        return;
    }
    if (!edges) {  // in parts that end where the next eviction strikes, as node by node
        for (size_t lo = 0; lo < n;) {
            const auto room = max_nodes_ - static_cast<int64_t>(live_);
            const size_t count = std::min(n - lo, room > 0 ? static_cast<size_t>(room) + 1 : 1);
            std::vector<const int64_t*> part(columns);
            for (size_t c = 0; c < k; ++c)
                if (!(same && same[c])) part[c] += lo;  // one node for all: its one entry
            const uint8_t* part_same = same;
            const int64_t before = next_id_;
            fill_columns(type, op, words + lo, count, part, taint_shift, out + lo, flags,
                         part_same);
            if (next_id_ > before) after_append();  // as after each node made, none else
            lo += count;
        }
        return;
    }
    spread_same(columns, same, n);
    auto present = [&](size_t i) {
        for (size_t c = 0; c < k; ++c)
            if (columns[c][i] < 0) return false;
        return true;
    };
    // Node by node: edges see the table as it is when each node is made.
    size_t made = 0;
    for (size_t i = 0; i < n; ++i) made += present(i);
    reserve(made, made * k);
    for (size_t i = 0; i < n; ++i) {
        if (!present(i)) {
            out[i] = -1;
            continue;
        }
        size_t first = inputs_.size();
        for (size_t c = 0; c < k; ++c) inputs_.push_back(columns[c][i]);
        note_edges(inputs_.data() + first, k, words[i], i, edges);
        auto flag = static_cast<uint8_t>(taint_flag(words[i], taint_shift) | flags);
        push(type, op, words[i], flag, k);
        out[i] = next_id_ - 1;
        after_append();
    }
}

namespace {
bool all_present(const int64_t* const* columns, size_t k, size_t i) {
    for (size_t c = 0; c < k; ++c)
        if (columns[c][i] < 0) return false;
    return true;
}

// Whether every entry of a column is >= 0: the sign bits OR-ed together, a reduction the
// compiler vectorises (a minimum of 64-bit integers is not one on a baseline x86-64).
bool none_missing(const int64_t* column, size_t n) {
    uint64_t signs = 0;
    for (size_t i = 0; i < n; ++i) signs |= static_cast<uint64_t>(column[i]);
    return !(signs >> 63);
}

// Whether column[i] == first + i * step (step 0 or 1) for every i: in blocks, each the
// differences OR-ed together (a reduction the compiler vectorises), so that a column that
// is no such sequence is given up after its first block.
bool follows(const int64_t* column, size_t n, int64_t first, int64_t step) {
    constexpr size_t kBlock = 1024;
    for (size_t lo = 0; lo < n; lo += kBlock) {
        const size_t hi = std::min(n, lo + kBlock);
        uint64_t differs = 0;
        if (step == 0) {
            for (size_t i = lo; i < hi; ++i)
                differs |= static_cast<uint64_t>(column[i]) ^ static_cast<uint64_t>(first);
        } else {
            for (size_t i = lo; i < hi; ++i)  // column[i] - i, wrapping as unsigned
                differs |= (static_cast<uint64_t>(column[i]) - i) ^ static_cast<uint64_t>(first);
        }
        if (differs) return false;
    }
    return true;
}
}  // namespace

// imply_operands where every element has all its operands (what most batches are): each
// column read on its own, in passes the compiler vectorises. False when some element
// lacks one (the implied operands are then the caller's to work out).
bool NodeLog::imply_present(Run& run, const int64_t* const* columns, size_t k, size_t n) {
    if (n == 0) return false;
    uint8_t implied = 0, unit_steps = 0;
    for (size_t c = 0; c < k; ++c) {
        const int64_t* column = columns[c];
        const int64_t step = n > 1 && column[1] == column[0] + 1 ? 1 : 0;
        const bool implies = c < kImpliable && follows(column, n, column[0], step);
        if (implies) {
            run.base[c] = column[0];
            implied = static_cast<uint8_t>(implied | 1u << c);
            if (step) unit_steps = static_cast<uint8_t>(unit_steps | 1u << c);
        }
        // an implied column that starts at a node has one for every element
        if (!(implies && column[0] >= 0) && !none_missing(column, n)) return false;
    }
    run.implied = implied;
    run.unit_steps = unit_steps;
    return true;
}

bool NodeLog::imply_same(Run& run, const int64_t* const* columns, size_t k, size_t n,
                         const uint8_t* same) {
    if (n == 0) return false;
    uint8_t implied = 0, unit_steps = 0;
    for (size_t c = 0; c < k; ++c) {
        const int64_t* column = columns[c];
        if (same[c]) {  // its node for every element, or none for any
            if (c >= kImpliable || column[0] < 0) return false;
            run.base[c] = column[0];
            implied = static_cast<uint8_t>(implied | 1u << c);
            continue;
        }
        Run one = run;  // the column's own pattern, found as imply_present finds it
        if (!imply_present(one, &column, 1, n)) return false;
        if (c < kImpliable && (one.implied & 1u)) {
            run.base[c] = one.base[0];
            implied = static_cast<uint8_t>(implied | 1u << c);
            unit_steps = static_cast<uint8_t>(unit_steps | (one.unit_steps & 1u) << c);
        }
    }
    run.implied = implied;
    run.unit_steps = unit_steps;
    return true;
}

void NodeLog::spread_same(std::vector<const int64_t*>& columns, const uint8_t*& same, size_t n) {
    if (!same) return;
    size_t slot = 0;
    for (size_t c = 0; c < columns.size(); ++c)
        if (same[c]) columns[c] = spread(slot++, columns[c][0], n);
    same = nullptr;
}

// Which of the first operands follow from a row's place among the rows made (see Run): the
// same node in every row, or nodes one after another. One pass that reads the columns.
bool NodeLog::imply_operands(Run& run, const int64_t* const* columns, size_t k, size_t n) {
    if (imply_present(run, columns, k, n)) return true;
    unsigned open = (1u << std::min(k, kImpliable)) - 1;
    run.implied = 0;
    run.unit_steps = 0;
    int64_t made = 0;
    for (size_t i = 0; i < n && open; ++i) {
        if (!all_present(columns, k, i)) continue;
        for (size_t c = 0; c < kImpliable; ++c) {
            if (!(open >> c & 1u)) continue;
            const int64_t v = columns[c][i];
            if (made == 0) {
                run.base[c] = v;
            } else if (made == 1 && (v == run.base[c] || v == run.base[c] + 1)) {
                if (v != run.base[c])
                    run.unit_steps = static_cast<uint8_t>(run.unit_steps | 1u << c);
            } else if (v != run.base[c] + ((run.unit_steps >> c & 1u) ? made : 0)) {
                open &= ~(1u << c);
            }
        }
        ++made;
    }
    run.implied = static_cast<uint8_t>(made ? open : 0);
    run.unit_steps = static_cast<uint8_t>(run.unit_steps & run.implied);
    return false;
}

namespace {
// The rows of a batch where every element has all its operands: each column of the log
// written in a pass of its own, without a test per element, which the compiler vectorises.
template <class Word>
void write_present(const Word* words, size_t n, const std::vector<const int64_t*>& kept,
                   unsigned taint_shift, uint8_t flags, int64_t* word, uint8_t* flag,
                   int64_t* in) {
    const uint8_t plain = stored_flags(flags);
    if (word)  // null: the batch's one word is kept as a stretch
        for (size_t i = 0; i < n; ++i) word[i] = static_cast<int64_t>(words[i]);
    for (size_t i = 0; i < n; ++i) {
        const auto tainted = static_cast<uint8_t>((static_cast<uint64_t>(words[i]) >> taint_shift) & 1u);
        flag[i] = static_cast<uint8_t>(plain | tainted * NodeLog::kProtected);
    }
    const size_t k = kept.size();
    if (k == 1) {
        std::memcpy(in, kept[0], n * sizeof(int64_t));
        return;
    }
    for (size_t c = 0; c < k; ++c) {
        const int64_t* column = kept[c];
        for (size_t i = 0; i < n; ++i) in[i * k + c] = column[i];
    }
}
}  // namespace

namespace {
// Whether every word is the first: a pass the compiler vectorises.
template <class Word>
bool one_word(const Word* words, size_t n) {
    uint64_t differs = 0;
    for (size_t i = 0; i < n; ++i) differs |= static_cast<uint64_t>(words[i] ^ words[0]);
    return differs == 0;
}
}  // namespace

void NodeLog::keep_stretch(size_t first_row, size_t count, int64_t word) {
    if (!unwritten_.empty()) {
        Stretch& last = unwritten_.back();
        if (last.first_row + last.count == first_row && last.word == word) {
            last.count += count;
            return;
        }
    }
    unwritten_.push_back({first_row, count, word});
}

void NodeLog::write_words() const {
    for (const Stretch& s : unwritten_)
        std::fill(words_.begin() + s.first_row, words_.begin() + s.first_row + s.count, s.word);
    unwritten_.clear();
}

int64_t NodeLog::word_unwritten(size_t row) const {
    auto after = std::upper_bound(unwritten_.begin(), unwritten_.end(), row,
                                  [](size_t r, const Stretch& s) { return r < s.first_row; });
    if (after != unwritten_.begin()) {
        const Stretch& s = *(after - 1);
        if (row < s.first_row + s.count) return s.word;
    }
    return words_[row];
}

const int64_t* NodeLog::words_of(size_t from, size_t count, int64_t& one) const {
    if (unwritten_.empty() || from + count <= unwritten_.front().first_row)
        return words_.data() + from;
    auto after = std::upper_bound(unwritten_.begin(), unwritten_.end(), from,
                                  [](size_t r, const Stretch& s) { return r < s.first_row; });
    bool crosses = after != unwritten_.end() && after->first_row < from + count;
    if (after != unwritten_.begin()) {
        const Stretch& s = *(after - 1);
        if (from + count <= s.first_row + s.count) {  // inside one stretch
            one = s.word;
            return nullptr;
        }
        crosses = crosses || from < s.first_row + s.count;
    }
    if (crosses) write_words();  // partly in stretches: every word written
    return words_.data() + from;
}

// The columns of the new rows written in one pass each; no eviction can strike. Room is
// made for one row per element, and the columns cut back to the rows made; operands the
// run implies are not written.
template <class Word>
void NodeLog::fill_columns(uint8_t type, int32_t op, const Word* words, size_t n,
                           std::vector<const int64_t*>& columns, unsigned taint_shift,
                           int64_t* out, uint8_t flags, const uint8_t*& same) {
    size_t base = rows();
    size_t input_base = inputs_.size();
    const int64_t first_id = next_id_;
    const size_t k = columns.size();
    Run run = run_of(type, op, first_id, static_cast<int64_t>(input_base), k);
    bool every = same && imply_same(run, columns.data(), k, n, same);
    if (!every) {  // the operands read per element: the one-node ones too
        spread_same(columns, same, n);
        every = imply_operands(run, columns.data(), k, n);
    }
    std::vector<const int64_t*> kept;
    for (size_t c = 0; c < k; ++c)
        if (!(c < kImpliable && (run.implied >> c & 1u))) kept.push_back(columns[c]);
    words_.resize(base + n);
    flags_.resize(base + n);
    inputs_.resize(input_base + n * kept.size());
    int64_t* word = words_.data() + base;
    uint8_t* flag = flags_.data() + base;
    int64_t* in = inputs_.data() + input_base;
    if (every) {
        const bool one = n >= kStretchFrom && one_word(words, n);
        write_present(words, n, kept, taint_shift, flags, one ? nullptr : word, flag, in);
        if (one) keep_stretch(base, n, static_cast<int64_t>(words[0]));
        for (size_t i = 0; i < n; ++i) out[i] = first_id + static_cast<int64_t>(i);
        next_id_ += static_cast<int64_t>(n);
    } else {
        for (size_t i = 0; i < n; ++i) {
            if (!all_present(columns.data(), k, i)) {
                out[i] = -1;
                continue;
            }
            out[i] = next_id_++;
            *word++ = words[i];
            *flag++ = stored_flags(static_cast<uint8_t>(taint_flag(words[i], taint_shift) | flags));
            for (const int64_t* column : kept) *in++ = column[i];
        }
    }
    size_t made = static_cast<size_t>(next_id_ - first_id);
    words_.resize(base + made);
    flags_.resize(base + made);
    inputs_.resize(input_base + made * kept.size());
    if (!(flags & kCell)) live_ += made;
    // before the rows join the runs: what they stand for is part of their run
    if (!(flags & (kCell | kConstant))) note_stand_ins(base, run, columns.data(), k, n, every);
    add_rows(runs_, base, run, made);
}

void NodeLog::append_ragged(uint8_t type, int32_t op, const int64_t* words, size_t n,
                            const int64_t* offsets, const int64_t* flat, unsigned taint_shift,
                            int64_t* out, std::vector<int64_t>* edges) {
    reserve(n, n ? static_cast<size_t>(offsets[n] - offsets[0]) : 0);
    for (size_t s = 0; s < n; ++s) {
        if (offsets[s + 1] <= offsets[s]) {
            out[s] = -1;
            continue;
        }
        inputs_.insert_end(flat + offsets[s], flat + offsets[s + 1]);
        note_edges(flat + offsets[s], to_size(offsets[s + 1] - offsets[s]), words[s], s, edges);
        push(type, op, words[s], taint_flag(words[s], taint_shift),
             to_size(offsets[s + 1] - offsets[s]));
        out[s] = next_id_ - 1;
        after_append();
    }
}

void NodeLog::append_windows(uint8_t type, int32_t op, const int64_t* words,
                             const int64_t* members, size_t n, size_t span, unsigned taint_shift,
                             int64_t* out, std::vector<int64_t>* edges) {
    std::vector<int64_t> window;
    int64_t previous = -1;
    for (size_t i = 0; i < n; ++i) {
        window.clear();
        if (span == 0) {
            window.push_back(previous);
            window.push_back(members[i]);
        } else {
            size_t first = i + 1 >= span ? i + 1 - span : 0;
            window.assign(members + first, members + i + 1);
        }
        window.erase(std::remove_if(window.begin(), window.end(), [](int64_t v) { return v < 0; }),
                     window.end());
        std::sort(window.begin(), window.end());
        window.erase(std::unique(window.begin(), window.end()), window.end());
        if (window.empty()) {
            out[i] = -1;
            continue;
        }
        inputs_.insert_end(window.begin(), window.end());
        note_edges(window.data(), window.size(), words[i], i, edges);
        push(type, op, words[i], taint_flag(words[i], taint_shift), window.size());
        previous = out[i] = next_id_ - 1;
        after_append();
    }
}

// The oldest `count` table rows that are not sources leave the table and the index.
void NodeLog::evict(size_t count) {
    if (count == 0) return;
    // Every row before the cursor is a source or out of the table, so the scan starts there.
    size_t r = evict_cursor_;
    for (; r < rows() && count > 0; ++r) {
        uint8_t f = flags_[r];
        if (!(f & kAlive) || (f & kSource)) continue;
        flags_[r] = static_cast<uint8_t>(f & ~kGone);
        --live_;
        ++dead_;
        --count;
        ++evictions_;
    }
    evict_cursor_ = r;
    if (dead_ > live_ && dead_ >= 4096) compact();
}

void NodeLog::compact() {
    write_words();  // rows move down: their words with them
    size_t kept = 0;
    size_t cursor = 0;
    size_t stands = 0;  // stand-ins kept per row so far
    int64_t at = 0;
    const size_t departed_before = departed_ids_.size();
    const size_t n = rows();
    PodVector<Run> kept_runs;
    // kept rows one after another in one run join the runs kept together, as one stretch
    Run stretch{};
    size_t stretch_at = 0, stretch_rows = 0, stretch_run = 0, stretch_next = 0;
    size_t run = 0;
    for (size_t r = 0; r < n; ++r) {
        while (run_end(run) <= r) ++run;
        const Run& from = runs_[run];
        const auto offset = static_cast<int64_t>(r - from.first_row);
        const int64_t id = from.first_id + offset;
        if (r == evict_cursor_) cursor = kept;
        const int64_t stand = stand_in(from, r);
        if (!(flags_[r] & kGone)) {
            if (stand >= 0) {
                departed_ids_.push_back(id);
                departed_for_.push_back(stand);
            }
            continue;
        }
        // operands the run implies stay implied; the others move down, never up
        const auto kept_arity = static_cast<int64_t>(from.kept_arity());
        const int64_t begin = from.first_input + offset * kept_arity;
        Run moved = from;
        moved.first_id = id;
        moved.first_input = at;
        for (size_t j = 0; j < kImpliable; ++j)
            if (from.unit_steps >> j & 1u) moved.base[j] = from.base[j] + offset;
        if (from.stand_kept) {  // kept stand-ins move down with their rows, never up
            moved.first_stand = static_cast<int64_t>(stands);
            stand_for_[stands++] = stand;
        } else if (from.stand_base >= 0) {
            moved.stand_base = stand;
        }
        if (stretch_rows && (run != stretch_run || r != stretch_next)) {
            add_rows(kept_runs, stretch_at, stretch, stretch_rows);
            stretch_rows = 0;
        }
        if (!stretch_rows) {
            stretch = moved;
            stretch_at = kept;
            stretch_run = run;
        }
        ++stretch_rows;
        stretch_next = r + 1;
        words_[kept] = words_[r];
        flags_[kept] = flags_[r];
        for (int64_t j = begin; j < begin + kept_arity; ++j)
            inputs_[to_size(at++)] = inputs_[to_size(j)];
        ++kept;
    }
    add_rows(kept_runs, stretch_at, stretch, stretch_rows);
    if (evict_cursor_ >= n) cursor = kept;
    runs_ = std::move(kept_runs);
    runs_.shrink_to_fit();
    last_run_ = 0;
    words_.resize(kept);
    flags_.resize(kept);
    stand_for_.resize(stands);
    inputs_.resize(to_size(at));
    for (auto* v : {&words_, &inputs_, &stand_for_}) v->shrink_to_fit();
    flags_.shrink_to_fit();
    keep_departed_sorted(departed_before);
    evict_cursor_ = cursor;
    dead_ = 0;
    index_.clear();
    indexed_rows_ = 0;
}

int64_t NodeLog::row_of(int64_t id) const { return row_near(id, last_run_); }

int64_t NodeLog::row_near(int64_t id, size_t& hint) const {
    const int64_t r = held_row_near(id, hint);
    return r >= 0 && (flags_[to_size(r)] & kAlive) ? r : -1;
}

int64_t NodeLog::held_row_near(int64_t id, size_t& hint) const {
    if (runs_.empty()) return -1;
    // the run found last first: the inputs of a batch are mostly of one run
    size_t run = hint < runs_.size() ? hint : 0;
    if (id < runs_[run].first_id ||
        id - runs_[run].first_id >= static_cast<int64_t>(run_end(run) - runs_[run].first_row)) {
        auto after = std::upper_bound(runs_.begin(), runs_.end(), id,
                                      [](int64_t v, const Run& r) { return v < r.first_id; });
        if (after == runs_.begin()) return -1;
        run = static_cast<size_t>(after - runs_.begin()) - 1;
    }
    const Run& found = runs_[run];
    const int64_t offset = id - found.first_id;
    if (offset >= static_cast<int64_t>(run_end(run) - found.first_row)) return -1;  // a gap
    hint = run;
    return static_cast<int64_t>(found.first_row + static_cast<size_t>(offset));
}

NodeLog::Inputs NodeLog::inputs(size_t row) const {
    const Run& run = runs_[run_at(row)];
    const size_t offset = row - run.first_row;
    const auto begin = run.first_input + static_cast<int64_t>(offset * run.kept_arity());
    return Inputs(run, offset, inputs_.data() + begin);
}

std::vector<int64_t> NodeLog::table_ids() const {
    std::vector<int64_t> out;
    out.reserve(live_);
    for (size_t r = 0; r < rows(); ++r)
        if ((flags_[r] & kAlive) && !(flags_[r] & kCell)) out.push_back(id(r));
    return out;
}

// The row of the input whose word row `at` keeps (a step with a constant), or -1.
namespace {
int64_t kept_input_row(const NodeLog& log, size_t at) {
    NodeLog::Inputs in = log.inputs(at);
    size_t k = in.size();
    for (size_t j = 0; j < k; ++j) {
        int64_t p = log.row_of(in[j]);
        if (p < 0 || (log.flags(to_size(p)) & NodeLog::kConstant)) continue;
        if (log.word(to_size(p)) == log.word(at)) return p;
    }
    return -1;
}
}  // namespace

// A row that keeps an input's word stands, in the summary, for what that input stands for
// when the row is made: noted then, so that a later eviction of the input changes nothing.
void NodeLog::note_stand_in(size_t row) {
    if (flags_[row] & (kCell | kConstant)) return;
    int64_t kept = kept_input_row(*this, row);
    if (kept < 0) return;
    size_t p = to_size(kept);
    // the row is the last made, kept by its run (see push); resolved before noted
    stand_for_.back() = p == row ? id(p) : summary_of_row(p);
}

// note_stand_in for the rows of one batch (made from the present elements of `columns` in
// order, `every` when all are), before they join the runs: their run takes what they stand
// for as a pattern (none, one node, or nodes one after another) where it has one, and
// keeps it per row only where it has none. Each column's rows are found from its own run,
// instead of each row's inputs rebuilt from its run and looked up from the one run found
// last (which two operands of different runs would make a search per input). An operand
// that is the same node for every row (a constant, a column's node) is looked up once,
// and not read at all when it can stand in for no row.
void NodeLog::note_stand_ins(size_t base, Run& run, const int64_t* const* columns, size_t k,
                             size_t n, bool every) {
    struct Operand {
        const int64_t* ids;  // null: the same node for every row, in `row`
        int64_t row;         // that node's row, or (`in_order`) the first row's input's
        int64_t stands;      // what that one node stands for
        size_t hint;
        bool in_order;       // the inputs are the rows of one run from `row` on, in order
        bool one_run;        // the inputs mostly lie in the run `run` of `length` rows
        size_t run;
        int64_t length;
    };
    const size_t made = rows() - base;
    std::vector<Operand> operands;
    for (size_t c = 0; c < k; ++c) {
        const bool implied = c < kImpliable && (run.implied >> c & 1u);
        if (implied && !(run.unit_steps >> c & 1u)) {
            const int64_t p = row_of(run.base[c]);
            if (p < 0 || (flags_[to_size(p)] & kConstant)) continue;  // stands in for no row
            operands.push_back({nullptr, p, summary_of_row(to_size(p)), 0, false, false, 0, 0});
            continue;
        }
        Operand o{columns[c], -1, -1, last_run_, false, false, 0, 0};
        if (implied) {  // nodes one after another: rows one after another, where in one run
            const int64_t p = row_near(run.base[c], o.hint);
            o.in_order = p >= 0 && to_size(p) + made <= run_end(o.hint);
            o.row = p;
        }
        operands.push_back(o);
    }
    if (operands.empty()) return;  // the run's rows stand for themselves
    if (stands_in_bulk(base, made, run, operands.front().in_order, operands.front().row,
                       operands.front().hint))
        return;
    // an operand whose word no row keeps is left out of the search per row
    auto never = [&](const Operand& o) {
        if (o.in_order) return !any_same_word(base, to_size(o.row), made);
        if (!o.ids) return !any_same_word(base, to_size(o.row), made, 0);
        return every && !any_input_word(base, o.ids, made);
    };
    operands.erase(std::remove_if(operands.begin(), operands.end(), never), operands.end());
    if (operands.empty()) return;  // no row keeps an operand's word: each stands for itself
    for (Operand& o : operands) {  // inputs of one run: their rows found without a search
        if (!o.ids || o.in_order || !every) continue;
        const size_t at = run_holding(o.ids[0]);
        if (at == runs_.size()) continue;
        o.run = at;
        o.one_run = true;
        o.length = static_cast<int64_t>(run_end(at) - runs_[at].first_row);
    }
    int64_t made_word = 0;  // the rows' words: one for all, or each its own
    const int64_t* made_words = words_of(base, made, made_word);
    int64_t first = -1, step = 0;   // the pattern of the rows so far
    size_t kept_at = 0;             // in stand_for_, once the rows have none
    bool kept = false;
    int64_t r = 0;
    for (size_t i = 0; i < n; ++i) {
        if (!every && !all_present(columns, k, i)) continue;
        const int64_t word = made_words ? made_words[to_size(r)] : made_word;
        int64_t found = -1;
        for (Operand& o : operands) {
            if (!o.ids) {
                if (this->word(to_size(o.row)) != word) continue;
                found = o.stands;
                break;
            }
            int64_t p = o.in_order ? o.row + r : -1;
            size_t at = o.hint;  // the run of row p
            const int64_t offset = o.one_run ? o.ids[i] - runs_[o.run].first_id : -1;
            if (offset >= 0 && offset < o.length) {
                at = o.run;
                p = static_cast<int64_t>(runs_[at].first_row) + offset;
            } else if (!o.in_order) {
                p = row_near(o.ids[i], o.hint);
                at = o.hint;
            }
            if (p >= 0 && !(flags_[to_size(p)] & kAlive)) p = -1;  // as row_near reads it
            if (p < 0 || this->word(to_size(p)) != word || (flags_[to_size(p)] & kConstant)) continue;
            // what the input stands for (resolved before this row, which is newer), read
            // from the run it was found in
            const Run& in_run = runs_[at];
            found = stand_in(in_run, to_size(p));
            if (found < 0) found = is_cell(to_size(p)) ? column_of_cell(in_run, to_size(p)) : o.ids[i];
            break;
        }
        if (kept) {
            stand_for_[kept_at + to_size(r)] = found;
        } else if (r == 0) {
            first = found;
        } else if (r == 1 && first >= 0 && found == first + 1) {
            step = 1;
        } else if (found != (first < 0 ? -1 : first + r * step)) {
            // no pattern: the rows before written out as they stood, this one and the rest
            kept = true;
            kept_at = stand_for_.size();
            stand_for_.resize(kept_at + made);
            for (int64_t before = 0; before < r; ++before)
                stand_for_[kept_at + to_size(before)] = first < 0 ? -1 : first + before * step;
            stand_for_[kept_at + to_size(r)] = found;
        }
        ++r;
    }
    if (kept) {
        run.stand_kept = true;
        run.first_stand = static_cast<int64_t>(kept_at);
    } else {
        run.stand_base = first;
        run.stand_step = static_cast<uint8_t>(step);
    }
}

// Whether some row of the `made` from `base` on has the word of row `from` + r (of row
// `from` itself, with `step` 0): a pass the compiler vectorises.
bool NodeLog::any_same_word(size_t base, size_t from, size_t made, size_t step) const {
    if (made == 0) return false;
    int64_t made_word = 0, from_word = 0;
    const int64_t* at_from = words_of(from, step ? made : 1, from_word);
    const int64_t* at_made = words_of(base, made, made_word);
    if (!at_made && !at_from) return made_word == from_word;
    if (!at_made || !at_from) {  // one word on one side: is it among the other's?
        const int64_t* words = at_made ? at_made : at_from;
        const int64_t word = at_made ? from_word : made_word;
        const size_t count = at_made || step ? made : 1;
        uint64_t same = 0;
        for (size_t r = 0; r < count; ++r) same |= static_cast<uint64_t>(words[r] == word);
        return same != 0;
    }
    at_from = words_of(from, step ? made : 1, from_word);  // written when the second crossed
    uint64_t same = 0;
    for (size_t r = 0; r < made; ++r)
        same |= static_cast<uint64_t>(at_made[r] == at_from[r * step]);
    return same != 0;
}

// Whether some row of the `made` from `base` on has the word of its input ids[r] (every
// element present): where all those inputs lie in one run, one pass over their words
// without a search per row; true (perhaps) where they do not.
bool NodeLog::any_input_word(size_t base, const int64_t* ids, size_t made) const {
    if (made == 0) return false;
    const size_t at = run_holding(ids[0]);
    if (at == runs_.size()) return true;
    const Run& run = runs_[at];
    // the new rows, not in a run yet, follow the last: no input is one of them
    const auto length = static_cast<uint64_t>(std::min(run_end(at), base) - run.first_row);
    if (length == 0) return true;
    int64_t held_word = 0, made_word = 0;
    const int64_t* held = words_of(run.first_row, length, held_word);  // by offset in the run
    const int64_t* made_words = words_of(base, made, made_word);
    if (held && made_words) held = words_of(run.first_row, length, held_word);
    constexpr size_t kBlock = 4096;  // an input outside the run is found within a block
    uint64_t same = 0;
    for (size_t lo = 0; lo < made; lo += kBlock) {
        const size_t hi = std::min(made, lo + kBlock);
        uint64_t outside = 0;
        for (size_t r = lo; r < hi; ++r) {
            const auto offset = static_cast<uint64_t>(ids[r] - run.first_id);
            outside |= static_cast<uint64_t>(offset >= length);
            const int64_t input = held ? held[std::min(offset, length - 1)] : held_word;
            same |= static_cast<uint64_t>(input == (made_words ? made_words[r] : made_word));
        }
        if (outside) return true;
    }
    return same != 0;
}

size_t NodeLog::run_holding(int64_t id) const {
    auto after = std::upper_bound(runs_.begin(), runs_.end(), id,
                                  [](int64_t v, const Run& r) { return v < r.first_id; });
    if (after == runs_.begin()) return runs_.size();
    const auto at = static_cast<size_t>(after - runs_.begin()) - 1;
    const bool inside = id - runs_[at].first_id < static_cast<int64_t>(run_end(at) - runs_[at].first_row);
    return inside ? at : runs_.size();
}

// note_stand_ins where the first operand's inputs are the rows of one run from `from` on,
// in order (`in_order`, that run `in_run`), and every new row keeps the word of its input,
// which is in the table, not a cell nor a constant (a step with a constant, mostly): each
// row stands for what its input stands for, a pattern that follows from the input run's.
// Checked in passes over the words and flags, instead of the search per row; false (and
// nothing noted) where that is not so.
bool NodeLog::stands_in_bulk(size_t base, size_t made, Run& run, bool in_order, int64_t from,
                             size_t in_run) const {
    if (!in_order || made == 0 || runs_[in_run].stand_kept) return false;
    const auto p = to_size(from);
    uint64_t differs = 0;
    uint8_t off = 0;
    constexpr auto kRead = static_cast<uint8_t>(kAlive | kConstant | kCell);
    for (size_t r = 0; r < made; ++r) off = static_cast<uint8_t>(off | ((flags_[p + r] & kRead) ^ kAlive));
    if (off) return false;
    int64_t made_word = 0, input_word = 0;
    const int64_t* inputs = words_of(p, made, input_word);
    const int64_t* made_words = words_of(base, made, made_word);
    if (inputs && made_words) inputs = words_of(p, made, input_word);
    for (size_t r = 0; r < made && (inputs || made_words); ++r)
        differs |= static_cast<uint64_t>((made_words ? made_words[r] : made_word) ^
                                         (inputs ? inputs[r] : input_word));
    if (differs || (!inputs && !made_words && made_word != input_word)) return false;
    const Run& in = runs_[in_run];
    const auto offset = static_cast<int64_t>(p - in.first_row);
    if (in.stand_base >= 0) {  // its rows stand for a pattern: so do these
        run.stand_base = in.stand_base + offset * in.stand_step;
        run.stand_step = in.stand_step;
    } else {  // its rows stand for themselves: these for them, one after another
        run.stand_base = in.first_id + offset;
        run.stand_step = 1;
    }
    return true;
}

// Rows leave in the order they were evicted, oldest first, so the ids a compaction adds
// usually follow those before; sorted again only when they do not.
void NodeLog::keep_departed_sorted(size_t before) {
    if (before == 0 || before == departed_ids_.size() ||
        departed_ids_[before - 1] < departed_ids_[before])
        return;
    std::vector<std::pair<int64_t, int64_t>> pairs;
    for (size_t i = 0; i < departed_ids_.size(); ++i)
        pairs.emplace_back(departed_ids_[i], departed_for_[i]);
    std::sort(pairs.begin(), pairs.end());
    for (size_t i = 0; i < pairs.size(); ++i)
        std::tie(departed_ids_[i], departed_for_[i]) = pairs[i];
}

int64_t NodeLog::departed_stand(int64_t id) const {
    const int64_t* it = std::lower_bound(departed_ids_.begin(), departed_ids_.end(), id);
    if (it == departed_ids_.end() || *it != id) return -1;
    return departed_for_[static_cast<size_t>(it - departed_ids_.begin())];
}

int64_t NodeLog::summary_as(int64_t id) const {
    int64_t r = row_of(id);
    if (r >= 0) return summary_of_row(to_size(r));
    int64_t stand = departed_stand(id);
    return stand >= 0 ? stand : id;
}

// What the row stands for in the summary: what it noted, else a cell's column, else itself.
int64_t NodeLog::summary_of_row(size_t row) const {
    const Run& run = runs_[run_at(row)];
    const int64_t stand = stand_in(run, row);
    if (stand >= 0) return stand;
    if (!is_cell(row)) return id(row);
    return column_of_cell(run, row);
}

int64_t NodeLog::column_of_cell(const Run& run, size_t row) const {
    const size_t offset = row - run.first_row;
    const Inputs in(run, offset, inputs_.data() + run.first_input + offset * run.kept_arity());
    return in.size() ? in[0] : run.first_id + static_cast<int64_t>(offset);
}

bool NodeLog::made_in_summary(int64_t id) const {
    const int64_t r = held_row_near(id, last_run_);
    if (r < 0) return departed_stand(id) < 0;  // dropped: what it stood for, if anything
    const size_t row = to_size(r);
    return !(flags_[row] & (kCell | kConstant)) && stand_in(runs_[run_at(row)], row) < 0;
}

bool NodeLog::in_summary_at(const Run& run, size_t row) const {
    if (!(flags_[row] & kAlive) || (flags_[row] & (kCell | kConstant))) return false;
    return stand_in(run, row) < 0;
}

int64_t NodeLog::seen_as(int64_t id) const {
    int64_t r = row_of(id);
    if (r < 0 || !is_cell(to_size(r))) return id;
    Inputs in = inputs(to_size(r));
    size_t k = in.size();
    return k ? in[0] : id;
}

void NodeLog::refresh_index() {
    write_words();
    size_t begin = index_.size();
    for (size_t r = indexed_rows_; r < rows(); ++r) index_.push_back(static_cast<int64_t>(r));
    indexed_rows_ = rows();
    auto by_word = [this](int64_t a, int64_t b) {
        return std::make_pair(words_[to_size(a)], a) < std::make_pair(words_[to_size(b)], b);
    };
    auto middle = index_.begin() + static_cast<std::ptrdiff_t>(begin);
    std::sort(middle, index_.end(), by_word);
    std::inplace_merge(index_.begin(), middle, index_.end(), by_word);
}

std::vector<int64_t> NodeLog::ids_for_word(int64_t word) {
    refresh_index();
    auto lo = std::lower_bound(index_.begin(), index_.end(), word,
                               [this](int64_t r, int64_t w) { return words_[to_size(r)] < w; });
    std::vector<int64_t> out;
    for (; lo != index_.end() && words_[to_size(*lo)] == word; ++lo)
        if (flags_[to_size(*lo)] & kIndexed) out.push_back(id(to_size(*lo)));
    return out;
}

void NodeLog::index_items(std::vector<int64_t>& words, std::vector<int64_t>& ids) {
    refresh_index();
    // groups of one word, each starting at its oldest indexed row
    std::vector<std::pair<size_t, size_t>> groups;  // (first row, start in index_)
    for (size_t i = 0; i < index_.size();) {
        size_t j = i;
        int64_t w = words_[to_size(index_[i])];
        size_t first = SIZE_MAX;
        for (; j < index_.size() && words_[to_size(index_[j])] == w; ++j)
            if ((flags_[to_size(index_[j])] & kIndexed) && first == SIZE_MAX) first = to_size(index_[j]);
        if (first != SIZE_MAX) groups.emplace_back(first, i);
        i = j;
    }
    std::sort(groups.begin(), groups.end());
    for (auto [first, start] : groups) {
        int64_t w = words_[first];
        for (size_t j = start; j < index_.size() && words_[to_size(index_[j])] == w; ++j) {
            size_t r = to_size(index_[j]);
            if (!(flags_[r] & kIndexed)) continue;
            words.push_back(w);
            ids.push_back(id(r));
        }
    }
}

size_t NodeLog::distinct_indexed_words() {
    refresh_index();
    size_t count = 0;
    bool have = false;
    int64_t last = 0;
    for (int64_t r : index_) {
        if (!(flags_[to_size(r)] & kIndexed)) continue;
        int64_t w = words_[to_size(r)];
        if (!have || w != last) ++count;
        have = true;
        last = w;
    }
    return count;
}

void NodeLog::lineage(int64_t root, std::vector<int64_t>& nodes, std::vector<int64_t>& edges,
                      bool cells) const {
    auto seen = [&](int64_t id) { return cells ? id : seen_as(id); };
    std::unordered_set<int64_t> visited;
    std::deque<int64_t> queue{seen(root)};
    while (!queue.empty()) {
        int64_t id = queue.front();
        queue.pop_front();
        if (!visited.insert(id).second) continue;
        int64_t row = row_of(id);
        if (row < 0) continue;
        nodes.push_back(id);
        Inputs in = inputs(to_size(row));
        size_t k = in.size();
        for (size_t i = 0; i < k; ++i) {
            int64_t input = seen(in[i]);
            edges.push_back(input);
            edges.push_back(id);
            edges.push_back(static_cast<int64_t>(i));
            if (!visited.count(input)) queue.push_back(input);
        }
    }
}

namespace {
struct TripleHash {
    size_t operator()(const std::tuple<int64_t, int64_t, int64_t>& t) const {
        uint64_t h = static_cast<uint64_t>(std::get<0>(t)) * 0x9E3779B97F4A7C15ull;
        h ^= static_cast<uint64_t>(std::get<1>(t)) + 0x7F4A7C159E3779B9ull + (h << 6) + (h >> 2);
        h ^= static_cast<uint64_t>(std::get<2>(t)) + (h << 6) + (h >> 2);
        return static_cast<size_t>(h);
    }
};
}  // namespace

void NodeLog::distinct_rows(std::vector<int64_t>& rows, std::vector<int64_t>& edge_words) const {
    write_words();
    std::unordered_set<int64_t> seen_words;
    std::unordered_set<std::tuple<int64_t, int64_t, int64_t>, TripleHash> seen_edges;
    // Run by run, each operand's inputs (and what they stand for) found from the run found
    // for that operand last: the operands of a run lie in runs of their own.
    // A word, or an edge of an operand, the same as the row before's was seen already (runs
    // of one word are long): no lookup in the sets for it.
    std::vector<size_t> near, far;
    std::vector<std::pair<int64_t, int64_t>> last_edge;
    for (size_t run = 0; run < runs_.size(); ++run) {
        const size_t k = runs_[run].arity;
        near.assign(k, last_run_);
        far.assign(k, last_run_);
        last_edge.assign(k, {-1, -1});
        bool any_word = false;
        int64_t last_word = 0;
        for (size_t r = runs_[run].first_row; r < run_end(run); ++r) {
            if (!in_summary_at(runs_[run], r)) continue;  // keeps an input's word: that input
            if ((!any_word || words_[r] != last_word) && seen_words.insert(words_[r]).second)
                rows.push_back(static_cast<int64_t>(r));
            any_word = true;
            last_word = words_[r];
            Inputs in = inputs(r);
            for (size_t i = 0; i < k; ++i) {
                const int64_t id = in[i];
                const int64_t found = row_near(id, near[i]);
                int64_t parent = found;
                if (found < 0) {  // evicted: what it stood for when it was made
                    const int64_t stand = departed_stand(id);
                    parent = row_near(stand >= 0 ? stand : id, far[i]);
                } else if (summary_of_row(to_size(found)) != id) {
                    parent = row_near(summary_of_row(to_size(found)), far[i]);
                }
                if (parent < 0 || (flags_[to_size(parent)] & kConstant)) continue;
                if (words_[to_size(parent)] == words_[r]) continue;  // no edge to itself
                const std::pair<int64_t, int64_t> pair{words_[to_size(parent)], words_[r]};
                if (pair == last_edge[i]) continue;
                last_edge[i] = pair;
                // an aggregate's inputs past the first few are one edge per pair of words,
                // at the first place it joins them (a whole column's mean has millions)
                const auto place = static_cast<int64_t>(std::min(i, kImpliable));
                auto key = std::make_tuple(pair.first, pair.second, place);
                if (!seen_edges.insert(key).second) continue;
                edge_words.push_back(pair.first);
                edge_words.push_back(pair.second);
                edge_words.push_back(static_cast<int64_t>(i));
            }
        }
    }
}

bool NodeLog::remove_from_table(int64_t id) {
    int64_t row = row_of(id);
    if (row < 0) return false;
    uint8_t& f = flags_[to_size(row)];
    f = static_cast<uint8_t>(f & ~kAlive);
    if (!(f & kIndexed)) ++dead_;
    if (!(f & kCell)) --live_;
    return true;
}

void NodeLog::clear() {
    int64_t next = next_id_, bound = max_nodes_;
    *this = NodeLog(bound);
    next_id_ = next;
}

NodeLog::State NodeLog::state() const { return state_of_rows(0, rows()); }

NodeLog::State NodeLog::state_of_rows(size_t lo, size_t hi) const {
    write_words();
    hi = std::min(hi, rows());
    lo = std::min(lo, hi);
    const size_t n = hi - lo;
    const auto lo_at = static_cast<std::ptrdiff_t>(lo), hi_at = static_cast<std::ptrdiff_t>(hi);
    State s{{},
            std::vector<int64_t>(words_.begin() + lo_at, words_.begin() + hi_at),
            {},
            {},
            {},
            {},
            std::vector<uint8_t>(flags_.begin() + lo_at, flags_.begin() + hi_at),
            max_nodes_,
            next_id_,
            evictions_};
    s.ids.resize(n);
    s.ops.resize(n);
    s.types.resize(n);
    s.input_start.resize(n + 1);
    if (n == 0) {
        s.input_start[0] = 0;
        return s;
    }
    const size_t first_run = run_at(lo);
    size_t total = 0;
    for (size_t run = first_run; run < runs_.size() && runs_[run].first_row < hi; ++run)
        total += (std::min(run_end(run), hi) - std::max(runs_[run].first_row, lo)) *
                 runs_[run].arity;
    s.inputs.resize(total);
    size_t at = 0;  // run by run, one operand at a time: a whole column per pass
    for (size_t run = first_run; run < runs_.size() && runs_[run].first_row < hi; ++run) {
        const Run& from = runs_[run];
        const size_t first = std::max(from.first_row, lo), count = std::min(run_end(run), hi) - first;
        const size_t skipped = first - from.first_row, k = from.arity, out_row = first - lo;
        std::fill(s.ops.begin() + static_cast<std::ptrdiff_t>(out_row),
                  s.ops.begin() + static_cast<std::ptrdiff_t>(out_row + count), from.op);
        std::fill(s.types.begin() + static_cast<std::ptrdiff_t>(out_row),
                  s.types.begin() + static_cast<std::ptrdiff_t>(out_row + count), from.type);
        for (size_t i = 0; i < count; ++i) {
            s.ids[out_row + i] = from.first_id + static_cast<int64_t>(skipped + i);
            s.input_start[out_row + i] = static_cast<int64_t>(at + i * k);
        }
        const size_t kept_k = from.kept_arity();
        const int64_t* kept = inputs_.data() + from.first_input + skipped * kept_k;
        int64_t* out = s.inputs.data() + at;
        for (size_t j = 0, kept_j = 0; j < k; ++j) {
            if (j < kImpliable && (from.implied >> j & 1u)) {
                const int64_t step = (from.unit_steps >> j & 1u) ? 1 : 0;
                for (size_t i = 0; i < count; ++i)
                    out[i * k + j] = from.base[j] + step * static_cast<int64_t>(skipped + i);
            } else {
                for (size_t i = 0; i < count; ++i) out[i * k + j] = kept[i * kept_k + kept_j];
                ++kept_j;
            }
        }
        at += count * k;
    }
    s.input_start[n] = static_cast<int64_t>(at);
    return s;
}

NodeLog NodeLog::from_state(State s) {
    size_t n = s.ids.size();
    if (s.words.size() != n || s.ops.size() != n || s.types.size() != n || s.flags.size() != n ||
        s.input_start.size() != n + 1 || s.input_start.front() != 0 ||
        static_cast<size_t>(s.input_start.back()) != s.inputs.size() ||
        !std::is_sorted(s.input_start.begin(), s.input_start.end()) ||
        std::adjacent_find(s.ids.begin(), s.ids.end(), std::greater_equal<int64_t>()) != s.ids.end() ||
        (n && s.ids.back() >= s.next_id))
        throw std::invalid_argument("inconsistent node log state");
    NodeLog log(s.max_nodes);
    log.next_id_ = s.next_id;
    log.evictions_ = s.evictions;
    for (size_t r = 0; r < n; ++r)
        add_rows(log.runs_, r,
                 run_of(s.types[r], s.ops[r], s.ids[r], s.input_start[r],
                        to_size(s.input_start[r + 1] - s.input_start[r])),
                 1);
    log.words_.assign(s.words.begin(), s.words.end());
    log.inputs_.assign(s.inputs.begin(), s.inputs.end());
    log.flags_.assign(s.flags.begin(), s.flags.end());
    bool prefix = true;
    for (size_t r = 0; r < n; ++r) {
        uint8_t f = log.flags_[r];
        if ((f & kAlive) && !(f & kCell)) ++log.live_;
        if (!(f & kGone)) ++log.dead_;
        prefix = prefix && (!(f & kAlive) || (f & kSource));
        if (prefix) log.evict_cursor_ = r + 1;
    }
    return log;
}

size_t NodeLog::bytes() const {
    return runs_.capacity() * sizeof(Run) + words_.capacity() * sizeof(int64_t) +
           flags_.capacity() + inputs_.capacity() * sizeof(int64_t) +
           (stand_for_.capacity() + departed_ids_.capacity() + departed_for_.capacity()) *
               sizeof(int64_t) +
           index_.capacity() * sizeof(int64_t) + unwritten_.capacity() * sizeof(Stretch) +
           spread_bytes();
}

size_t NodeLog::spread_bytes() const {
    size_t bytes = 0;
    for (const auto& column : spread_) bytes += column.capacity() * sizeof(int64_t);
    return bytes;
}

const int64_t* NodeLog::spread(size_t slot, int64_t node, size_t n) {
    if (spread_.size() <= slot) spread_.resize(slot + 1);
    spread_[slot].assign(n, node);  // in the room kept from the batches before
    return spread_[slot].data();
}

// The word types the bindings call append_columns with.
template void NodeLog::append_columns<int64_t>(uint8_t, int32_t, const int64_t*, size_t,
                                               const int64_t* const*, size_t, unsigned,
                                               int64_t*, std::vector<int64_t>*, uint8_t,
                                               const uint8_t*);
template void NodeLog::append_columns<uint32_t>(uint8_t, int32_t, const uint32_t*, size_t,
                                                const int64_t* const*, size_t, unsigned,
                                                int64_t*, std::vector<int64_t>*, uint8_t,
                                                const uint8_t*);

}  // namespace orrin
