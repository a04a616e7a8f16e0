// Finds which of a fixed set of ASCII keywords occur in the lower-cased form
// of a Python string, in one pass over the string's own storage.
//
// The keywords are compiled once into a deterministic Aho-Corasick automaton
// over a small alphabet: one class per character that occurs in a keyword,
// plus class 0 for every other character.  Upper-case ASCII letters share the
// class of their lower-case letter, so ASCII text is lower-cased as it is
// read; no lower-cased copy of the text is made.
//
// Beyond ASCII, `str.lower()` can only matter to ASCII keywords where a
// character lowers to something containing ASCII.  In the Unicode database
// only two characters do: U+0130 (capital I with dot above, lowering to
// "i" + U+0307) and U+212A (Kelvin sign, lowering to "k").  Every other
// non-ASCII character lowers to non-ASCII characters only, which can be part
// of no keyword, so the walk simply restarts there.  The tests check this
// against the running interpreter's `str.lower()` for every code point.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <string_view>
#include <vector>

namespace jobscore {

// A set of keyword ids, one bit each.
template <std::size_t Words>
struct KeywordSet {
    std::array<uint64_t, Words> bits{};

    void insert(std::size_t id) { bits[id / 64] |= uint64_t{1} << (id % 64); }
    KeywordSet& operator|=(const KeywordSet& o) {
        for (std::size_t i = 0; i < Words; ++i)
            bits[i] |= o.bits[i];
        return *this;
    }
    bool empty() const {
        for (uint64_t w : bits)
            if (w) return false;
        return true;
    }
    // How many ids of `list` are in this set.
    int count_of(const KeywordSet& list) const {
        int n = 0;
        for (std::size_t i = 0; i < Words; ++i)
            n += std::popcount(bits[i] & list.bits[i]);
        return n;
    }
};

template <std::size_t Words>
class KeywordAutomaton {
public:
    using Set = KeywordSet<Words>;
    static constexpr std::size_t max_keywords = Words * 64;

    // Compiles the keywords; keyword i gets id i.  Keywords must be non-empty
    // and made of lower-case ASCII (no 'A'-'Z'), and there may be at most
    // `max_keywords` of them.  Returns false when they do not fit.
    bool build(const std::vector<std::string_view>& keywords) {
        if (keywords.size() > max_keywords) return false;
        lengths_.clear();
        longest_ = 0;
        for (std::string_view k : keywords) {
            lengths_.push_back(static_cast<Py_ssize_t>(k.size()));
            longest_ = std::max(longest_, lengths_.back());
        }

        // Alphabet: one class per keyword character; 0 for all others.
        std::array<uint8_t, 128> ascii_class{};
        nclasses_ = 1;
        for (std::string_view k : keywords) {
            if (k.empty()) return false;
            for (char ch : k) {
                unsigned c = static_cast<unsigned char>(ch);
                if (c >= 128 || (c >= 'A' && c <= 'Z')) return false;
                if (!ascii_class[c]) ascii_class[c] = static_cast<uint8_t>(nclasses_++);
            }
        }
        for (unsigned c = 0; c < 256; ++c) {
            unsigned lower = (c >= 'A' && c <= 'Z') ? c + ('a' - 'A') : c;
            class_of_[c] = lower < 128 ? ascii_class[lower] : 0;
        }

        // The trie: child[state * nclasses + class], -1 where there is none.
        const std::size_t nc = nclasses_;
        std::vector<int32_t> child(nc, -1);
        std::vector<Set> out(1);
        for (std::size_t id = 0; id < keywords.size(); ++id) {
            std::size_t s = 0;
            for (char ch : keywords[id]) {
                std::size_t k = class_of_[static_cast<unsigned char>(ch)];
                if (child[s * nc + k] < 0) {
                    child[s * nc + k] = static_cast<int32_t>(out.size());
                    out.emplace_back();
                    child.resize(child.size() + nc, -1);
                }
                s = static_cast<std::size_t>(child[s * nc + k]);
            }
            out[s].insert(id);
        }
        const std::size_t nstates = out.size();
        // Offsets (state * nclasses) live in the low 16 bits of an entry.
        if (nstates * nc > 0xFFFF) return false;

        // Breadth-first: failure links, full transitions, and each state's
        // output joined with the outputs along its failure chain.
        std::vector<uint32_t> next(nstates * nc, 0);
        std::vector<uint32_t> fail(nstates, 0);
        std::deque<uint32_t> queue;
        for (std::size_t k = 0; k < nc; ++k) {
            int32_t v = child[k];
            if (v >= 0) {
                next[k] = static_cast<uint32_t>(v);
                queue.push_back(static_cast<uint32_t>(v));
            }
        }
        while (!queue.empty()) {
            uint32_t u = queue.front();
            queue.pop_front();
            for (std::size_t k = 0; k < nc; ++k) {
                int32_t v = child[u * nc + k];
                if (v >= 0) {
                    fail[v] = next[fail[u] * nc + k];
                    out[v] |= out[fail[v]];
                    next[u * nc + k] = static_cast<uint32_t>(v);
                    queue.push_back(static_cast<uint32_t>(v));
                } else {
                    next[u * nc + k] = next[fail[u] * nc + k];
                }
            }
        }

        // Encode: low 16 bits the target's row offset, high 16 bits the index
        // of the target's output set (0 when it has none).
        outputs_.assign(1, Set{});
        std::vector<uint32_t> out_index(nstates, 0);
        for (std::size_t s = 0; s < nstates; ++s) {
            if (out[s].empty()) continue;
            out_index[s] = static_cast<uint32_t>(outputs_.size());
            outputs_.push_back(out[s]);
        }
        if (outputs_.size() > 0xFFFF) return false;
        table_.resize(nstates * nc);
        for (std::size_t i = 0; i < table_.size(); ++i) {
            uint32_t target = next[i];
            table_[i] = static_cast<uint32_t>(target * nc) | (out_index[target] << 16);
        }
        return true;
    }

