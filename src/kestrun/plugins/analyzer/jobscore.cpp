// kestrun.plugins.analyzer.jobscore: the workload analyser's scoring library.
//
// Four functions score a function's source text (a regular-expression score
// per framework, keyword indicator counts, their normalisation, keyword
// scores per framework) and five turn the analyser's scores into decisions
// (GPU suitability and speed-up, parallelisation potential, the workload
// pattern code, adaptive detection thresholds).  All are pure functions.
//
// The keyword scorers look for every keyword of every list in one pass over
// the lower-cased text (keyword_automaton.hpp): each list's count is then the
// number of its keywords in the set found, so each keyword counts at most
// once however often it occurs.
#include "kestrun_native.hpp"
#include "keyword_automaton.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace {

kn::ModuleFrame frame{"jobscore", "kestrun.plugins.analyzer.jobscore"};

// ---------------------------------------------------------------- Keyword lists, matched as
// substrings of the lower-cased text

using sv = std::string_view;

constexpr sv cpu_indicators[] = {"for",  "while",       "range",   "numpy",     "scipy",
                                 "math", "calculation", "compute", "algorithm", "sum",
                                 "prod", "dot",         "matmul",  "fft",       "linalg"};
constexpr sv memory_indicators[] = {"array",    "list",   "dict",  "pandas", "dataframe",
                                    "allocate", "buffer", "cache", "append", "extend"};
constexpr sv parallel_indicators[] = {"multiprocessing",
                                      "threading",
                                      "concurrent",
                                      "async",
                                      "parallel",
                                      "pool",
                                      "worker",
                                      "chunk",
                                      "batch",
                                      "processpoolexecutor",
                                      "threadpoolexecutor"};
constexpr sv gpu_op_indicators[] = {
    "matmul", "dot",      "tensordot", "@",        "fft",      "ifft",
    "rfft",   "convolve", "correlate", "sum",      "mean",     "std",
    "var",    "sin",      "cos",       "exp",      "log",      "sqrt",
    "power",  "**",       "add",       "subtract", "multiply", "divide",
    "/",      "*",        "+",         "-",        "linalg",   "linear_algebra",
    "array",  "asarray",  "zeros",     "ones",     "empty",    "full"};
constexpr sv large_data_indicators[] = {"reshape", "resize",   "huge",    "large", "gigabyte",
                                        "gb",      "million",  "billion", "1e6",   "1e9",
                                        "1024",    "megabyte", "mb"};
constexpr sv embarrassing_indicators[] = {"workload", "benchmark", "intensive", "chunk_workload",
                                          "map",      "apply",     "vectorize", "broadcast"};
constexpr sv sequential_indicators[] = {"global",       "nonlocal",   "lock",    "mutex",
                                        "synchronized", "sequential", "ordered", "dependencies"};

constexpr sv numpy_keywords[] = {"numpy",     "np.",       "ndarray",     "array",  "matrix",
                                 "vectorize", "broadcast", "ufunc",       "dot",    "matmul",
                                 "linalg",    "fft",       "sum",         "mean",   "std",
                                 "var",       "min",       "max",         "argmax", "argmin",
                                 "reshape",   "transpose", "concatenate", "stack",  "split"};
constexpr sv pandas_keywords[] = {"pandas",  "pd.",      "dataframe",  "series", "groupby",
                                  "apply",   "agg",      "transform",  "merge",  "join",
                                  "concat",  "pivot",    "melt",       "query",  "eval",
                                  "rolling", "resample", "sort_values"};
constexpr sv sklearn_keywords[] = {
    "sklearn",    "fit",          "predict",          "transform",
    "score",      "cross_val",    "gridsearchcv",     "randomizedsearchcv",
    "pipeline",   "featureunion", "train_test_split", "classification",
    "regression", "clustering",   "preprocessing",    "model_selection",
    "metrics",    "ensemble"};

// The literal words of the framework patterns' alternatives (below),
// lower-cased; they must be kept in step with the patterns.
constexpr sv numpy_pattern_words[] = {"numpy",     "np.",    "ndarray", "array",
                                      "vectorize", "matmul", "linalg"};
constexpr sv pandas_pattern_words[] = {"pandas",  "pd.",   "dataframe", "series",
                                       "groupby", "merge", "pivot"};
