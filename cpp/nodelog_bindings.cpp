// Python bindings of the DAG road's columnar operation log. Arrays in are 1-D contiguous
// int64 (the caller converts); arrays out are fresh numpy arrays. The log is not
// thread-safe by itself: the tracker calls it under its own lock, with the GIL held.
#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/pair.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "nodelog.hpp"
#include "replay.hpp"

namespace nb = nanobind;
using namespace nb::literals;
using orrin::NodeLog;

namespace {

using I64In = nb::ndarray<const int64_t, nb::ndim<1>, nb::c_contig, nb::device::cpu>;
using I64Out = nb::ndarray<nb::numpy, int64_t, nb::ndim<1>>;
using U32In = nb::ndarray<const uint32_t, nb::ndim<1>, nb::c_contig, nb::device::cpu>;

I64Out to_array(std::vector<int64_t>&& values) {
    auto* owned = new std::vector<int64_t>(std::move(values));
    nb::capsule owner(owned, [](void* p) noexcept { delete static_cast<std::vector<int64_t>*>(p); });
    return I64Out(owned->data(), {owned->size()}, owner);
}

// An array the caller writes every entry of: not zeroed first.
I64Out fresh(size_t n, int64_t*& data) {
    auto* owned = new int64_t[n ? n : 1];
    nb::capsule owner(owned, [](void* p) noexcept { delete[] static_cast<int64_t*>(p); });
    data = owned;
    return I64Out(owned, {n}, owner);
}

void same_length(const I64In& a, size_t n, const char* what) {
    if (a.shape(0) != n)
        throw nb::value_error((std::string(what) + " must have one entry per word").c_str());
}

unsigned shift_arg(int shift) {
    if (shift < 0 || shift > 63) throw nb::value_error("taint_shift must be in 0..63");
    return static_cast<unsigned>(shift);
}

uint8_t code_arg(int code, const char* what) {
    if (code < 0 || code > 255) throw nb::value_error((std::string(what) + " must be in 0..255").c_str());
    return static_cast<uint8_t>(code);
}

// The ids made, or (ids, edges) when the edges of the nodes made are asked for.
nb::object with_edges(I64Out ids, std::vector<int64_t>* edges) {
    if (!edges) return nb::cast(ids);
    return nb::make_tuple(ids, to_array(std::move(*edges)));
}

template <class Words>
nb::object append_columns(NodeLog& log, int type, int32_t op, const Words& words,
                          const std::vector<I64In>& columns, int taint_shift, bool edges,
                          int flags) {
    size_t n = words.shape(0);
    std::vector<const int64_t*> data;
    std::vector<uint8_t> same;  // one node for every element, given as that one entry
    for (const I64In& c : columns) {
        same.push_back(c.shape(0) == 1 && n != 1);
        if (!same.back()) same_length(c, n, "every input column");
        data.push_back(c.data());
    }
    int64_t* out;
    I64Out result = fresh(n, out);
    std::vector<int64_t> noted;
    log.append_columns(code_arg(type, "type"), op, words.data(), n, data.data(), data.size(),
                       shift_arg(taint_shift), out, edges ? &noted : nullptr,
                       code_arg(flags, "flags"), same.data());
    return with_edges(result, edges ? &noted : nullptr);
}

nb::object append_ragged(NodeLog& log, int type, int32_t op, const I64In& words,
                         const I64In& offsets, const I64In& flat, int taint_shift, bool edges) {
    size_t n = words.shape(0);
    if (offsets.shape(0) != n + 1) throw nb::value_error("offsets must have one entry per word, plus one");
    const int64_t* o = offsets.data();
    for (size_t s = 0; s < n; ++s)
        if (o[s] < 0 || o[s + 1] < o[s] || static_cast<size_t>(o[s + 1]) > flat.shape(0))
            throw nb::value_error("offsets must ascend within the inputs");
    int64_t* out;
    I64Out result = fresh(n, out);
    std::vector<int64_t> noted;
    log.append_ragged(code_arg(type, "type"), op, words.data(), n, o, flat.data(),
                      shift_arg(taint_shift), out, edges ? &noted : nullptr);
    return with_edges(result, edges ? &noted : nullptr);
}

nb::object append_windows(NodeLog& log, int type, int32_t op, const I64In& words,
                          const I64In& members, size_t span, int taint_shift, bool edges) {
    size_t n = words.shape(0);
    same_length(members, n, "members");
    int64_t* out;
    I64Out result = fresh(n, out);
    std::vector<int64_t> noted;
    log.append_windows(code_arg(type, "type"), op, words.data(), members.data(), n, span,
                       shift_arg(taint_shift), out, edges ? &noted : nullptr);
    return with_edges(result, edges ? &noted : nullptr);
}

int64_t append_one(NodeLog& log, int type, int32_t op, int64_t word, int flags,
                   const std::vector<int64_t>& inputs) {
    return log.append(code_arg(type, "type"), op, word, code_arg(flags, "flags"), inputs.data(),
                      inputs.size());
}

nb::object row(const NodeLog& log, int64_t id, bool cells) {
    int64_t r = log.row_of(id);
    if (r < 0) return nb::none();
    size_t at = static_cast<size_t>(r);
    NodeLog::Inputs in = log.inputs(at);
    size_t k = in.size();
    nb::list inputs;
    for (size_t i = 0; i < k; ++i) inputs.append(nb::int_(cells ? in[i] : log.seen_as(in[i])));
    return nb::make_tuple(log.type(at), log.op(at), log.word(at), log.flags(at), inputs);
}

nb::tuple lineage(const NodeLog& log, int64_t root, bool cells) {
    std::vector<int64_t> nodes, edges;
    log.lineage(root, nodes, edges, cells);
    return nb::make_tuple(to_array(std::move(nodes)), to_array(std::move(edges)));
}

nb::tuple index_items(NodeLog& log) {
    std::vector<int64_t> words, ids;
    log.index_items(words, ids);
    return nb::make_tuple(to_array(std::move(words)), to_array(std::move(ids)));
}

nb::tuple distinct_rows(const NodeLog& log) {
    std::vector<int64_t> rows, edges;
    log.distinct_rows(rows, edges);
    std::vector<int64_t> ids, words, ops, types, flags;
    for (int64_t r : rows) {
        size_t at = static_cast<size_t>(r);
        ids.push_back(log.id(at));
        words.push_back(log.word(at));
        ops.push_back(log.op(at));
        types.push_back(log.type(at));
        flags.push_back(log.flags(at));
    }
    return nb::make_tuple(to_array(std::move(ids)), to_array(std::move(words)),
                          to_array(std::move(ops)), to_array(std::move(types)),
                          to_array(std::move(flags)), to_array(std::move(edges)));
}

// Ops of the table's rows by op code: (codes, counts, sources, protected) for statistics.
nb::tuple table_summary(const NodeLog& log) {
    std::vector<int64_t> counts;
    int64_t sources = 0, protected_count = 0;
    for (size_t r = 0; r < log.rows(); ++r) {
        uint8_t f = log.flags(r);
        if (!(f & NodeLog::kAlive) || (f & NodeLog::kCell)) continue;
        if (f & NodeLog::kProtected) ++protected_count;
        if (f & NodeLog::kSource) {
            ++sources;
            continue;
        }
        size_t op = static_cast<size_t>(log.op(r));
        if (counts.size() <= op) counts.resize(op + 1);
        ++counts[op];
    }
    return nb::make_tuple(to_array(std::move(counts)), sources, protected_count);
}

template <class T>
nb::ndarray<nb::numpy, T, nb::ndim<1>> owned(std::vector<T>&& values) {
    auto* kept = new std::vector<T>(std::move(values));
    nb::capsule owner(kept, [](void* p) noexcept { delete static_cast<std::vector<T>*>(p); });
    return nb::ndarray<nb::numpy, T, nb::ndim<1>>(kept->data(), {kept->size()}, owner);
}

nb::tuple get_state(const NodeLog& log) {
    NodeLog::State s = log.state();
    return nb::make_tuple(owned(std::move(s.ids)), owned(std::move(s.words)),
                          owned(std::move(s.input_start)), owned(std::move(s.inputs)),
                          owned(std::move(s.ops)), owned(std::move(s.types)),
                          owned(std::move(s.flags)), s.max_nodes, s.next_id, s.evictions);
}

template <class T>
std::vector<T> column(nb::handle h) {
    auto a = nb::cast<nb::ndarray<const T, nb::ndim<1>, nb::c_contig, nb::device::cpu>>(h);
    return std::vector<T>(a.data(), a.data() + a.shape(0));
}

// Rows lo .. hi - 1 of the table, as (ids, words, input_start, inputs, ops, types, flags).
nb::tuple rows_state(const NodeLog& log, size_t lo, size_t hi) {
    NodeLog::State s = log.state_of_rows(lo, hi);
    return nb::make_tuple(owned(std::move(s.ids)), owned(std::move(s.words)),
                          owned(std::move(s.input_start)), owned(std::move(s.inputs)),
                          owned(std::move(s.ops)), owned(std::move(s.types)),
                          owned(std::move(s.flags)));
}

void set_state(NodeLog& log, const nb::tuple& t) {
    if (t.size() != 10) throw nb::value_error("a node log state has ten fields");
    NodeLog::State s{column<int64_t>(t[0]), column<int64_t>(t[1]), column<int64_t>(t[2]),
                     column<int64_t>(t[3]), column<int32_t>(t[4]), column<uint8_t>(t[5]),
                     column<uint8_t>(t[6]), nb::cast<int64_t>(t[7]), nb::cast<int64_t>(t[8]),
                     nb::cast<uint64_t>(t[9])};
    new (&log) NodeLog(NodeLog::from_state(std::move(s)));
}

// -- replay of a per-element log with changed values ------------------------------------------

using I32In = nb::ndarray<const int32_t, nb::ndim<1>, nb::c_contig, nb::device::cpu>;
using F64In = nb::ndarray<const double, nb::ndim<1>, nb::c_contig, nb::device::cpu>;

// The log's columns, checked so that the pass reads nothing out of bounds: every input of a
// node is a row before it (the log is in topological order), every table in its arrays.
orrin::replay::Log replay_log(const I32In& code, const I64In& input_start, const I64In& inputs,
                              const F64In& value, const I64In& group_start,
                              const F64In& group_values, const I64In& family) {
    size_t n = code.shape(0);
    if (value.shape(0) != n || family.shape(0) != n)
        throw nb::value_error("value and family must have one entry per node");
    if (input_start.shape(0) != n + 1 || group_start.shape(0) != n + 1)
        throw nb::value_error("input_start and group_start must have one entry per node, plus one");
    const int64_t* starts = input_start.data();
    const int64_t* in = inputs.data();
    const int64_t* groups = group_start.data();
    if (starts[0] != 0 || groups[0] != 0) throw nb::value_error("offsets must start at 0");
    for (size_t r = 0; r < n; ++r) {
        int32_t c = code.data()[r];
        if (c < 0 || c >= orrin::replay::N_CODES) throw nb::value_error("unknown replay code");
        if (starts[r + 1] < starts[r] || static_cast<size_t>(starts[r + 1]) > inputs.shape(0))
            throw nb::value_error("input_start must ascend within the inputs");
        if (groups[r + 1] < groups[r] || static_cast<size_t>(groups[r + 1]) > group_values.shape(0))
            throw nb::value_error("group_start must ascend within the group values");
        for (int64_t j = starts[r]; j < starts[r + 1]; ++j)
            if (in[j] < 0 || static_cast<size_t>(in[j]) >= r)
                throw nb::value_error("every input must be a row before its node");
    }
    orrin::replay::Log log{n, code.data(), starts, in, value.data(), groups, group_values.data()};
    log.family = family.data();
    return log;
}

orrin::replay::Tables replay_tables(const I64In& rows, const I64In& start, const F64In& keys,
                                    const F64In& values, const I32In& param, double text_from) {
    size_t count = rows.shape(0);
    if (start.shape(0) != count + 1 || param.shape(0) != count)
        throw nb::value_error("table_start and table_param must have one entry per table (plus one)");
    if (keys.shape(0) != values.shape(0)) throw nb::value_error("every table key needs a value");
    if (count && start.data()[0] != 0) throw nb::value_error("table_start must start at 0");
    for (size_t t = 0; t < count; ++t) {
        if (start.data()[t + 1] < start.data()[t] || static_cast<size_t>(start.data()[t + 1]) > keys.shape(0))
            throw nb::value_error("table_start must ascend within the keys");
        if (t && rows.data()[t] <= rows.data()[t - 1]) throw nb::value_error("table_rows must ascend");
    }
    return {count, rows.data(), start.data(), keys.data(), values.data(), param.data(), text_from};
}

nb::dict replay_codes() {
    nb::dict codes;
    for (const auto& [name, code] : orrin::replay::operation_codes()) codes[name.c_str()] = code;
    return codes;
}

nb::ndarray<nb::numpy, uint8_t, nb::ndim<1>> replay_check(
    const I32In& code, const I64In& input_start, const I64In& inputs, const F64In& value,
    const I64In& group_start, const F64In& group_values, const I64In& family,
    const I64In& table_rows, const I64In& table_start, const F64In& table_keys,
    const F64In& table_values, const I32In& table_param, double text_from) {
    orrin::replay::Log log =
        replay_log(code, input_start, inputs, value, group_start, group_values, family);
    log.tables = replay_tables(table_rows, table_start, table_keys, table_values, table_param, text_from);
    std::vector<uint8_t> ok(log.n);
    {
        nb::gil_scoped_release release;
        orrin::replay::check(log, ok.data());
    }
    return owned(std::move(ok));
}

nb::ndarray<nb::numpy, int64_t, nb::ndim<1>> replay_owners(const I32In& code, const I64In& input_start,
                                                        const I64In& inputs, const I64In& rows) {
    size_t n = code.shape(0);
    if (rows.shape(0) != n || input_start.shape(0) != n + 1)
        throw nb::value_error("rows and input_start must have one entry per node (plus one)");
    for (size_t r = 0; r < n; ++r)
        for (int64_t j = input_start.data()[r]; j < input_start.data()[r + 1]; ++j)
            if (j < 0 || static_cast<size_t>(j) >= inputs.shape(0) || inputs.data()[j] < 0 ||
                static_cast<size_t>(inputs.data()[j]) >= r)
                throw nb::value_error("every input must be a row before its node");
    orrin::replay::Log log{n, code.data(), input_start.data(), inputs.data(), nullptr, nullptr, nullptr};
    std::vector<int64_t> owner(rows.data(), rows.data() + n);
    {
        nb::gil_scoped_release release;
        orrin::replay::owners(log, owner.data());
    }
    return owned(std::move(owner));
}

nb::tuple replay_changed(const I32In& code, const I64In& input_start, const I64In& inputs,
                         const F64In& value, const I64In& group_start, const F64In& group_values,
                         const I64In& family, const I64In& table_rows, const I64In& table_start,
                         const F64In& table_keys, const F64In& table_values,
                         const I32In& table_param, double text_from, const I64In& owner,
                         const I64In& cells, double new_value) {
    orrin::replay::Log log =
        replay_log(code, input_start, inputs, value, group_start, group_values, family);
    log.tables = replay_tables(table_rows, table_start, table_keys, table_values, table_param, text_from);
    if (owner.shape(0) != log.n) throw nb::value_error("owner must have one entry per node");
    log.owner = owner.data();
    for (size_t c = 0; c < cells.shape(0); ++c)
        if (cells.data()[c] < 0 || static_cast<size_t>(cells.data()[c]) >= log.n)
            throw nb::value_error("cells must be rows of the log");
    std::vector<double> values(log.n);
    std::vector<uint8_t> state(log.n);
    size_t held;
    {
        nb::gil_scoped_release release;
        held = orrin::replay::changed(log, cells.data(), cells.shape(0), new_value, values.data(),
                                      state.data());
    }
    return nb::make_tuple(owned(std::move(values)), owned(std::move(state)), held);
}

}  // namespace

