#include "replay.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>

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
        {"sign", SIGN}, {"isnan", ISNAN},
        {"round", ROUND}, {"where", WHERE}, {"mask", WHERE}, {"select", SELECT}, {"fillna", FILLNA},
        {"clip", CLIP}, {"between", BETWEEN},
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
    if (code == WHERE || code == CLIP || code == BETWEEN) return 3;
    return 0;  // ROUND and SELECT take several
}

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
        case CLIP:
            out = a[0];
            if (std::isnan(out)) return true;
            if (!std::isnan(a[1])) out = std::max(out, a[1]);
            if (!std::isnan(a[2])) out = std::min(out, a[2]);
            return true;
        case BETWEEN: out = boolean(a[1] <= a[0] && a[0] <= a[2]); return true;
        default: return false;
    }
}

bool same(double a, double b) {
    if (std::isnan(a) || std::isnan(b)) return std::isnan(a) && std::isnan(b);
    if (a == b) return true;
    return std::fabs(a - b) <= std::max(1e-9 * std::max(std::fabs(a), std::fabs(b)), 1e-12);
}

bool in_group_key(const Log& log, size_t r, double old) {
    for (int64_t g = log.group_start[r]; g < log.group_start[r + 1]; ++g)
        if (same(log.group_values[g], old)) return true;
    return false;
}

}  // namespace

void check(const Log& log, uint8_t* ok) {
    std::vector<double> args;
    for (size_t r = 0; r < log.n; ++r) {
        int32_t code = log.code[r];
        const int64_t* in = log.inputs + log.input_start[r];
        size_t k = static_cast<size_t>(log.input_start[r + 1] - log.input_start[r]);
        if (code == KEEP || code == HELD || code == HELD_GROUP) { ok[r] = 1; continue; }
        if (code == PASS) { ok[r] = k > 0 && same(log.value[in[0]], log.value[r]); continue; }
        args.resize(k);
        for (size_t j = 0; j < k; ++j) args[j] = log.value[in[j]];
        double out = 0.0;
        ok[r] = evaluate(code, args.data(), k, out) && same(out, log.value[r]);
    }
}

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
    size_t held = 0;
    std::vector<double> args;
    for (size_t r = 0; r < log.n; ++r) {
        int32_t code = log.code[r];
        if (code == KEEP || state[r] != SAME) continue;
        const int64_t* in = log.inputs + log.input_start[r];
        size_t k = static_cast<size_t>(log.input_start[r + 1] - log.input_start[r]);
        bool any_changed = false, any_unknown = false, key_moved = false;
        for (size_t j = 0; j < k; ++j) {
            uint8_t s = state[in[j]];
            any_changed |= s == CHANGED;
            any_unknown |= s == UNKNOWN_VALUE;
            // an input of unknown value may be the key: the group it falls in is unknown too
            if (code == HELD_GROUP && s != SAME)
                key_moved |= s == UNKNOWN_VALUE || in_group_key(log, r, log.value[in[j]]);
        }
        if (!any_changed && !any_unknown) continue;
        if (code == HELD || (code == HELD_GROUP && !key_moved)) {
            ++held;
            continue;
        }
        if (any_unknown || code == HELD_GROUP || code == UNKNOWN) {
            state[r] = UNKNOWN_VALUE;
            continue;
        }
        if (code == PASS) {
            bool keys_same = true;
            for (size_t j = 1; j < k; ++j) keys_same &= state[in[j]] == SAME;
            if (!keys_same) { state[r] = UNKNOWN_VALUE; continue; }
            out_value[r] = out_value[in[0]];
        } else {
            args.resize(k);
            for (size_t j = 0; j < k; ++j) args[j] = out_value[in[j]];
            double out = 0.0;
            if (!evaluate(code, args.data(), k, out)) { state[r] = UNKNOWN_VALUE; continue; }
            out_value[r] = out;
        }
        state[r] = same(out_value[r], log.value[r]) ? SAME : CHANGED;
        if (state[r] == SAME) out_value[r] = log.value[r];
    }
    return held;
}

}  // namespace replay
}  // namespace orrin