constexpr sv sklearn_pattern_words[] = {"sklearn",   "fit",          "predict",
                                        "transform", "gridsearchcv", "randomforest"};

// 139 distinct keywords in all.
constexpr std::size_t set_words = 3;
using Automaton = jobscore::KeywordAutomaton<set_words>;
using KeywordSet = Automaton::Set;

// The lists in the order of their results.
enum List : std::size_t {
    CPU,
    MEMORY,
    PARALLEL,
    GPU_OP,
    LARGE_DATA,
    EMBARRASSING,
    SEQUENTIAL,
    NUMPY,
    PANDAS,
    SKLEARN,
    LIST_COUNT
};

Automaton automaton;
KeywordSet list_sets[LIST_COUNT];

// The framework patterns, compiled case-insensitively when first needed (for
// text beyond ASCII) and held through their bound `findall` for the life of
// the process.  Each is
// `\\b(w1|w2|...)\\b` over the literal words `alternatives` (lower-cased, in
// the pattern's order), which its own small automaton finds in the text.
using WordAutomaton = jobscore::KeywordAutomaton<1>;
struct Framework {
    const char* name;
    const char* pattern;
    std::span<const sv> alternatives;
    std::atomic<PyObject*> findall{nullptr};
    WordAutomaton automaton{};
    WordAutomaton::Set every{};  // all of its words
};
Framework frameworks[] = {
    {"numpy", "\\b(numpy|np\\.|ndarray|array|vectorize|matmul|linalg)\\b", numpy_pattern_words},
    {"pandas", "\\b(pandas|pd\\.|DataFrame|Series|groupby|merge|pivot)\\b", pandas_pattern_words},
    {"sklearn", "\\b(sklearn|fit|predict|transform|GridSearchCV|RandomForest)\\b",
     sklearn_pattern_words},
};

// Gives every distinct keyword an id, records each list as a set of ids and
// compiles the automaton; compiles each framework's words into its own.
bool build_keyword_tables() {
    struct Named {
        const sv* words;
        std::size_t size;
    };
    const Named lists[LIST_COUNT] = {
        {cpu_indicators, std::size(cpu_indicators)},
        {memory_indicators, std::size(memory_indicators)},
        {parallel_indicators, std::size(parallel_indicators)},
        {gpu_op_indicators, std::size(gpu_op_indicators)},
        {large_data_indicators, std::size(large_data_indicators)},
        {embarrassing_indicators, std::size(embarrassing_indicators)},
        {sequential_indicators, std::size(sequential_indicators)},
        {numpy_keywords, std::size(numpy_keywords)},
        {pandas_keywords, std::size(pandas_keywords)},
        {sklearn_keywords, std::size(sklearn_keywords)},
    };
    std::vector<sv> distinct;
    for (std::size_t l = 0; l < LIST_COUNT; ++l) {
        for (std::size_t i = 0; i < lists[l].size; ++i) {
            sv word = lists[l].words[i];
            std::size_t id = 0;
            while (id < distinct.size() && distinct[id] != word)
                ++id;
            if (id == distinct.size()) {
                if (distinct.size() == Automaton::max_keywords) return false;
                distinct.push_back(word);
            }
            list_sets[l].insert(id);
        }
    }
    for (Framework& f : frameworks) {
        if (!f.automaton.build({f.alternatives.begin(), f.alternatives.end()})) return false;
        for (std::size_t id = 0; id < f.alternatives.size(); ++id)
            f.every.insert(id);
    }
    return automaton.build(distinct);
}

// ---------------------------------------------------------------- Shared helpers

// A str-typed argument: exactly a str, or None.
inline bool str_arg(PyObject* o, const char* argname) {
    return kn::check_exact(o, &PyUnicode_Type, argname);
}

// Limits `x` to [lo, hi]: above hi gives hi, then below lo gives lo.
inline double limit(double x, double lo, double hi) {
    if (x > hi) x = hi;
    if (x < lo) x = lo;
    return x;
}

// Converts the arguments that are all floats, in order.
template <std::size_t N>
bool doubles(const std::array<PyObject*, N>& v, double (&out)[N]) {
    for (std::size_t i = 0; i < N; ++i)
        if (!kn::to_double(v[i], &out[i])) return false;
    return true;
}