// The first of `ids` when they follow one another without a gap from a first >= 0 (the
// nodes of one operation), else -1: blocks of branch-free compares, no array made.
int64_t run_start(const I64In& ids) {
    const size_t n = ids.shape(0);
    const int64_t* v = ids.data();
    if (n == 0 || v[0] < 0) return -1;
    constexpr size_t kBlock = 1024;
    for (size_t lo = 0; lo < n; lo += kBlock) {
        const size_t hi = std::min(n, lo + kBlock);
        bool same = true;
        for (size_t i = lo; i < hi; ++i) same &= v[i] == v[0] + static_cast<int64_t>(i);
        if (!same) return -1;
    }
    return v[0];
}

void bind_node_log(nb::module_& m) {
    nb::class_<NodeLog>(m, "NodeLog",
                        "Columnar log of DAG nodes: ids in creation order, words, interned\n"
                        "types and operations, flags and inputs, with eviction of the oldest\n"
                        "non-source nodes beyond max_nodes.")
        .def(nb::init<int64_t>(), "max_nodes"_a)
        .def("append", &append_one, "type"_a, "op"_a, "word"_a, "flags"_a, "inputs"_a,
             "Log one node; returns its id.")
        .def("append_columns", &append_columns<I64In>, "type"_a, "op"_a, "words"_a,
             "columns"_a, "taint_shift"_a, "edges"_a = false, "flags"_a = 0,
             "One node per element whose inputs (one per column) all exist; -1 elsewhere.\n"
             "A column of one entry is that node for every element.\n"
             "With edges=True, also (input word, word, position, element) of every input in\n"
             "the table as each node is made, as rows of a flat array. Every node takes\n"
             "`flags` (24: a cell of a source column, see NodeLog::kCell).")
        // after the int64 form: words of another type are converted to int64, never narrowed
        .def("append_columns", &append_columns<U32In>, "type"_a, "op"_a, "words"_a,
             "columns"_a, "taint_shift"_a, "edges"_a = false, "flags"_a = 0,
             "The same with uint32 words, read as they are.")
        .def("append_ragged", &append_ragged, "type"_a, "op"_a, "words"_a, "offsets"_a, "flat"_a,
             "taint_shift"_a, "edges"_a = false,
             "One node per segment of inputs; -1 for an empty segment.")
        .def("append_windows", &append_windows, "type"_a, "op"_a, "words"_a, "members"_a,
             "span"_a, "taint_shift"_a, "edges"_a = false,
             "One node per element over its window's nodes (span 0: chained to the previous).")
        .def("__getstate__", &get_state)
        .def("__setstate__", &set_state)
        .def("rows_state", &rows_state, "lo"_a, "hi"_a,
             "(ids, words, input_start, inputs, ops, types, flags) of rows lo .. hi - 1 in\n"
             "creation order (input offsets from 0), as __getstate__ gives for all rows.")
        .def_prop_ro("row_count", &NodeLog::rows, "Rows held, in or out of the table.")
        .def("__len__", &NodeLog::live)
        .def("__contains__", [](const NodeLog& log, int64_t id) { return log.row_of(id) >= 0; })
        .def("row", &row, "id"_a, "cells"_a = false,
             nb::sig("def row(self, id: int, cells: bool = False) -> "
                     "tuple[int, int, int, int, list[int]] | None"),
             "(type, op, word, flags, inputs) of a node in the table, or None; inputs that\n"
             "are source cells are given as their column unless cells=True.")
        .def(
            "in_summary",
            [](const NodeLog& log, const I64In& ids) {
                std::vector<int64_t> kept;
                for (size_t i = 0; i < ids.shape(0); ++i)
                    kept.push_back(log.made_in_summary(ids.data()[i]));
                return to_array(std::move(kept));
            },
            "ids"_a,
            "Per id, 0 when its node is left out of the per-fingerprint summary (a source\n"
            "cell, a constant, a step that keeps an input's word), else 1; also for a node\n"
            "evicted since it was made.")
        .def("summary_as", &NodeLog::summary_as, "id"_a,
             "The id a reference to a node stands for in the per-fingerprint summary: a\n"
             "cell's column; for a step that keeps an input's word, what that input stands for.")
        .def("seen_as", &NodeLog::seen_as, "id"_a,
             "The id a reference to a node stands for in the table: a cell's column.")
        .def("table_ids", [](const NodeLog& log) { return to_array(log.table_ids()); })
        .def("ids_for_word", [](NodeLog& log, int64_t w) { return to_array(log.ids_for_word(w)); },
             "word"_a)
        .def("index_items", &index_items)
        .def("distinct_indexed_words", &NodeLog::distinct_indexed_words)
        .def("lineage", &lineage, "root"_a, "cells"_a = false,
             "(ids, edges) reached from root; source cells seen through as their column\n"
             "unless cells=True.")
        .def("distinct_rows", &distinct_rows)
        .def("table_summary", &table_summary)
        .def("remove", &NodeLog::remove_from_table, "id"_a)
        .def("clear", &NodeLog::clear)
        .def_prop_rw("next_id", &NodeLog::next_id, &NodeLog::set_next_id)
        .def_prop_rw("max_nodes", &NodeLog::max_nodes, &NodeLog::set_max_nodes)
        .def_prop_ro("evictions", &NodeLog::evictions)
        .def_prop_ro("bytes", &NodeLog::bytes, "Bytes the log's columns take.");

    m.def("run_start", &run_start, "ids"_a,
          "The first of `ids` when they follow one another without a gap from a first >= 0,\n"
          "else -1.");
    m.def("replay_codes", &replay_codes, nb::sig("def replay_codes() -> dict[str, int]"),
          "The replay code of each operation name the replay can evaluate.");
    m.attr("REPLAY_KEEP") = int(orrin::replay::KEEP);
    m.attr("REPLAY_HELD") = int(orrin::replay::HELD);
    m.attr("REPLAY_HELD_GROUP") = int(orrin::replay::HELD_GROUP);
    m.attr("REPLAY_UNKNOWN") = int(orrin::replay::UNKNOWN);
    m.attr("REPLAY_PASS") = int(orrin::replay::PASS);
    m.def("replay_check", &replay_check, "code"_a, "input_start"_a, "inputs"_a, "value"_a,
          "group_start"_a, "group_values"_a, "family"_a, "table_rows"_a, "table_start"_a,
          "table_keys"_a, "table_values"_a, "table_param"_a, "text_from"_a,
          "1 per node that, computed from its inputs' recorded values, gives its own recorded\n"
          "value (sources, constants and aggregates count as reproduced); 0 elsewhere.");
    m.def("replay_owners", &replay_owners, "code"_a, "input_start"_a, "inputs"_a, "rows"_a,
          "The applicant each node belongs to: its row's (rows, -1 for none), else the one\n"
          "applicant whose nodes read it (-2 when several do); an aggregate gives none.");
    m.def("replay_changed", &replay_changed, "code"_a, "input_start"_a, "inputs"_a, "value"_a,
          "group_start"_a, "group_values"_a, "family"_a, "table_rows"_a, "table_start"_a,
          "table_keys"_a, "table_values"_a, "table_param"_a, "text_from"_a, "owner"_a,
          "cells"_a, "new_value"_a,
          "The log replayed with the rows `cells` set to new_value, in one forward pass:\n"
          "(values, state, held), state 0 same, 1 changed, 2 unknown per node; held counts the\n"
          "aggregates kept at their recorded value although an input changed. An applicant\n"
          "whose own changed value is a group's key sees the aggregate of the group it lands in.");
}
