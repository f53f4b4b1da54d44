// Python bindings of the engine: argument conversion and checking, arrays in and out, the
// GIL. No word logic lives here.
#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/string.h>

#include <algorithm>
#include <cstdint>
#include <vector>
#include <optional>
#include <string>

#include "engine.hpp"
#include "kernels.hpp"
#include "reduce.hpp"

namespace nb = nanobind;
using namespace nb::literals;
using orrin::Engine;

namespace {

constexpr uint64_t kU32Max = 0xFFFFFFFFull;
// Below this many elements, releasing and re-taking the GIL costs more than it frees.
constexpr size_t kReleaseGilAt = 1 << 14;

std::string py_type_name(nb::handle h) { return nb::cast<std::string>(nb::type_name(h.type())); }

// An int (or anything with __index__ but not a float), as a Python int object.
nb::object as_int(nb::handle h, const char* what) {
    if (PyFloat_Check(h.ptr()) || !PyIndex_Check(h.ptr()))
        throw nb::type_error((std::string(what) + " must be an int, not " + py_type_name(h)).c_str());
    PyObject* r = PyNumber_Index(h.ptr());
    if (!r) throw nb::python_error();
    return nb::steal(r);
}

// The value of an int as int64 with an overflow sign (-1 below, +1 above the int64 range).
struct IntValue {
    nb::object obj;
    long long value;
    int overflow;
    bool negative() const { return overflow < 0 || (overflow == 0 && value < 0); }
    bool above(uint64_t limit) const { return overflow > 0 || (overflow == 0 && value > 0 && uint64_t(value) > limit); }
    std::string text() const { return nb::cast<std::string>(nb::str(obj)); }
};

IntValue int_value(nb::handle h, const char* what) {
    IntValue v{as_int(h, what), 0, 0};
    v.value = PyLong_AsLongLongAndOverflow(v.obj.ptr(), &v.overflow);
    if (v.value == -1 && PyErr_Occurred()) throw nb::python_error();
    return v;
}

uint32_t word_arg(nb::handle h, const char* what = "word") {
    IntValue v = int_value(h, what);
    if (v.negative() || v.above(kU32Max))
        throw nb::value_error((std::string(what) + " " + v.text() +
                               " is not a 32-bit provenance word (valid: 0..4294967295)").c_str());
    return uint32_t(v.value);
}

uint32_t op_arg(nb::handle h) {
    IntValue v = int_value(h, "op");
    if (v.negative() || v.above(kU32Max))
        throw nb::value_error(("operation code " + v.text() +
                               " is outside the valid range 0..4294967295").c_str());
    return uint32_t(v.value);
}

// Entity and chain: only the low bits are ever kept, so any non-negative int will do.
uint64_t low_bits_arg(nb::handle h, const char* what) {
    IntValue v = int_value(h, what);
    if (v.negative())
        throw nb::value_error((std::string(what) + " must be non-negative, got " + v.text()).c_str());
    uint64_t bits = PyLong_AsUnsignedLongLongMask(v.obj.ptr());
    if (bits == uint64_t(-1) && PyErr_Occurred()) throw nb::python_error();
    return bits;
}

uint64_t depth_arg(nb::handle h) {
    IntValue v = int_value(h, "depth");
    if (v.negative())
        throw nb::value_error(("depth must be non-negative, got " + v.text()).c_str());
    return v.above(orrin::kMaxDepth) ? orrin::kMaxDepth : uint64_t(v.value);
}

uint32_t pair_id_arg(nb::handle h) {
    IntValue v = int_value(h, "pair ID");
    if (v.negative() || v.above(orrin::kMaxPairs - 1))
        throw nb::value_error(("pair ID " + v.text() + " is outside the valid range 0..511").c_str());
    return uint32_t(v.value);
}

orrin::PairSet pairs_arg(nb::handle h) {
    orrin::PairSet s;
    for (nb::handle item : nb::iter(h)) s.add(pair_id_arg(item));
    return s;
}

bool truth(nb::handle h) {
    int t = PyObject_IsTrue(h.ptr());
    if (t < 0) throw nb::python_error();
    return t != 0;
}

// ---- arrays --------------------------------------------------------------------------

nb::handle numpy() {
    // Held for the life of the process on purpose: a static nb::object would be released
    // after the interpreter has gone.
    static PyObject* np = nb::module_::import_("numpy").release().ptr();
    return np;
}

nb::handle ndarray_type() {
    static PyObject* t = numpy().attr("ndarray").inc_ref().ptr();
    return t;
}

using U32View = nb::ndarray<const uint32_t, nb::ndim<1>, nb::c_contig, nb::device::cpu>;

struct WordArray {
    nb::object owner;  // keeps the (possibly converted) array alive while `data` is used
    const uint32_t* data;
    size_t size;
};

// Any 1-D integer array whose values fit 32 bits; contiguous native uint32 is used in place,
// everything else is range-checked and converted (never wrapped around).
WordArray word_array_arg(nb::handle h, const char* what) {
    // The common case first: a contiguous native uint32 ndarray is taken as it is, without
    // the attribute look-ups below.
    U32View direct;
    if (nb::isinstance(h, ndarray_type()) && nb::try_cast<U32View>(h, direct, false))
        return {nb::borrow(h), direct.data(), direct.shape(0)};
    nb::handle np = numpy();
    nb::object arr = nb::borrow(h);
    if (!nb::isinstance(h, np.attr("ndarray"))) arr = np.attr("asarray")(h);
    int ndim = nb::cast<int>(arr.attr("ndim"));
    if (ndim != 1)
        throw nb::value_error((std::string(what) + " must be a 1-D array, got " +
                               std::to_string(ndim) + " dimensions").c_str());
    nb::object dtype = arr.attr("dtype");
    std::string kind = nb::cast<std::string>(dtype.attr("kind"));
    if (kind != "i" && kind != "u")
        throw nb::type_error((std::string(what) + " must be an array of integers, got dtype " +
                              nb::cast<std::string>(nb::str(dtype))).c_str());
    nb::object u32 = np.attr("dtype")("uint32");
    bool native_u32 = dtype.equal(u32);
    if (!native_u32 && nb::cast<size_t>(arr.attr("size")) > 0) {
        IntValue lo = int_value(arr.attr("min")(), what), hi = int_value(arr.attr("max")(), what);
        if (lo.negative() || hi.above(kU32Max)) {
            std::string bad = lo.negative() ? lo.text() : hi.text();
            throw nb::value_error((std::string(what) + " holds " + bad +
                                   ", which does not fit an unsigned 32-bit word").c_str());
        }
    }
    if (!native_u32 || !nb::cast<bool>(arr.attr("flags").attr("c_contiguous")))
        arr = np.attr("ascontiguousarray")(arr, "dtype"_a = u32);
    U32View view = nb::cast<U32View>(arr, false);
    return {arr, view.data(), view.shape(0)};
}

template <class T> constexpr const char* numpy_name();
template <> constexpr const char* numpy_name<uint32_t>() { return "uint32"; }
template <> constexpr const char* numpy_name<bool>() { return "bool"; }
template <> constexpr const char* numpy_name<double>() { return "float64"; }

// A fresh numpy array, allocated by numpy itself rather than with new[]: numpy asks the
// kernel for huge pages on large buffers, while a new[] buffer of 10^7 words takes one page
// fault per 4 KiB on its first write, which made a batch call cost twice numpy's own
// bitwise_or over the same arrays. numpy also keeps a cache of small buffers.
template <class T>
nb::object new_array(size_t n, T*& data) {
    using View = nb::ndarray<T, nb::ndim<1>, nb::c_contig, nb::device::cpu>;
    nb::object arr = numpy().attr("empty")(n, "dtype"_a = numpy_name<T>());
    data = nb::cast<View>(arr, false).data();
    return arr;
}

struct MaybeReleaseGil {
    std::optional<nb::gil_scoped_release> release;
    explicit MaybeReleaseGil(size_t n) {
        if (n >= kReleaseGilAt) release.emplace();
    }
};

// ---- engine methods -----------------------------------------------------------------

uint32_t encode(Engine& e, nb::handle pairs, nb::handle entity, nb::handle chain,
                nb::handle taint, nb::handle depth) {
    orrin::PairSet s = pairs_arg(pairs);
    return e.encode(s, low_bits_arg(entity, "entity"), low_bits_arg(chain, "chain"), truth(taint),
                    depth_arg(depth));
}

nb::dict decode_full(const Engine& e, nb::handle word) {
    orrin::Decoded d = e.decode(word_arg(word));
    nb::list pairs;
    for (uint32_t id : d.pairs.ids()) pairs.append(nb::int_(id));
    nb::dict r;
    r["pairs"] = pairs;
    r["entity"] = nb::int_(d.entity);
    r["chain"] = nb::int_(d.chain);
    r["taint"] = nb::bool_(d.taint);
    r["depth"] = nb::int_(d.depth);
    r["mode"] = nb::str(d.mode_name);
    return r;
}

// A dense table travels as an (n, 8) array of uint64: row i is the 512-bit bitmap of the set
// behind signature i.
constexpr size_t kBitmapWords = orrin::kMaxPairs / 64;
using BitmapView = nb::ndarray<const uint64_t, nb::ndim<2>, nb::c_contig, nb::device::cpu>;

nb::object dense_export(const Engine& e) {
    std::vector<orrin::PairSet> sets = e.dense_sets();
    uint64_t* data = new uint64_t[sets.empty() ? 1 : sets.size() * kBitmapWords];
    nb::capsule owner(data, [](void* q) noexcept { delete[] static_cast<uint64_t*>(q); });
    for (size_t i = 0; i < sets.size(); ++i)
        std::copy(sets[i].bits.begin(), sets[i].bits.end(), data + i * kBitmapWords);
    return nb::cast(nb::ndarray<nb::numpy, uint64_t, nb::ndim<2>>(data, {sets.size(), kBitmapWords},
                                                                  owner));
}

nb::object dense_import(Engine& e, nb::handle bitmaps) {
    nb::object arr = numpy().attr("ascontiguousarray")(bitmaps, "dtype"_a = "uint64");
    BitmapView view;
    if (!nb::try_cast<BitmapView>(arr, view, false) || view.shape(1) != kBitmapWords)
        throw nb::value_error("bitmaps must be an (n, 8) array of uint64, one pair set a row");
    size_t n = view.shape(0);
    uint32_t* out;
    nb::object result = new_array(n, out);
    for (size_t i = 0; i < n; ++i) {
        orrin::PairSet s;
        std::copy(view.data() + i * kBitmapWords, view.data() + (i + 1) * kBitmapWords,
                  s.bits.begin());
        out[i] = e.intern_dense(s);
    }
    return result;
}

// ---- module functions ---------------------------------------------------------------

nb::object combine_batch(Engine& e, nb::handle a, nb::handle b, nb::handle op) {
    WordArray A = word_array_arg(a, "a"), B = word_array_arg(b, "b");
    uint32_t code = op_arg(op);
    if (A.size != B.size && A.size != 1 && B.size != 1)
        throw nb::value_error(("cannot combine arrays of lengths " + std::to_string(A.size) +
                               " and " + std::to_string(B.size) +
                               " (lengths must match, or one must be 1)").c_str());
    size_t n = A.size == 1 ? B.size : A.size;
    uint32_t* out;
    nb::object result = new_array(n, out);
    {
        MaybeReleaseGil gil(n);
        orrin::kernels::combine(e, A.data, A.size, B.data, B.size, code, out, n);
    }
    return result;
}

using I64View = nb::ndarray<const int64_t, nb::ndim<1>, nb::c_contig, nb::device::cpu>;

size_t count_arg(nb::handle h, const char* what) {
    if (!nb::isinstance<nb::int_>(h) || nb::isinstance<nb::bool_>(h))
        throw nb::type_error((std::string(what) + " must be an int").c_str());
    int64_t v = nb::cast<int64_t>(h);
    if (v < 0) throw nb::value_error((std::string(what) + " must not be negative").c_str());
    return static_cast<size_t>(v);
}

nb::object combine_segments_batch(Engine& e, nb::handle words, nb::handle segments,
                                  nb::handle n_segments, nb::handle op) {
    WordArray W = word_array_arg(words, "words");
    nb::object seg = numpy().attr("ascontiguousarray")(segments, "dtype"_a = "int64");
    I64View S = nb::cast<I64View>(seg, false);
    if (S.shape(0) != W.size)
        throw nb::value_error(("segments has " + std::to_string(S.shape(0)) +
                               " entries for " + std::to_string(W.size) + " words").c_str());
    size_t groups = count_arg(n_segments, "n_segments");
    uint32_t code = op_arg(op);
    uint32_t* out;
    nb::object result = new_array(groups, out);
    {
        MaybeReleaseGil gil(W.size);
        orrin::kernels::combine_segments(e, W.data, S.data(), W.size, groups, code, out);
    }
    return result;
}

nb::object combine_member_segments_batch(Engine& e, nb::handle members, nb::handle segments,
                                         nb::handle n_segments, nb::handle op) {
    if (!nb::isinstance<nb::sequence>(members) || nb::isinstance<nb::str>(members))
        throw nb::type_error("members must be a sequence of word arrays");
    nb::object seg = numpy().attr("ascontiguousarray")(segments, "dtype"_a = "int64");
    I64View S = nb::cast<I64View>(seg, false);
    std::vector<WordArray> held;
    std::vector<const uint32_t*> data;
    for (nb::handle member : nb::iter(members)) {
        held.push_back(word_array_arg(member, "members"));
        if (held.back().size != S.shape(0))
            throw nb::value_error(("segments has " + std::to_string(S.shape(0)) +
                                   " entries for a member of " +
                                   std::to_string(held.back().size) + " words").c_str());
        data.push_back(held.back().data);
    }
    size_t groups = count_arg(n_segments, "n_segments");
    uint32_t code = op_arg(op);
    uint32_t* out;
    nb::object result = new_array(groups, out);
    {
        MaybeReleaseGil gil(S.shape(0) * data.size());
        orrin::kernels::combine_member_segments(e, data.data(), data.size(), S.data(),
                                                S.shape(0), groups, code, out);
    }
    return result;
}

nb::object combine_windows_batch(Engine& e, nb::handle words, nb::handle window, nb::handle op) {
    WordArray W = word_array_arg(words, "words");
    size_t span = count_arg(window, "window");
    uint32_t code = op_arg(op);
    uint32_t* out;
    nb::object result = new_array(W.size, out);
    {
        MaybeReleaseGil gil(W.size);
        orrin::kernels::combine_windows(e, W.data, W.size, span, code, out);
    }
    return result;
}

nb::object update_chain_batch(Engine& e, nb::handle words, nb::handle op) {
    WordArray W = word_array_arg(words, "words");
    uint32_t code = op_arg(op);
    uint32_t* out;
    nb::object result = new_array(W.size, out);
    {
        MaybeReleaseGil gil(W.size);
        orrin::kernels::update_chain(e, W.data, W.size, code, out);
    }
    return result;
}

nb::object encode_source_column(Engine&, nb::handle pair_id, nb::handle entities,
                                nb::handle taint) {
    uint32_t id = pair_id_arg(pair_id);
    bool t = truth(taint);
    WordArray E = word_array_arg(entities, "entities");
    uint32_t* out;
    nb::object result = new_array(E.size, out);
    {
        MaybeReleaseGil gil(E.size);
        orrin::kernels::encode_source_column(id, E.data, E.size, t, out);
    }
    return result;
}

nb::object is_tainted_batch(nb::handle words) {
    WordArray W = word_array_arg(words, "words");
    bool* out;
    nb::object result = new_array(W.size, out);
    {
        MaybeReleaseGil gil(W.size);
        orrin::kernels::is_tainted(W.data, W.size, out);
    }
    return result;
}

nb::tuple entity_chain_batch(const Engine& e, nb::handle words) {
    WordArray W = word_array_arg(words, "words");
    uint32_t* entity;
    uint32_t* chain;
    nb::object entities = new_array(W.size, entity);
    nb::object chains = new_array(W.size, chain);
    {
        MaybeReleaseGil gil(W.size);
        for (size_t i = 0; i < W.size; ++i) {
            orrin::Decoded d = e.decode(W.data[i]);
            entity[i] = d.entity;
            chain[i] = d.chain;
        }
    }
    return nb::make_tuple(entities, chains);
}

nb::object risk_score_batch(nb::handle words) {
    WordArray W = word_array_arg(words, "words");
    double* out;
    nb::object result = new_array(W.size, out);
    {
        MaybeReleaseGil gil(W.size);
        orrin::kernels::risk_score(W.data, W.size, out);
    }
    return result;
}

nb::list explain_batch(const Engine& e, nb::handle words) {
    WordArray W = word_array_arg(words, "words");
    orrin::kernels::Explained x;
    {
        MaybeReleaseGil gil(W.size);
        x = orrin::kernels::explain(e, W.data, W.size);
    }
    nb::list out;
    for (size_t i = 0; i < W.size; ++i) {
        nb::list ids;
        for (size_t k = x.offsets[i]; k < x.offsets[i + 1]; ++k) ids.append(nb::int_(x.ids[k]));
        out.append(ids);
    }
    return out;
}

}  // namespace