// ---------------------------------------------------------------- Text scoring

// Ten matches reach the full score.
constexpr Py_ssize_t full_score_matches = 10;

// The framework named exactly `name` (a str), or nullptr.
Framework* find_framework(PyObject* name) {
    if (!PyUnicode_IS_ASCII(name)) return nullptr;
    std::string_view text(static_cast<const char*>(PyUnicode_DATA(name)),
                          static_cast<std::size_t>(PyUnicode_GET_LENGTH(name)));
    for (Framework& f : frameworks)
        if (text == f.name) return &f;
    return nullptr;
}

// A word character of ASCII text, as the pattern's \b sees it.
inline bool is_word(Py_UCS1 c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

// The framework's bound `findall` (borrowed), compiled with the module's
// `re` and re.IGNORECASE on first use; nullptr with an exception set on
// error.  Two threads may compile at once: the first to publish its result
// wins, the other drops its own.
PyObject* framework_findall(PyObject* module, Framework& f) {
    if (PyObject* findall = f.findall.load(std::memory_order_acquire)) return findall;
    kn::Ref re = kn::Ref::steal(PyObject_GetAttrString(module, "re"));
    if (!re) return nullptr;
    kn::Ref flag = kn::Ref::steal(PyObject_GetAttrString(re.get(), "IGNORECASE"));
    if (!flag) return nullptr;
    kn::Ref compiled =
        kn::Ref::steal(PyObject_CallMethod(re.get(), "compile", "sO", f.pattern, flag.get()));
    if (!compiled) return nullptr;
    kn::Ref mine = kn::Ref::steal(PyObject_GetAttrString(compiled.get(), "findall"));
    if (!mine) return nullptr;
    PyObject* expected = nullptr;
    if (f.findall.compare_exchange_strong(expected, mine.get(), std::memory_order_acq_rel))
        return mine.release();  // held for the life of the process
    return expected;
}

// pattern.findall(code), counted.
Py_ssize_t count_findall(PyObject* module, Framework& f, PyObject* code) {
    PyObject* findall = framework_findall(module, f);
    if (!findall) return -1;
    kn::Ref matches = kn::Ref::steal(PyObject_Vectorcall(findall, &code, 1, nullptr));
    if (!matches) return -1;
    return PyObject_Length(matches.get());
}

// Where the framework's pattern, tried at index `start` of the ASCII text
// `text` of length `n`, ends its match, or -1 when it does not match there:
// the first alternative, in the pattern's order, that occurs at `start` in
// any letter case with a word boundary on both sides.  For ASCII text and
// ASCII literals, case-insensitive matching is ASCII case folding, and a
// word character is a letter, a digit or "_" (is_word).
Py_ssize_t match_at(const Framework& f, const Py_UCS1* text, Py_ssize_t n, Py_ssize_t start) {
    const bool word_before = start > 0 && is_word(text[start - 1]);
    for (sv w : f.alternatives) {
        const Py_ssize_t len = static_cast<Py_ssize_t>(w.size());
        if (len > n - start) continue;
        bool same = true;
        for (Py_ssize_t i = 0; i < len && same; ++i) {
            Py_UCS1 c = text[start + i];
            if (c >= 'A' && c <= 'Z') c = static_cast<Py_UCS1>(c + ('a' - 'A'));
            same = c == static_cast<Py_UCS1>(w[static_cast<std::size_t>(i)]);
        }
        if (!same) continue;
        const bool word_after = start + len < n && is_word(text[start + len]);
        if (is_word(static_cast<Py_UCS1>(w.front())) != word_before &&
            is_word(static_cast<Py_UCS1>(w.back())) != word_after)
            return start + len;
    }
    return -1;
}

// The number of matches of the framework's pattern in `code` (a str), as
// findall() counts them, or any number from `full_score_matches` up when
// there are at least that many; -1 with an exception set on error.
//
// In ASCII text a case-insensitive match can start only where one of the
// pattern's literals occurs in some letter case, and (each literal starting
// with a word character) only where no word character precedes it.  The
// framework's automaton finds those places in the same four-lane walk as
// the keyword scorers, and the pattern is tried there (match_at), in order, each
// try after the end of the previous match, as findall() goes on.  Text
// beyond ASCII, where case-insensitive matching has equivalences of its own,
// goes to findall().
Py_ssize_t count_matches(PyObject* module, Framework& f, PyObject* code) {
    if (!PyUnicode_IS_ASCII(code)) return count_findall(module, f, code);
    const Py_UCS1* text = PyUnicode_1BYTE_DATA(code);
    const Py_ssize_t n = PyUnicode_GET_LENGTH(code);

    // The places of each lane (those that start in it), as reported: the
    // first few kept in place, any more on the heap.
    struct Places {
        std::array<Py_ssize_t, 32> near;
        std::size_t count = 0;
        std::vector<Py_ssize_t> more;
        void push(Py_ssize_t v) {
            if (count < near.size())
                near[count++] = v;
            else
                more.push_back(v);
        }
        std::span<Py_ssize_t> sorted() {
            std::span<Py_ssize_t> all(near.data(), count);
            if (!more.empty()) {
                more.insert(more.end(), near.begin(), near.end());
                all = more;
            }
            std::sort(all.begin(), all.end());
            return all;
        }
    };
    constexpr Py_ssize_t lanes = WordAutomaton::lanes;
    std::array<Places, lanes> starts;
    f.automaton.for_each_start(code, f.every, [&](Py_ssize_t l, Py_ssize_t start, Py_ssize_t) {
        if (start == 0 || !is_word(text[start - 1])) starts[l].push(start);
    });

    Py_ssize_t count = 0, resume = 0;
    for (Places& lane : starts) {
        for (Py_ssize_t start : lane.sorted()) {
            if (start < resume) continue;  // inside the previous match, or tried
            Py_ssize_t end = match_at(f, text, n, start);
            if (end < 0) continue;
            if (++count == full_score_matches) return count;
            resume = end;
        }
    }
    return count;
}

constexpr kn::Signature<2> kQuickFrameworkScoreSig{
    "quick_framework_score", {"code", "framework"}, 2};

PyObject* quick_framework_score(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
    std::array<PyObject*, 2> a;
    if (!kn::bind(kQuickFrameworkScoreSig, args, nargs, kwnames, a)) return nullptr;
    if (!str_arg(a[0], "code") || !str_arg(a[1], "framework")) return nullptr;
    Framework* f = a[1] == Py_None ? nullptr : find_framework(a[1]);
    if (!f) return PyFloat_FromDouble(0.0);
    // findall() raises the pattern's TypeError for None.
    Py_ssize_t count =
        a[0] == Py_None ? count_findall(module, *f, a[0]) : count_matches(module, *f, a[0]);
    if (count < 0) return nullptr;
    return PyFloat_FromDouble(count >= full_score_matches ? 1.0 : static_cast<double>(count) * 0.1);
}

constexpr kn::Signature<2> kScoreIndicatorsSig{"score_indicators", {"code", "function_name"}, 2};

PyObject* score_indicators(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, 2> a;
    if (!kn::bind(kScoreIndicatorsSig, args, nargs, kwnames, a)) return nullptr;
    if (!str_arg(a[0], "code") || !str_arg(a[1], "function_name")) return nullptr;
    if (a[0] == Py_None) return kn::none_has_no_lower();

    KeywordSet in_code, in_either;
    automaton.scan(a[0], in_code);
    in_either = in_code;
    if (a[1] != Py_None) automaton.scan(a[1], in_either);

    return Py_BuildValue(
        "(iiiiiii)", in_code.count_of(list_sets[CPU]), in_code.count_of(list_sets[MEMORY]),
        in_code.count_of(list_sets[PARALLEL]), in_either.count_of(list_sets[GPU_OP]),
        in_code.count_of(list_sets[LARGE_DATA]), in_either.count_of(list_sets[EMBARRASSING]),
        in_code.count_of(list_sets[SEQUENTIAL]));
}

constexpr kn::Signature<5> kNormalizeScoresSig{
    "normalize_scores",
    {"cpu_score", "memory_score", "parallel_score", "gpu_op_score", "large_data_score"},
    5};

// The reciprocals of the indicator lists' sizes (each the double nearest
// 1 / size: a division of two exact values is rounded once).
template <std::size_t N>
constexpr double per_keyword(const sv (&)[N]) {
    return 1.0 / static_cast<double>(N);
}
constexpr double normalize_factors[5] = {
    per_keyword(cpu_indicators), per_keyword(memory_indicators), per_keyword(parallel_indicators),
    per_keyword(gpu_op_indicators), per_keyword(large_data_indicators)};

PyObject* normalize_scores(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, 5> a;
    if (!kn::bind(kNormalizeScoresSig, args, nargs, kwnames, a)) return nullptr;
    int32_t counts[5];
    for (std::size_t i = 0; i < 5; ++i)
        if (!kn::to_int32(a[i], &counts[i])) return nullptr;
    double r[5];
    for (std::size_t i = 0; i < 5; ++i)
        r[i] = limit(static_cast<double>(counts[i]) * normalize_factors[i], 0.0, 1.0);
    return Py_BuildValue("(ddddd)", r[0], r[1], r[2], r[3], r[4]);
}

constexpr kn::Signature<1> kScoreFrameworkPatternsSig{"score_framework_patterns", {"code"}, 1};

PyObject* score_framework_patterns(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) {
    std::array<PyObject*, 1> a;
    if (!kn::bind(kScoreFrameworkPatternsSig, args, nargs, kwnames, a)) return nullptr;
    if (!str_arg(a[0], "code")) return nullptr;
    if (a[0] == Py_None) return kn::none_has_no_lower();

    KeywordSet found;
    automaton.scan(a[0], found);
    return Py_BuildValue(
        "(ddd)", limit(found.count_of(list_sets[NUMPY]) * per_keyword(numpy_keywords), 0.0, 1.0),
        limit(found.count_of(list_sets[PANDAS]) * per_keyword(pandas_keywords), 0.0, 1.0),
        limit(found.count_of(list_sets[SKLEARN]) * per_keyword(sklearn_keywords), 0.0, 1.0));
}

// ---------------------------------------------------------------- Workload decisions

// The major version of a compute capability text such as "8.6": the text
// before the first "." read as int() reads it.  Returns 1 with `*major` set,
// 0 when int() refuses the text (ValueError), -1 on any other error.
int capability_major(PyObject* text, int32_t* major) {
    Py_ssize_t n = PyUnicode_GET_LENGTH(text);
    Py_ssize_t dot = PyUnicode_FindChar(text, '.', 0, n, 1);
    if (dot == -2) return -1;
    Py_ssize_t end = dot < 0 ? n : dot;

    // Usual case: a few ASCII digits.
    if (end > 0 && end <= 9 && PyUnicode_IS_ASCII(text)) {
        const char* s = static_cast<const char*>(PyUnicode_DATA(text));
        int32_t value = 0;
        Py_ssize_t i = 0;
        while (i < end && s[i] >= '0' && s[i] <= '9')
            value = value * 10 + (s[i++] - '0');
        if (i == end) {
            *major = value;
            return 1;
        }
    }
    // Anything else (signs, spaces, underscores, other digits): int() itself.
    kn::Ref head = kn::Ref::steal(PyUnicode_Substring(text, 0, end));
    if (!head) return -1;
    kn::Ref value = kn::Ref::steal(PyLong_FromUnicodeObject(head.get(), 10));
    if (!value) {
        if (PyErr_ExceptionMatches(PyExc_ValueError) || PyErr_ExceptionMatches(PyExc_IndexError)) {
            PyErr_Clear();
            return 0;
        }
        return -1;
    }
    return kn::to_int32(value.get(), major) ? 1 : -1;
}

constexpr kn::Signature<5> kCalculateGpuSuitabilitySig{
    "calculate_gpu_suitability",
    {"gpu_operation_score", "gpu_data_size_score", "cpu_intensity", "gpu_available",
     "compute_capability"},
    5};

PyObject* calculate_gpu_suitability(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames) {
    std::array<PyObject*, 5> a;
    if (!kn::bind(kCalculateGpuSuitabilitySig, args, nargs, kwnames, a)) return nullptr;
    double op, data, cpu;
    bool available;
    if (!kn::to_double(a[0], &op) || !kn::to_double(a[1], &data) || !kn::to_double(a[2], &cpu) ||
        !kn::to_truth(a[3], &available) || !str_arg(a[4], "compute_capability"))
        return nullptr;
    if (!available) return PyFloat_FromDouble(0.0);

    double multiplier = 1.0;
    if (a[4] != Py_None && PyUnicode_GET_LENGTH(a[4]) > 0) {
        int32_t major = 0;
        int parsed = capability_major(a[4], &major);
        if (parsed < 0) return nullptr;
        if (parsed) multiplier = major > 7 ? 1.2 : major == 7 ? 1.1 : major == 6 ? 1.0 : 0.8;
    }
    double base = op * 0.6 + data * 0.4;
    double cpu_bonus = limit(cpu * 0.3, 0.0, 0.3);
    return PyFloat_FromDouble(limit(multiplier * (base + cpu_bonus), 0.0, 1.0));
}

constexpr kn::Signature<3> kEstimateGpuSpeedupSig{
    "estimate_gpu_speedup", {"gpu_operation_score", "gpu_data_size_score", "gpu_available"}, 3};

PyObject* estimate_gpu_speedup(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
    std::array<PyObject*, 3> a;
    if (!kn::bind(kEstimateGpuSpeedupSig, args, nargs, kwnames, a)) return nullptr;
    double op, data;
    bool available;
    if (!kn::to_double(a[0], &op) || !kn::to_double(a[1], &data) || !kn::to_truth(a[2], &available))
        return nullptr;
    if (!available || op == 0.0) return PyFloat_FromDouble(1.0);
    double base = op > 0.8 ? 15.0 : op > 0.6 ? 8.0 : op > 0.3 ? 4.0 : 2.0;
    return PyFloat_FromDouble(base + (0.5 * data) * base);
}

constexpr kn::Signature<4> kCalculateParallelizationPotentialSig{
    "calculate_parallelization_potential",
    {"base_parallel_score", "embarrassing_bonus", "sequential_penalty", "loop_chunking_potential"},
    4};

PyObject* calculate_parallelization_potential(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                              PyObject* kwnames) {
    std::array<PyObject*, 4> a;
    if (!kn::bind(kCalculateParallelizationPotentialSig, args, nargs, kwnames, a)) return nullptr;
    double x[4];
    if (!doubles(a, x)) return nullptr;
    double bonus = limit(x[1] * 0.3, 0.0, 0.7);
    double penalty = limit(x[2] * 0.2, 0.0, 0.5);
    return PyFloat_FromDouble(limit(x[0] + bonus - penalty + x[3] * 0.4, 0.0, 1.0));
}

// Workload pattern codes.
enum Pattern : long {
    MIXED = 0,
    CPU_INTENSIVE = 1,
    MEMORY_INTENSIVE = 2,
    PARALLEL_FRIENDLY = 3,
    SEQUENTIAL_PATTERN = 4,
    GPU_SUITABLE = 5,
    GPU_COMPUTE_INTENSIVE = 6,
    GPU_MEMORY_BOUND = 7,
    NUMPY_VECTORIZED = 8,
    PANDAS_DATAFRAME = 10,
    SKLEARN_TRAINING = 12,
};

constexpr kn::Signature<17> kDetermineWorkloadPatternSig{
    "determine_workload_pattern",
    {"cpu_intensity", "memory_intensity", "parallelization_potential", "gpu_suitability",
     "gpu_operation_score", "numpy_score", "pandas_score", "sklearn_score", "sequential_count",
     "embarrassing_count", "cpu_threshold", "memory_threshold", "gpu_threshold", "numpy_threshold",
     "pandas_threshold", "sklearn_threshold", "gpu_available"},
    17};

// The usual arguments of the decisions, read inline: an exact float, a
// compact exact int, True or False.  Anything else goes through the
// converters, which give the same values and raise the same errors.
inline bool quick_double(PyObject* o, double* out) {
    if (PyFloat_CheckExact(o)) {
        *out = PyFloat_AS_DOUBLE(o);
        return true;
    }
    return kn::to_double(o, out);
}

inline bool quick_int32(PyObject* o, int32_t* out) {
#if PY_VERSION_HEX >= 0x030C0000
    // A compact int has a single digit: it always fits 32 bits.
    if (PyLong_CheckExact(o) && PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(o))) {
        *out =
            static_cast<int32_t>(PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(o)));
        return true;
    }
