#include "replay.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>
#include <unordered_map>

namespace orrin {
namespace replay {

std::vector<std::pair<std::string, int32_t>> operation_codes() {
    return {
        {"add", ADD}, {"sub", SUB}, {"subtract", SUB}, {"mul", MUL}, {"multiply", MUL},
        {"div", DIV}, {"truediv", DIV}, {"true_divide", DIV}, {"divide", DIV},
        {"floordiv", FLOORDIV}, {"floor_divide", FLOORDIV}, {"mod", MOD}, {"remainder", MOD},
        {"pow", POW}, {"power", POW}, {"maximum", MAXIMUM}, {"minimum", MINIMUM},
        {"fmax", FMAX}, {"fmin", FMIN},
        {"gt", GT}, {"greater", GT}, {"lt", LT}, {"less", LT}, {"ge", GE},
        {"greater_equal", GE}, {"le", LE}, {"less_equal", LE}, {"eq", EQ}, {"equal", EQ},
        {"ne", NE}, {"not_equal", NE}, {"and", AND}, {"logical_and", AND}, {"or", OR},
        {"logical_or", OR}, {"xor", XOR}, {"logical_xor", XOR},
        {"neg", NEG}, {"negative", NEG}, {"abs", ABS}, {"absolute", ABS}, {"fabs", ABS},
        {"invert", INVERT}, {"logical_not", NOT}, {"rint", RINT}, {"floor", FLOOR},
        {"ceil", CEIL}, {"trunc", TRUNC}, {"sqrt", SQRT}, {"exp", EXP}, {"expm1", EXPM1},
        {"log", LOG}, {"log1p", LOG1P}, {"log2", LOG2}, {"log10", LOG10}, {"square", SQUARE},
        {"sign", SIGN}, {"isnan", ISNAN}, {"notna", NOTNAN},
        {"round", ROUND}, {"where", WHERE}, {"mask", WHERE}, {"select", SELECT}, {"fillna", FILLNA},
        {"clip", CLIP}, {"between", BETWEEN},
        {"map", MAP}, {"isin", ISIN}, {"cut", CUT}, {"astype", ASTYPE},
        {"group lookup", GROUP_LOOKUP}, {"filter", KEPT_IF_TRUE}, {"dropna", KEPT_IF_PRESENT},
    };
}

namespace {

// numpy's truth of a float: anything but zero, NaN included
bool truth(double x) { return x != 0.0; }

double boolean(bool b) { return b ? 1.0 : 0.0; }

// numpy's floor_divide and remainder (the sign of the remainder follows the divisor)
double floor_divide(double a, double b) {
    if (b == 0.0) return a / b;
    double mod = std::fmod(a, b);
    double div = (a - mod) / b;
    if (mod != 0.0 && ((b < 0) != (mod < 0))) div -= 1.0;
    double floored = std::floor(div);
    if (div - floored > 0.5) floored += 1.0;
    return floored;
}

double remainder(double a, double b) {
    double mod = std::fmod(a, b);
    if (mod != 0.0 && ((b < 0) != (mod < 0))) mod += b;
    return mod;
}

double nan_of_either(double a, double b, double x) { return std::isnan(a) ? a : std::isnan(b) ? b : x; }

double sign(double x) { return std::isnan(x) ? x : boolean(x > 0) - boolean(x < 0); }

// numpy.round: to even at halves, at a number of decimals
double round_to(double x, double decimals) {
    if (decimals == 0.0) return std::nearbyint(x);
    double scale = std::pow(10.0, decimals);
    return std::nearbyint(x * scale) / scale;
}

size_t arity(int32_t code) {
    if (code >= NEG && code < ROUND) return 1;
    if (code >= ADD && code < NEG) return 2;
    if (code == FILLNA) return 2;
    if (code == WHERE || code == CLIP) return 3;
    if (code >= MAP && code <= ASTYPE) return 2;
    return 0;  // ROUND and SELECT take several
}

bool is_table(int32_t code) { return code >= MAP && code <= ASTYPE; }

bool is_kept(int32_t code) { return code == KEPT_IF_TRUE || code == KEPT_IF_PRESENT; }

// Whether a row a condition of `code` read `x` of is kept (a mask's element is true, a cell
// dropna read is present).
bool keeps(int32_t code, double x) {
    return !std::isnan(x) && (code == KEPT_IF_PRESENT || truth(x));
}

// How many of a node's k inputs an operator reads: those after its two operands decided
// which rows it met (a filtered operand lined up onto rows it lacks), and while they stay
// the same, so do its rows.
size_t operands_read(int32_t code, size_t k) { return code >= ADD && code < NEG && k > 2 ? 2 : k; }

// The value of an operation over a[0..k); false when it cannot be evaluated here.
bool evaluate(int32_t code, const double* a, size_t k, double& out) {
    size_t expected = arity(code);
    if (expected && k != expected) return false;
    switch (code) {
        case ADD: out = a[0] + a[1]; return true;
        case SUB: out = a[0] - a[1]; return true;
        case MUL: out = a[0] * a[1]; return true;
        case DIV: out = a[0] / a[1]; return true;
        case FLOORDIV: out = floor_divide(a[0], a[1]); return true;
        case MOD: out = remainder(a[0], a[1]); return true;
        case POW: out = std::pow(a[0], a[1]); return true;
        case MAXIMUM: out = nan_of_either(a[0], a[1], std::max(a[0], a[1])); return true;
        case MINIMUM: out = nan_of_either(a[0], a[1], std::min(a[0], a[1])); return true;
        case FMAX: out = std::fmax(a[0], a[1]); return true;
        case FMIN: out = std::fmin(a[0], a[1]); return true;
        case GT: out = boolean(a[0] > a[1]); return true;
        case LT: out = boolean(a[0] < a[1]); return true;
        case GE: out = boolean(a[0] >= a[1]); return true;
        case LE: out = boolean(a[0] <= a[1]); return true;
        case EQ: out = boolean(a[0] == a[1]); return true;
        case NE: out = boolean(a[0] != a[1]); return true;
        case AND: out = boolean(truth(a[0]) && truth(a[1])); return true;
        case OR: out = boolean(truth(a[0]) || truth(a[1])); return true;
        case XOR: out = boolean(truth(a[0]) != truth(a[1])); return true;
        case NEG: out = -a[0]; return true;
        case ABS: out = std::fabs(a[0]); return true;
        case INVERT:  // ~ of a boolean is "not"; of an integer, its bits
            if (a[0] == 0.0 || a[0] == 1.0) { out = 1.0 - a[0]; return true; }
            if (!std::isfinite(a[0]) || a[0] != std::trunc(a[0]) || std::fabs(a[0]) > 9.0e15) return false;
            out = static_cast<double>(~static_cast<int64_t>(a[0]));
            return true;
        case NOT: out = boolean(!truth(a[0])); return true;
        case RINT: out = std::nearbyint(a[0]); return true;
        case FLOOR: out = std::floor(a[0]); return true;
        case CEIL: out = std::ceil(a[0]); return true;
        case TRUNC: out = std::trunc(a[0]); return true;
        case SQRT: out = std::sqrt(a[0]); return true;
        case EXP: out = std::exp(a[0]); return true;
        case EXPM1: out = std::expm1(a[0]); return true;
        case LOG: out = std::log(a[0]); return true;
        case LOG1P: out = std::log1p(a[0]); return true;
        case LOG2: out = std::log2(a[0]); return true;
        case LOG10: out = std::log10(a[0]); return true;
        case SQUARE: out = a[0] * a[0]; return true;
        case SIGN: out = sign(a[0]); return true;
        case ISNAN: out = boolean(std::isnan(a[0])); return true;
        case NOTNAN: out = boolean(!std::isnan(a[0])); return true;
        case ROUND:
            // without its decimals recorded, a round to 0 and to 1 decimal look alike
            if (k == 2 && a[1] == std::trunc(a[1]) && std::fabs(a[1]) < 300.0) { out = round_to(a[0], a[1]); return true; }
            return false;
        case WHERE: out = truth(a[0]) ? a[1] : a[2]; return true;
        case SELECT: {  // conditions, as many choices, then the default when given
            size_t pairs = k / 2;
            out = k % 2 ? a[k - 1] : 0.0;
            for (size_t i = 0; i < pairs; ++i)
                if (truth(a[i])) { out = a[pairs + i]; break; }
            return true;
        }
        case FILLNA: out = std::isnan(a[0]) ? a[1] : a[0]; return true;
        case GROUP_LOOKUP:  // the aggregate of the applicant's group, moved with its key
            if (k != 2) return false;
            out = a[1];
            return true;
        case CLIP:
            out = a[0];
            if (std::isnan(out)) return true;
            if (!std::isnan(a[1])) out = std::max(out, a[1]);
            if (!std::isnan(a[2])) out = std::min(out, a[2]);
            return true;
        case BETWEEN: {  // a fourth operand says which bounds count: bit 0 the lower, 1 the upper
            double closed = k == 4 ? a[3] : 3.0;
            if ((k != 3 && k != 4) || !(closed == 0.0 || closed == 1.0 || closed == 2.0 || closed == 3.0))
                return false;
            int sides = static_cast<int>(closed);
            bool above = (sides & 1) ? a[1] <= a[0] : a[1] < a[0];
            bool below = (sides & 2) ? a[0] <= a[2] : a[0] < a[2];
            out = boolean(above && below);
            return true;
        }
        default: return false;
    }
}

bool same(double a, double b) {
    if (std::isnan(a) || std::isnan(b)) return std::isnan(a) && std::isnan(b);
    if (a == b) return true;
    return std::fabs(a - b) <= std::max(1e-9 * std::max(std::fabs(a), std::fabs(b)), 1e-12);
}

// The table whose constant is at row `row`; -1 when none was recorded there.
int64_t table_at(const Tables& t, int64_t row) {
    const int64_t* end = t.rows + t.count;
    const int64_t* at = std::lower_bound(t.rows, end, row);
    return at != end && *at == row ? at - t.rows : -1;
}

// x looked up in a table's keys: the position of an equal key (NaN finds NaN), or -1.
int64_t find_key(const double* keys, size_t k, double x) {
    if (std::isnan(x)) {
        for (size_t i = 0; i < k; ++i)
            if (std::isnan(keys[i])) return static_cast<int64_t>(i);
        return -1;
    }
    const double* numbers_end = std::partition_point(keys, keys + k, [](double v) { return !std::isnan(v); });
    const double* at = std::lower_bound(keys, numbers_end, x);
    for (const double* c : {at - 1, at})  // to rounding, as a replay compares values
        if (c >= keys && c < numbers_end && same(*c, x)) return c - keys;
    return -1;
}

// cut: the output of the bin x falls in (the first that holds it), NaN outside every bin
double cut(const double* edges, const double* outputs, size_t k, int32_t param, double x) {
    bool right = param & 1, lowest = param & 2;
    for (size_t i = 0; i + 1 < k; ++i) {
        double low = edges[i], high = edges[i + 1];
        bool inside = right ? (low < x && x <= high) || (i == 0 && lowest && x == low)
                            : low <= x && x < high;
        if (inside) return outputs[i];
    }
    return std::nan("");
}

// A table's operation of x; false when it cannot be evaluated here.
bool evaluate_table(const Tables& t, int32_t code, int64_t row, double x, double& out) {
    int64_t table = table_at(t, row);
    if (table < 0) return false;
    const double* keys = t.keys + t.start[table];
    const double* values = t.values + t.start[table];
    size_t k = static_cast<size_t>(t.start[table + 1] - t.start[table]);
    int32_t param = t.param[table];
    bool text = x >= t.text_from;
    switch (code) {
        case MAP: {
            int64_t at = find_key(keys, k, x);
            out = at < 0 ? std::nan("") : values[at];
            return true;
        }
        case ISIN: out = boolean(find_key(keys, k, x) >= 0); return true;
        case CUT:
            if (text) return false;
            out = std::isnan(x) ? x : cut(keys, values, k, param, x);
            return true;
        case ASTYPE:
            if (param == TO_TEXT) { out = text ? x : std::nan(""); return true; }
            if (text) return false;
            if (param == TO_INT) { if (!std::isfinite(x)) return false; out = std::trunc(x); return true; }
            if (param == TO_FLOAT) { out = x; return true; }
            if (param == TO_BOOL) { out = boolean(truth(x)); return true; }
            return false;
        default: return false;
    }
}

// A node's value from its inputs' values a[0..k): by its recorded table, or its operation.
bool compute(const Log& log, size_t r, const double* a, size_t k, double& out) {
    int32_t code = log.code[r];
    if (!is_table(code)) return evaluate(code, a, k, out);
    if (k != 2) return false;
    return evaluate_table(log.tables, code, log.inputs[log.input_start[r] + 1], a[0], out);
}

// A group key's values, and the group an applicant lands in when its own inputs change.
using Key = std::vector<double>;

Key key_of(const Log& log, size_t r) {
    return Key(log.group_values + log.group_start[r], log.group_values + log.group_start[r + 1]);
}

// Keys compared as a replay compares values: NaN equal to NaN.
struct KeyLess {
    bool operator()(const Key& a, const Key& b) const {
        for (size_t i = 0; i < std::min(a.size(), b.size()); ++i) {
            bool na = std::isnan(a[i]), nb = std::isnan(b[i]);
            if (na != nb) return nb;
            if (!na && a[i] != b[i]) return a[i] < b[i];
        }
        return a.size() < b.size();
    }
};

// What one applicant sees of a group's aggregate after its change.
struct Seen {
    bool unknown = false;
    bool moved = false;
    Key key;
    double value = 0.0;
    std::vector<double> moved_from;  // the key values its changed inputs held
    std::vector<int> holders;        // how many of its inputs hold each of them
};

// Per family, the row of each group by key; a key two aggregates share names neither.
class Families {
public:
    explicit Families(const Log& log) : log_(log) {
        if (!log.family) return;
        for (size_t r = 0; r < log.n; ++r) {
            if (log.family[r] < 0) continue;
            auto [at, fresh] = rows_[log.family[r]].emplace(key_of(log, r), static_cast<int64_t>(r));
            if (!fresh) at->second = -1;
        }
    }
    // the row of the aggregate of group `key` in r's family; -1 when none (or two) was logged
    int64_t find(size_t r, const Key& key) const {
        auto family = rows_.find(log_.family ? log_.family[r] : -1);
        if (family == rows_.end()) return -1;
        auto at = family->second.find(key);
        return at == family->second.end() ? -1 : at->second;
    }

private:
    const Log& log_;
    std::unordered_map<int64_t, std::map<Key, int64_t, KeyLess>> rows_;
};

}  // namespace

void check(const Log& log, uint8_t* ok) {
    std::vector<double> args;
    for (size_t r = 0; r < log.n; ++r) {
        int32_t code = log.code[r];
        const int64_t* in = log.inputs + log.input_start[r];
        size_t k = static_cast<size_t>(log.input_start[r + 1] - log.input_start[r]);
        if (code == KEEP || code == HELD || code == HELD_GROUP || is_kept(code)) {
            ok[r] = 1;
            continue;
        }
        if (code == PASS) { ok[r] = k > 0 && same(log.value[in[0]], log.value[r]); continue; }
        args.resize(k);
        for (size_t j = 0; j < k; ++j) args[j] = log.value[in[j]];
        double out = 0.0;
        ok[r] = compute(log, r, args.data(), operands_read(code, k), out) &&
                same(out, log.value[r]);
    }
}

void owners(const Log& log, int64_t* owner) {
    std::vector<uint8_t> fixed(log.n);
    for (size_t r = 0; r < log.n; ++r) fixed[r] = owner[r] >= 0;
    for (size_t r = log.n; r-- > 0;) {
        int64_t o = owner[r];
        if (o < 0 || log.code[r] == HELD || log.code[r] == HELD_GROUP) continue;
        for (int64_t j = log.input_start[r]; j < log.input_start[r + 1]; ++j) {
            int64_t in = log.inputs[j];
            if (fixed[static_cast<size_t>(in)]) continue;
            owner[in] = owner[in] == NO_OWNER || owner[in] == o ? o : SHARED;
        }
    }
}

namespace {

using Seen_by = std::unordered_map<int64_t, Seen>;  // by applicant

// An applicant moves only when the key value its changed input held is held by no other of
// its inputs: a value of its aggregated that equals the key value by chance (dep 1 in the
// group married 1) cannot be told from the key. Counted in one pass over the inputs, for
// the applicants that moved only.
void unmove_shared(const Log& log, size_t r, Seen_by& mine) {
    for (int64_t j = log.input_start[r]; j < log.input_start[r + 1]; ++j) {
        int64_t in = log.inputs[j];
        int64_t owner = log.owner ? log.owner[in] : NO_OWNER;
        auto found = owner < 0 ? mine.end() : mine.find(owner);
        if (found == mine.end() || !found->second.moved) continue;
        Seen& entry = found->second;
        for (size_t k = 0; k < entry.moved_from.size(); ++k)
            entry.holders[k] += same(entry.moved_from[k], log.value[in]);
    }
    for (auto& [owner, entry] : mine)
        for (int holders : entry.holders) entry.unknown |= holders > 1;
}

// A group's aggregate after a change: held at its recorded value, except for each applicant
// whose own changed input is one of its key's values: that one sees the aggregate of the
// group it lands in (unknown when no aggregate of that group was logged, or when the
// changed value stands for more than one of the key's values). Returns whether an input
// changed; marks the node unknown when an input of no one applicant moves the key.
bool group(const Log& log, size_t r, const Families& families, const double* out_value,
           uint8_t* state, std::unordered_map<int64_t, Seen_by>& seen) {
    const Key key = key_of(log, r);
    Seen_by mine;
    bool any = false;
    bool moves = false;
    for (int64_t j = log.input_start[r]; j < log.input_start[r + 1]; ++j) {
        int64_t in = log.inputs[j];
        if (state[in] == SAME) continue;
        any = true;
        double old = log.value[in];
        size_t matches = 0;
        for (double component : key) matches += same(component, old);
        int64_t owner = log.owner ? log.owner[in] : NO_OWNER;
        bool may_move = matches > 0 || state[in] == UNKNOWN_VALUE;
        if (!may_move) continue;  // a value aggregated, not the key: held
        if (owner < 0) {
            state[r] = UNKNOWN_VALUE;  // whose group moved cannot be told
            return any;
        }
        Seen& entry = mine[owner];
        if (entry.key.empty()) entry.key = key;
        if (state[in] == UNKNOWN_VALUE || matches > 1) {
            entry.unknown = true;
            continue;
        }
        for (size_t c = 0; c < key.size(); ++c)
            if (same(key[c], old)) entry.key[c] = out_value[in];
        entry.moved = moves = true;
        entry.moved_from.push_back(old);
        entry.holders.push_back(0);
    }
    if (moves) unmove_shared(log, r, mine);
    for (auto& [owner, entry] : mine) {
        if (entry.unknown || !entry.moved) continue;
        int64_t at = families.find(r, entry.key);
        // none logged, or one with no value to take (a rank: one value per member)
        if (at < 0 || std::isnan(log.value[at])) entry.unknown = true;
        else entry.value = log.value[at];
    }
    if (!mine.empty()) seen.emplace(static_cast<int64_t>(r), std::move(mine));
    return any;
}

// A condition that kept rows, after a change: its recorded value, except for each applicant
// whose own changed input no longer keeps its row, or now keeps it: that one sees it unknown
// (the rows would differ). Marks the node unknown when an input of no one applicant changed.
void kept(const Log& log, size_t r, const double* out_value, uint8_t* state,
          std::unordered_map<int64_t, Seen_by>& seen) {
    const int32_t code = log.code[r];
    Seen_by mine;
    for (int64_t j = log.input_start[r]; j < log.input_start[r + 1]; ++j) {
        int64_t in = log.inputs[j];
        if (state[in] == SAME) continue;
        int64_t owner = log.owner ? log.owner[in] : NO_OWNER;
        if (owner < 0) {
            state[r] = UNKNOWN_VALUE;
            return;
        }
        if (state[in] == UNKNOWN_VALUE ||
            keeps(code, log.value[in]) != keeps(code, out_value[in]))
            mine[owner].unknown = true;
    }
    if (!mine.empty()) seen.emplace(static_cast<int64_t>(r), std::move(mine));
}

}  // namespace

size_t changed(const Log& log, const int64_t* cells, size_t n_cells, double new_value,
               double* out_value, uint8_t* state) {
    std::memcpy(out_value, log.value, log.n * sizeof(double));
    std::memset(state, SAME, log.n);
    for (size_t c = 0; c < n_cells; ++c) {
        int64_t r = cells[c];
        if (!same(log.value[r], new_value)) {
            out_value[r] = new_value;
            state[r] = CHANGED;
        }
    }
    // a node of unknown operation that reads nothing stands for values the log could not
    // follow: they may be made from the changed cells
    for (size_t r = 0; r < log.n && n_cells; ++r)
        if (log.code[r] == UNKNOWN && log.input_start[r + 1] == log.input_start[r])
            state[r] = UNKNOWN_VALUE;
    const Families families(log);
    std::unordered_map<int64_t, Seen_by> seen;  // by group aggregate's row
    size_t held = 0;
    std::vector<double> args;
    std::vector<uint8_t> states;
    for (size_t r = 0; r < log.n; ++r) {
        int32_t code = log.code[r];
        if (code == KEEP || state[r] != SAME) continue;
        if (code == HELD_GROUP) {
            held += group(log, r, families, out_value, state, seen) && state[r] == SAME;
            continue;
        }
        if (is_kept(code)) {
            kept(log, r, out_value, state, seen);
            continue;
        }
        const int64_t* in = log.inputs + log.input_start[r];
        size_t k = static_cast<size_t>(log.input_start[r + 1] - log.input_start[r]);
        args.resize(k);
        states.resize(k);
        bool any_changed = false, any_unknown = false;
        const bool moves = !seen.empty();  // some applicant sees another group's aggregate
        bool touched = false;  // most nodes read nothing changed: they are passed over first
        for (size_t j = 0; j < k && !touched; ++j)
            touched = state[in[j]] != SAME ||
                      (moves && (log.code[in[j]] == HELD_GROUP || is_kept(log.code[in[j]])) &&
                       seen.count(in[j]));
        if (!touched) continue;
        for (size_t j = 0; j < k; ++j) {
            args[j] = out_value[in[j]];
            states[j] = state[in[j]];
            auto moved = seen.end();
            if (moves && (log.code[in[j]] == HELD_GROUP || is_kept(log.code[in[j]])))
                moved = seen.find(in[j]);
            if (moved != seen.end()) {  // a group's aggregate, or the rows a condition kept:
                                        // as this node's applicant sees it
                int64_t owner = log.owner ? log.owner[r] : NO_OWNER;
                auto mine = owner < 0 ? moved->second.end() : moved->second.find(owner);
                if (owner < 0 || (mine != moved->second.end() && mine->second.unknown)) {
                    states[j] = UNKNOWN_VALUE;  // of no one applicant, or a group not known
                } else if (mine != moved->second.end() && !same(mine->second.value, args[j])) {
                    args[j] = mine->second.value;
                    states[j] = CHANGED;
                }
            }
            any_changed |= states[j] == CHANGED;
            any_unknown |= states[j] == UNKNOWN_VALUE;
        }
        if (!any_changed && !any_unknown) continue;
        if (code == HELD) {
            ++held;
            continue;
        }
        if (any_unknown || code == UNKNOWN) {
            state[r] = UNKNOWN_VALUE;
            continue;
        }
        if (code == PASS) {
            bool keys_same = true;
            for (size_t j = 1; j < k; ++j) keys_same &= states[j] == SAME;
            if (!keys_same || k == 0) { state[r] = UNKNOWN_VALUE; continue; }
            out_value[r] = args[0];
        } else {
            const size_t read = operands_read(code, k);
            bool rows_same = true;
            for (size_t j = read; j < k; ++j) rows_same &= states[j] == SAME;
            double out = 0.0;
            if (!rows_same || !compute(log, r, args.data(), read, out)) {
                state[r] = UNKNOWN_VALUE;
                continue;
            }
            out_value[r] = out;
        }
        state[r] = same(out_value[r], log.value[r]) ? SAME : CHANGED;
        if (state[r] == SAME) out_value[r] = log.value[r];
    }
    return held;
}

}  // namespace replay
}  // namespace orrin
