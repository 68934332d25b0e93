// common/rules.hpp: the rules of the modules that need no interpreter, as
// plain functions over code points and bytes. The bindings convert arguments
// and results around them; src/cpp/tests checks them without Python.
#pragma once

#include <array>
#include <cstddef>
#include <initializer_list>
#include <string_view>
#include <vector>

#include "common/text.hpp"

namespace sorvel::rules {

// --- facts and claims ------------------------------------------------------------

/// A fact's confidence is kept when it lies in [0.5, 1.0]; NaN never does.
constexpr bool confidence_in_bounds(double f) noexcept { return f >= 0.5 && f <= 1.0; }

/// The part of a subject, attribute or value text that is kept (stripped);
/// the triple is dropped when it is empty.
inline text::Range triple_member(const text::CodePoints &s) noexcept { return text::strip(s); }

// --- convergence verdict -----------------------------------------------------------

/// The verdict word in front of the bar.
enum class Word {
    Other,
    Converged,
    Open,
    Unknown,  // not ASCII: the caller upper-cases it with full Unicode rules
};

/// "CONVERGED" or "OPEN" in any ASCII letter case; Unknown when `head` holds
/// a code point beyond ASCII.
Word verdict_word(const text::CodePoints &s, text::Range head) noexcept;

/// The pieces of a stripped answer "head|tail" (split at the first bar).
struct VerdictParts {
    text::Range raw;         // the whole answer, stripped
    text::Range head, tail;  // each stripped; only with a bar
    bool has_bar = false;
};
VerdictParts split_verdict(const text::CodePoints &s) noexcept;

/// What the verdict is, once the word is known.
enum class Outcome {
    Converged,    // (True, tail)
    OpenReason,   // (False, tail)
    OpenDefault,  // (False, the default reason)
    OpenRaw,      // (False, raw)
};
Outcome verdict_outcome(const VerdictParts &parts, Word word) noexcept;

// --- directive domains ---------------------------------------------------------------

struct Domain {
    std::string_view name;
    std::initializer_list<std::string_view> keywords;  // lower-case ASCII, in order
};

/// The domains in the order they are tried; "general" is none of them.
extern const std::array<Domain, 5> kDomains;
constexpr std::string_view kGeneral = "general";

/// The index of the first domain, in table order, with a keyword inside the
/// lower-cased text `s` (kDomains.size() when none). `s` holds the text's
/// ASCII as it is and any other code point as a byte no keyword holds (0x80).
std::size_t first_domain(std::string_view s) noexcept;

// --- crew ordering ---------------------------------------------------------------------

/// Stable merge sort of `v`, highest first: before(x, y) is 1 when x ranks
/// strictly before y, 0 when not, -1 on failure (the sort stops and returns
/// false). It stays in bounds whatever `before` answers.
template <class T, class Before>
bool sort_ranked(std::vector<T> &v, Before before) {
    const std::size_t n = v.size();
    constexpr std::size_t kRun = 16;
    for (std::size_t lo = 0; lo < n; lo += kRun) {
        std::size_t hi = n < lo + kRun ? n : lo + kRun;
        for (std::size_t i = lo + 1; i < hi; ++i) {
            T item = v[i];
            std::size_t j = i;
            while (j > lo) {
                int c = before(item, v[j - 1]);
                if (c < 0) return false;
                if (!c) break;
                v[j] = v[j - 1];
                --j;
            }
            v[j] = item;
        }
    }
    std::vector<T> buf(n);
    for (std::size_t width = kRun; width < n; width *= 2) {
        for (std::size_t lo = 0; lo < n; lo += 2 * width) {
            std::size_t mid = n < lo + width ? n : lo + width;
            std::size_t hi = n < lo + 2 * width ? n : lo + 2 * width;
            std::size_t i = lo, j = mid, k = lo;
            while (i < mid && j < hi) {
                int c = before(v[j], v[i]);  // the right one only on a strict win
                if (c < 0) return false;
                buf[k++] = c ? v[j++] : v[i++];
            }
            while (i < mid) buf[k++] = v[i++];
            while (j < hi) buf[k++] = v[j++];
        }
        v.swap(buf);
    }
    return true;
}

}  // namespace sorvel::rules