    // Adds to `found` every keyword that occurs in `text.lower()`.  `text`
    // must be a str; any of its storage kinds is read in place.
    void scan(PyObject* text, Set& found) const {
        const void* data = PyUnicode_DATA(text);
        Py_ssize_t n = PyUnicode_GET_LENGTH(text);
        switch (PyUnicode_KIND(text)) {
        case PyUnicode_1BYTE_KIND:
            scan(static_cast<const Py_UCS1*>(data), n, found);
            break;
        case PyUnicode_2BYTE_KIND:
            scan(static_cast<const Py_UCS2*>(data), n, found);
            break;
        default:
            scan(static_cast<const Py_UCS4*>(data), n, found);
            break;
        }
    }

    // A long text is walked as `lanes` stretches stepped together (see
    // walk_lanes): lane l holds the starts from begin(l) up to end(l).
    static constexpr Py_ssize_t lanes = 4;
    struct Split {
        Py_ssize_t n, seg, count;
        Py_ssize_t begin(Py_ssize_t l) const { return l * seg; }
        Py_ssize_t end(Py_ssize_t l) const { return l + 1 == count ? n : (l + 1) * seg; }
    };
    static Split split(Py_ssize_t n) {
        if (n < 64 * lanes) return {n, n, 1};
        return {n, n / lanes, lanes};
    }

    // For an ASCII `text`, whose lower-casing keeps every index: calls
    // `on_start(lane, start, last)` once for each occurrence of a keyword of
    // `wanted` in any letter case, `start` and `last` being the indexes of its
    // first and last characters, by the lane of split(len(text)) that holds
    // `start`; within a lane in the order of `last`.
    template <typename OnStart>
    void for_each_start(PyObject* text, const Set& wanted, OnStart&& on_start) const {
        const Py_ssize_t n = PyUnicode_GET_LENGTH(text);
        const Split s = split(n);
        walk_lanes(PyUnicode_1BYTE_DATA(text), n,
                   [&](Py_ssize_t lane, const Set& out, Py_ssize_t last) {
                       const Py_ssize_t end = s.end(lane);
                       for (std::size_t w = 0; w < Words; ++w) {
                           for (uint64_t b = out.bits[w] & wanted.bits[w]; b; b &= b - 1) {
                               Py_ssize_t start = last + 1 - lengths_[w * 64 + std::countr_zero(b)];
                               // Past its end a lane only finishes the
                               // occurrences that started in it.
                               if (start < end) on_start(lane, start, last);
                           }
                       }
                   });
    }

private:
    static constexpr uint32_t offset_mask = 0xFFFF;

    // The tables a walk reads, copied into locals before it starts, so that
    // a call made for an output cannot make the compiler read them anew at
    // every step.
    struct Tables {
        const uint32_t* table;
        const uint8_t* class_of;
        const Set* outputs;
    };
    Tables tables() const { return {table_.data(), class_of_.data(), outputs_.data()}; }