#endif
    return kn::to_int32(o, out);
}

inline bool quick_truth(PyObject* o, bool* out) {
    if (o == Py_True || o == Py_False) {
        *out = o == Py_True;
        return true;
    }
    return kn::to_truth(o, out);
}

// The pattern codes as int objects, made at module set-up.
PyObject* pattern_codes[SKLEARN_TRAINING + 1] = {};

PyObject* determine_workload_pattern(PyObject*, PyObject* const* args, Py_ssize_t nargsf,
                                     PyObject* kwnames) {
    constexpr std::size_t nparams = kDetermineWorkloadPatternSig.params.size();
    // All arguments passed by position, as usual: read them where they are.
    std::array<PyObject*, nparams> bound;
    PyObject* const* a = args;
    if (kwnames || PyVectorcall_NARGS(nargsf) != static_cast<Py_ssize_t>(nparams)) {
        if (!kn::bind(kDetermineWorkloadPatternSig, args, nargsf, kwnames, bound)) return nullptr;
        a = bound.data();
    }
    double cpu, memory, potential, suitability, gpu_op, numpy, pandas, sklearn;
    int32_t sequential_count, embarrassing_count;
    double cpu_t, memory_t, gpu_t, numpy_t, pandas_t, sklearn_t;
    bool available;
    if (!quick_double(a[0], &cpu) || !quick_double(a[1], &memory) ||
        !quick_double(a[2], &potential) || !quick_double(a[3], &suitability) ||
        !quick_double(a[4], &gpu_op) || !quick_double(a[5], &numpy) ||
        !quick_double(a[6], &pandas) || !quick_double(a[7], &sklearn) ||
        !quick_int32(a[8], &sequential_count) || !quick_int32(a[9], &embarrassing_count) ||
        !quick_double(a[10], &cpu_t) || !quick_double(a[11], &memory_t) ||
        !quick_double(a[12], &gpu_t) || !quick_double(a[13], &numpy_t) ||
        !quick_double(a[14], &pandas_t) || !quick_double(a[15], &sklearn_t) ||
        !quick_truth(a[16], &available))
        return nullptr;

    Pattern code;
    if (sklearn > sklearn_t)
        code = SKLEARN_TRAINING;
    else if (pandas > pandas_t)
        code = PANDAS_DATAFRAME;
    else if (numpy > numpy_t)
        code = NUMPY_VECTORIZED;
    else if (available && suitability > gpu_t)
        code = (gpu_op > 0.7 && cpu > 0.6) ? GPU_COMPUTE_INTENSIVE
               : memory > 0.5              ? GPU_MEMORY_BOUND
                                           : GPU_SUITABLE;
    else if (embarrassing_count > 0 || potential > 0.6)
        code = PARALLEL_FRIENDLY;
    else if (cpu > cpu_t)
        code = CPU_INTENSIVE;
    else if (memory > memory_t)
        code = MEMORY_INTENSIVE;
    else if (sequential_count >= 3)
        code = SEQUENTIAL_PATTERN;
    else
        code = MIXED;
    return Py_NewRef(pattern_codes[code]);
}