void bind_node_log(nb::module_& m);  // nodelog_bindings.cpp

NB_MODULE(_orrin32, m) {
    m.doc() = "Native ORRIN-32 provenance engine: word packing, algebra and batch kernels.";

    nb::class_<Engine>(m, "RustProvenanceTracker",
                       "Provenance word engine: encodes, decodes and combines ORRIN-32 words.\n\n"
                       "Pair sets of four or more IDs are interned per instance, so dense words\n"
                       "are only meaningful to the instance that made them.")
        .def(
            "__init__",
            [](Engine* self, nb::handle capacity) {
                IntValue v = int_value(capacity, "dense_capacity");
                if (v.value < 1 || v.overflow || v.above(orrin::kDenseCapacity))
                    throw nb::value_error("dense_capacity must be between 1 and 67108864");
                new (self) Engine(uint32_t(v.value));
            },
            nb::kw_only(), "dense_capacity"_a = nb::int_(orrin::kDenseCapacity),
            nb::sig("def __init__(self, *, dense_capacity: int = 67108864) -> None"))
        // The tracker announces its sources and protections; words carry everything the
        // algebra needs, so the engine checks the arguments and keeps nothing.
        .def(
            "register",
            [](Engine&, const std::string&, const std::string&, nb::handle protect) {
                truth(protect);
            },
            "table"_a, "column"_a, "protected"_a,
            nb::sig("def register(self, table: str, column: str, protected: bool) -> None"),
            "Accept a source (table, column); the word algebra does not depend on it, so "
            "nothing is kept.")
        .def(
            "mark_table_protected", [](Engine&, const std::string&) {}, "table"_a,
            nb::sig("def mark_table_protected(self, table: str) -> None"),
            "Accept a protected table; the word algebra does not depend on it, so nothing is "
            "kept.")
        .def("encode", &encode, "pairs"_a, "entity"_a, "chain"_a, "taint"_a, "depth"_a,
             nb::sig("def encode(self, pairs: collections.abc.Iterable[int], entity: int, "
                     "chain: int, taint: bool, depth: int) -> int"),
             "Encode a pair set (IDs 0..511) with entity, chain, taint and depth into one word.")
        .def("decode_full", &decode_full, "word"_a,
             nb::sig("def decode_full(self, word: int) -> dict[str, typing.Any]"),
             "Decode a word to {'pairs', 'entity', 'chain', 'taint', 'depth', 'mode'}.")
        .def(
            "combine",
            [](Engine& e, nb::handle a, nb::handle b, nb::handle op) {
                return e.combine(word_arg(a, "a"), word_arg(b, "b"), op_arg(op));
            },
            "a"_a, "b"_a, "op"_a,
            nb::sig("def combine(self, a: int, b: int, op: int) -> int"),
            "Word of a value computed from two others: pairs union, entity XOR, chain hash, "
            "taint OR, depth max+1 (at most 7).")
        .def(
            "update_chain",
            [](Engine& e, nb::handle w, nb::handle op) {
                return e.update_chain(word_arg(w), op_arg(op));
            },
            "word"_a, "op"_a, nb::sig("def update_chain(self, word: int, op: int) -> int"),
            "Word after a unary operation: chain rehashed with op, depth+1 (at most 7).")
        .def("dense_export", &dense_export,
             nb::sig("def dense_export(self) -> numpy.typing.NDArray[numpy.uint64]"),
             "Every interned pair set as a 512-bit bitmap, one (8 x uint64) row per signature, "
             "in signature order.")
        .def("dense_import", &dense_import, "bitmaps"_a,
             nb::sig("def dense_import(self, bitmaps: numpy.typing.ArrayLike) -> "
                     "numpy.typing.NDArray[numpy.uint32]"),
             "Intern the pair sets of an exported table (rows of four or more pairs); returns "
             "the signature each row has in this engine.")
        .def_prop_ro("dense_count", &Engine::dense_size,
                     "Number of pair sets of four or more IDs interned so far.");

    m.def("combine_batch", &combine_batch, "engine"_a, "a"_a, "b"_a, "op"_a,
          nb::sig("def combine_batch(engine: RustProvenanceTracker, a: numpy.typing.ArrayLike, "
                  "b: numpy.typing.ArrayLike, op: int) -> numpy.typing.NDArray[numpy.uint32]"),
          "combine() for every element; a length-1 operand broadcasts.");
    m.def("update_chain_batch", &update_chain_batch, "engine"_a, "words"_a, "op"_a,
          nb::sig("def update_chain_batch(engine: RustProvenanceTracker, "
                  "words: numpy.typing.ArrayLike, op: int) -> numpy.typing.NDArray[numpy.uint32]"),
          "update_chain() for every element.");
    m.def("encode_source_column", &encode_source_column, "engine"_a, "pair_id"_a, "entities"_a,
          "taint"_a,
          nb::sig("def encode_source_column(engine: RustProvenanceTracker, pair_id: int, "
                  "entities: numpy.typing.ArrayLike, taint: bool) -> "
                  "numpy.typing.NDArray[numpy.uint32]"),
          "Word of every row of a source column: encode([pair_id], entity, 0, taint, 0).");
    m.def("is_tainted_batch", &is_tainted_batch, "words"_a,
          nb::sig("def is_tainted_batch(words: numpy.typing.ArrayLike) -> "
                  "numpy.typing.NDArray[numpy.bool_]"),
          "Taint bit of every word, as a boolean mask.");
    m.def("entity_chain_batch", &entity_chain_batch, "engine"_a, "words"_a,
          nb::sig("def entity_chain_batch(engine: RustProvenanceTracker, "
                  "words: numpy.typing.ArrayLike) -> tuple[numpy.typing.NDArray[numpy.uint32], "
                  "numpy.typing.NDArray[numpy.uint32]]"),
          "Entity and chain fields of every word, as decode_full gives them.");
    m.def("risk_score_batch", &risk_score_batch, "words"_a,
          nb::sig("def risk_score_batch(words: numpy.typing.ArrayLike) -> "
                  "numpy.typing.NDArray[numpy.float64]"),
          "Risk of every word: 0.0 when untainted, else 1 / (1 + depth).");
    m.def("combine_segments_batch", &combine_segments_batch, "engine"_a, "words"_a,
          "segments"_a, "n_segments"_a, "op"_a,
          nb::sig("def combine_segments_batch(engine: RustProvenanceTracker, "
                  "words: numpy.typing.ArrayLike, segments: numpy.typing.ArrayLike, "
                  "n_segments: int, op: int) -> numpy.typing.NDArray[numpy.uint32]"),
          "One word per segment, combining the words of its members (negative: none).");
    m.def("combine_member_segments_batch", &combine_member_segments_batch, "engine"_a,
          "members"_a, "segments"_a, "n_segments"_a, "op"_a,
          nb::sig("def combine_member_segments_batch(engine: RustProvenanceTracker, "
                  "members: collections.abc.Sequence[numpy.typing.ArrayLike], "
                  "segments: numpy.typing.ArrayLike, n_segments: int, op: int) -> "
                  "numpy.typing.NDArray[numpy.uint32]"),
          "One word per segment, combining the words of its rows in every member array "
          "(all of the segments' length; negative: none).");
    m.def("combine_windows_batch", &combine_windows_batch, "engine"_a, "words"_a, "window"_a,
          "op"_a,
          nb::sig("def combine_windows_batch(engine: RustProvenanceTracker, "
                  "words: numpy.typing.ArrayLike, window: int, op: int) -> "
                  "numpy.typing.NDArray[numpy.uint32]"),
          "Word i combines words[i - window + 1 .. i]; window 0: words[0 .. i].");
    m.def("explain_batch", &explain_batch, "engine"_a, "words"_a,
          nb::sig("def explain_batch(engine: RustProvenanceTracker, words: numpy.typing.ArrayLike) "
                  "-> list[list[int]]"),
          "Ascending pair IDs of every word.");
    bind_node_log(m);
}
