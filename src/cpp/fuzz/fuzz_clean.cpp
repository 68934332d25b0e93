// Answer cleaning (fence, then a "json" tag or one pair of quotes) and the
// trimming of a fact's members. Checks: the range equals the steps that
// text.hpp lists, done on a copy of the text, in every storage width; the
// result is stripped; cleaning it again changes nothing unless it still
// begins and ends with a fence (or, for free text, a quote).
#include "common/rules.hpp"
#include "fuzz/fuzz.hpp"

namespace {

namespace text = sorvel::text;

bool wrapped(const std::u32string &s, std::u32string_view mark) {
    return s.starts_with(mark) && s.ends_with(mark);
}

// The cleaning steps, one after the other, on copies.
std::u32string reference(const std::u32string &answer, text::Unwrap mode) {
    std::u32string s = fuzz::stripped(answer);
    if (wrapped(s, U"```")) {
        s = s.size() <= 6 ? U"" : fuzz::stripped(s.substr(3, s.size() - 6));
        if (mode == text::Unwrap::JsonTag && s.starts_with(U"json")) s = fuzz::stripped(s.substr(4));
    }
    if (mode == text::Unwrap::Quotes && wrapped(s, U"\""))
        s = s.size() <= 2 ? U"" : fuzz::stripped(s.substr(1, s.size() - 2));
    return s;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    fuzz::Views v(fuzz::decode({reinterpret_cast<const char *>(data), size}));
    for (text::Unwrap mode : {text::Unwrap::Quotes, text::Unwrap::JsonTag}) {
        const text::Range r = text::clean_answer(v.all[0], mode);
        FUZZ_CHECK(fuzz::within(r, v.units.size()));
        const std::u32string got = v.at(r);
        FUZZ_CHECK(got == reference(v.units, mode));
        FUZZ_CHECK(got == fuzz::stripped(got));
        for (const text::CodePoints &cp : v.all) FUZZ_CHECK(fuzz::same(text::clean_answer(cp, mode), r));

        fuzz::Views again(got);
        const bool layer_left = wrapped(got, U"```") || (mode == text::Unwrap::Quotes && wrapped(got, U"\""));
        if (!layer_left) FUZZ_CHECK(again.at(text::clean_answer(again.all[0], mode)) == got);
    }
    FUZZ_CHECK(fuzz::same(sorvel::rules::triple_member(v.all[0]), text::strip(v.all[0])));
    return 0;
}