    // Moves `offset` on by one code point `c` of the text (at index `i`),
    // as its lower-casing reads; returns true when `on_output` stops the walk.
    template <typename OnOutput>
    static inline bool feed(const Tables& t, uint32_t& offset, Py_UCS4 c, Py_ssize_t i,
                            OnOutput& on_output) {
        auto step = [&](uint32_t k) {
            uint32_t e = t.table[offset + k];
            offset = e & offset_mask;
            return e > offset_mask && on_output(t.outputs[e >> 16], i);
        };
        if (c < 256) return step(t.class_of[c]);                 // Latin-1 lowers to Latin-1
        if (c == 0x212A) return step(t.class_of[uint8_t{'k'}]);  // Kelvin sign lowers to "k"
        if (c == 0x0130) {                                       // lowers to "i" + U+0307
            bool stop = step(t.class_of[uint8_t{'i'}]);
            offset = 0;
            return stop;
        }
        offset = 0;  // lowers to non-ASCII only: no keyword spans it
        return false;
    }

    // Walks the text in order; `on_output(set, i)` is called with the
    // keywords ending at each index `i` where some end, and stops the walk by
    // returning true.  Returns whether it was stopped.
    template <typename Ch, typename OnOutput>
    bool walk(const Ch* p, Py_ssize_t n, OnOutput&& on_output) const {
        const Tables t = tables();
        uint32_t offset = 0;
        for (Py_ssize_t i = 0; i < n; ++i)
            if (feed(t, offset, p[i], i, on_output)) return true;
        return false;
    }

    // A long text is walked as four overlapping lanes stepped together:
    // each step waits on the previous one's table load, and four independent
    // chains keep the processor busy.  Lane l starts afresh at split's
    // begin(l), so it sees exactly the occurrences that start there or later,
    // and runs on past its end by the longest keyword less one character, so
    // every occurrence lies wholly in the lane where it starts.
    // `on_output(lane, set, i)` is called with the keywords ending at index
    // `i` in that lane; within a lane in the order of `i`.  Kept out of line:
    // inlined into a large caller, the lanes' states went through memory.
    template <typename Ch, typename OnOutput>
    [[gnu::noinline]] void walk_lanes(const Ch* p, Py_ssize_t n, OnOutput&& on_output) const {
        const Split s = split(n);
        auto in_lane = [&on_output](Py_ssize_t l) {
            return [&on_output, l](const Set& out, Py_ssize_t i) {
                on_output(l, out, i);
                return false;
            };
        };
        if (s.count == 1) {
            auto only = in_lane(0);
            walk(p, n, only);
            return;
        }
        static_assert(lanes == 4);
        decltype(in_lane(0)) out[lanes] = {in_lane(0), in_lane(1), in_lane(2), in_lane(3)};
        const Tables t = tables();
        const Py_ssize_t seg = s.seg;
        const Py_ssize_t overlap = longest_ - 1;
        // Each lane's state in a scalar of its own, which stays in a register.
        uint32_t o0 = 0, o1 = 0, o2 = 0, o3 = 0;
        for (Py_ssize_t j = 0; j < seg; ++j) {
            feed(t, o0, p[j], j, out[0]);
            feed(t, o1, p[seg + j], seg + j, out[1]);
            feed(t, o2, p[2 * seg + j], 2 * seg + j, out[2]);
            feed(t, o3, p[3 * seg + j], 3 * seg + j, out[3]);
        }
        uint32_t off[lanes] = {o0, o1, o2, o3};
        // Lanes 0-2 run on into the next lane; the last one to the end.
        for (Py_ssize_t l = 0; l < lanes - 1; ++l)
            for (Py_ssize_t i = s.end(l), end = std::min(n, i + overlap); i < end; ++i)
                feed(t, off[l], p[i], i, out[l]);
        for (Py_ssize_t i = lanes * seg; i < n; ++i)
            feed(t, off[lanes - 1], p[i], i, out[lanes - 1]);
    }

    // The set of keywords found does not depend on the order of the walk.
    template <typename Ch>
    void scan(const Ch* p, Py_ssize_t n, Set& found) const {
        Set acc = found;
        walk_lanes(p, n, [&](Py_ssize_t, const Set& out, Py_ssize_t) { acc |= out; });
        found = acc;
    }

    std::array<uint8_t, 256> class_of_{};
    uint32_t nclasses_ = 0;
    std::vector<uint32_t> table_;
    std::vector<Set> outputs_;
    std::vector<Py_ssize_t> lengths_;  // by keyword id
    Py_ssize_t longest_ = 0;
};

}  // namespace jobscore