constexpr kn::Signature<5> kUpdateAdaptiveThresholdSig{
    "update_adaptive_threshold",
    {"current_threshold", "success_rate", "learning_rate", "min_threshold", "max_threshold"},
    5};

PyObject* update_adaptive_threshold(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames) {
    std::array<PyObject*, 5> a;
    if (!kn::bind(kUpdateAdaptiveThresholdSig, args, nargs, kwnames, a)) return nullptr;
    double x[5];
    if (!doubles(a, x)) return nullptr;
    const double current = x[0], success = x[1], rate = x[2], lo = x[3], hi = x[4];
    double value = success > 0.8 ? current + rate : success >= 0.4 ? current : current - rate;
    if (value < lo || std::isnan(value)) return PyFloat_FromDouble(lo);
    return PyFloat_FromDouble(value > hi ? hi : value);
}

// ---------------------------------------------------------------- Module

PyMethodDef methods[] = {
    kn::def<quick_framework_score>(
        "quick_framework_score",
        "quick_framework_score($module, /, code, framework)\n--\n\n"
        "Regular-expression score of `code` for one framework (\"numpy\", \"pandas\" or\n"
        "\"sklearn\"): 0.1 per whole-word match, case-insensitive, at most 1.0; 0.0 for\n"
        "any other framework."),
    kn::def<score_indicators>(
        "score_indicators",
        "score_indicators($module, /, code, function_name)\n--\n\n"
        "Counts of the CPU, memory, parallel, GPU-operation, large-data,\n"
        "embarrassingly-parallel and sequential keywords found in the lower-cased\n"
        "code (GPU-operation and embarrassingly-parallel keywords also in the\n"
        "function name); each keyword counts once."),
    kn::def<normalize_scores>(
        "normalize_scores",
        "normalize_scores($module, /, cpu_score, memory_score, parallel_score, gpu_op_score, "
        "large_data_score)\n--\n\n"
        "The first five indicator counts scaled by their list sizes to 0.0-1.0."),
    kn::def<score_framework_patterns>(
        "score_framework_patterns",
        "score_framework_patterns($module, /, code)\n--\n\n"
        "(numpy_score, pandas_score, sklearn_score): the share of each framework's\n"
        "keywords found in the lower-cased code, each 0.0-1.0."),
    kn::def<calculate_gpu_suitability>(
        "calculate_gpu_suitability",
        "calculate_gpu_suitability($module, /, gpu_operation_score, gpu_data_size_score, "
        "cpu_intensity, gpu_available, compute_capability)\n--\n\n"
        "Suitability for GPU execution, 0.0-1.0, weighted by the GPU's compute\n"
        "capability (such as \"8.6\"); 0.0 without a GPU."),
    kn::def<estimate_gpu_speedup>(
        "estimate_gpu_speedup",
        "estimate_gpu_speedup($module, /, gpu_operation_score, gpu_data_size_score, "
        "gpu_available)\n--\n\n"
        "Expected speed-up ratio of GPU execution (1.0 = none)."),
    kn::def<calculate_parallelization_potential>(
        "calculate_parallelization_potential",
        "calculate_parallelization_potential($module, /, base_parallel_score, embarrassing_bonus, "
        "sequential_penalty, loop_chunking_potential)\n--\n\n"
        "Parallelisation potential, 0.0-1.0."),
    kn::def<determine_workload_pattern>(
        "determine_workload_pattern",
        "determine_workload_pattern($module, /, cpu_intensity, memory_intensity, "
        "parallelization_potential, gpu_suitability, gpu_operation_score, numpy_score, "
        "pandas_score, sklearn_score, sequential_count, embarrassing_count, cpu_threshold, "
        "memory_threshold, gpu_threshold, numpy_threshold, pandas_threshold, sklearn_threshold, "
        "gpu_available)\n--\n\n"
        "The workload pattern code: framework detection first, then GPU suitability,\n"
        "parallelism, CPU and memory intensity, sequential code; 0 (mixed) otherwise."),
    kn::def<update_adaptive_threshold>(
        "update_adaptive_threshold",
        "update_adaptive_threshold($module, /, current_threshold, success_rate, learning_rate, "
        "min_threshold, max_threshold)\n--\n\n"
        "A detection threshold moved by the learning rate after feedback: up above an\n"
        "0.8 success rate, down below 0.4, kept within the bounds."),
    kn::kEndOfMethods,
};

int jobscore_exec(PyObject* module) {
    static bool tables_built = false;
    if (!tables_built) {
        if (!build_keyword_tables()) {
            PyErr_SetString(PyExc_RuntimeError,
                            "jobscore: keyword tables do not fit the automaton");
            return -1;
        }
        tables_built = true;
    }
    for (long code = 0; code <= SKLEARN_TRAINING; ++code)
        if (!kn::create_once(pattern_codes[code], [code] { return PyLong_FromLong(code); }))
            return -1;
    if (!kn::bind_import(module, "re") || !kn::add_functions(module, methods) ||
        !kn::frame_finish(frame, module, "Native workload algorithms module loaded"))
        return -1;
    return 0;
}

}  // namespace

KN_DEFINE_MODULE(jobscore, frame,
                 "Scoring of a function's source text and workload decisions for the "
                 "workload analyser.",
                 jobscore_exec)
