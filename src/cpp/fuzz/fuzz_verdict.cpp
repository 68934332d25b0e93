// The convergence verdict. Checks: the outcome and the range it returns
// equal the verdict's steps done on a copy of the answer (split at the
// first bar, strip both parts, compare the upper-cased word), in every
// storage width; a word left to full case mapping holds a non-ASCII code
// point.
#include "common/rules.hpp"
#include "fuzz/fuzz.hpp"

namespace text = sorvel::text;
namespace rules = sorvel::rules;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    fuzz::Views v(fuzz::decode({reinterpret_cast<const char *>(data), size}));
    const std::u32string raw = fuzz::stripped(v.units);
    const std::size_t bar = raw.find(U'|');
    std::u32string token, summary;
    if (bar != std::u32string::npos) {
        token = fuzz::stripped(std::u32string_view(raw).substr(0, bar));
        summary = fuzz::stripped(std::u32string_view(raw).substr(bar + 1));
    }
    bool ascii = true;
    for (char32_t &c : token) {
        ascii = ascii && c < 0x80;
        if (c >= U'a' && c <= U'z') c -= U'a' - U'A';
    }

    rules::Outcome expected = rules::Outcome::OpenRaw;
    if (bar != std::u32string::npos) {
        if (token == U"CONVERGED" && !summary.empty()) expected = rules::Outcome::Converged;
        if (token == U"OPEN") expected = summary.empty() ? rules::Outcome::OpenDefault : rules::Outcome::OpenReason;
    }

    for (const text::CodePoints &cp : v.all) {
        const rules::VerdictParts p = rules::split_verdict(cp);
        FUZZ_CHECK(p.has_bar == (bar != std::u32string::npos));
        FUZZ_CHECK(fuzz::within(p.raw, v.units.size()) && v.at(p.raw) == raw);
        rules::Word word = rules::Word::Other;
        if (p.has_bar) {
            FUZZ_CHECK(fuzz::within(p.head, v.units.size()) && fuzz::within(p.tail, v.units.size()));
            FUZZ_CHECK(v.at(p.tail) == summary);
            word = rules::verdict_word(cp, p.head);
            // Beyond ASCII the binding upper-cases with full Unicode rules.
            FUZZ_CHECK((word == rules::Word::Unknown) == !ascii);
            if (word == rules::Word::Unknown) continue;
        }
        const rules::Outcome o = rules::verdict_outcome(p, word);
        FUZZ_CHECK(o == expected);
    }
    return 0;
}
