// White-space strip and split. Checks: every code point is classified as
// the set listed in text.hpp says; strip removes white space only, leaves
// none at either end, is idempotent and gives the same range in every
// storage width; the split of UTF-8 text equals a split of its code points,
// and splitting its own result changes nothing.
#include "fuzz/fuzz.hpp"

namespace {

bool listed_space(char32_t c) {
    return (c >= 0x09 && c <= 0x0D) || (c >= 0x1C && c <= 0x20) || c == 0x85 || c == 0xA0 ||
           c == 0x1680 || (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 ||
           c == 0x202F || c == 0x205F || c == 0x3000;
}

std::string collapsed(std::string_view s) {
    std::string out;
    sorvel::text::append_collapsed(out, s);
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    namespace text = sorvel::text;
    std::string_view bytes(reinterpret_cast<const char *>(data), size);
    fuzz::Views v(fuzz::decode(bytes));
    const std::u32string &u = v.units;
    for (char32_t c : u) FUZZ_CHECK(text::is_space(c) == listed_space(c));

    text::Range r = text::strip(v.all[0]);
    FUZZ_CHECK(fuzz::within(r, u.size()));
    for (std::size_t i = 0; i < u.size(); ++i)
        if (i < r.begin || i >= r.end) FUZZ_CHECK(text::is_space(u[i]));
    FUZZ_CHECK(r.empty() || (!text::is_space(u[r.begin]) && !text::is_space(u[r.end - 1])));
    FUZZ_CHECK(fuzz::same(text::strip(v.all[0], r), r));
    for (const text::CodePoints &cp : v.all) FUZZ_CHECK(fuzz::same(text::strip(cp), r));

    // The split, on code points: words at runs of white space, one blank
    // between them.
    std::u32string words;
    for (std::size_t i = 0; i < u.size();) {
        while (i < u.size() && text::is_space(u[i])) ++i;
        std::size_t w = i;
        while (i < u.size() && !text::is_space(u[i])) ++i;
        if (i > w) words.append(words.empty() ? U"" : U" ").append(u, w, i - w);
    }
    const std::string utf8 = fuzz::encode(u);
    const std::string once = collapsed(utf8);
    FUZZ_CHECK(once == fuzz::encode(words));
    FUZZ_CHECK(collapsed(once) == once);
    collapsed(bytes);  // not UTF-8 at all: stays in bounds
    return 0;
}
