// Checks of the interpreter-free rules: plain asserts, no framework. Exits 0
// when every check holds; a failing assert aborts with its line.
#include <cassert>
#include <cmath>
#include <cstdio>
#include <limits>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "common/pattern.hpp"
#include "common/rules.hpp"
#include "common/text.hpp"

namespace text = sorvel::text;
namespace rules = sorvel::rules;

namespace {

// A text of code points wide enough for any test input.
struct Wide {
    std::u32string units;
    explicit Wide(std::u32string s) : units(std::move(s)) {}
    text::CodePoints cp() const { return {units.data(), units.size(), 4}; }
    std::u32string at(text::Range r) const { return units.substr(r.begin, r.size()); }
};

#if SORVEL_CXX_FLOAT_TEXT
std::string repr(double x) {
    std::string out;
    text::append_float_repr(out, x);
    return out;
}

std::string fixed3(double x) {
    std::string out;
    text::append_fixed3(out, x);
    return out;
}
#endif

std::string collapsed(std::string_view s) {
    std::string out;
    text::append_collapsed(out, s);
    return out;
}

void test_strip_and_clean() {
    Wide w(U"\u3000\t  a b \u2028\u0085");
    assert(w.at(text::strip(w.cp())) == U"a b");
    Wide zero_width(U"\u200bx\ufeff");  // not white space
    assert(text::strip(zero_width.cp()).size() == 3);

    struct Case {
        std::u32string in, quotes, json;
    };
    const Case cases[] = {
        {U"  \"An insight.\"\n", U"An insight.", U"\"An insight.\""},
        {U"```json\n{\"a\": 1}\n```", U"json\n{\"a\": 1}", U"{\"a\": 1}"},
        {U"```JSON\n[]\n```", U"JSON\n[]", U"JSON\n[]"},
        {U"``````", U"", U""},
        {U"````", U"", U""},
        {U"\"\"", U"", U"\"\""},
        {U"```\n\" quoted \"\n```", U"quoted", U"\" quoted \""},
        {U"plain", U"plain", U"plain"},
    };
    for (const Case &c : cases) {
        Wide w2(c.in);
        assert(w2.at(text::clean_answer(w2.cp(), text::Unwrap::Quotes)) == c.quotes);
        assert(w2.at(text::clean_answer(w2.cp(), text::Unwrap::JsonTag)) == c.json);
    }
}

void test_utf8_helpers() {
    assert(collapsed("\xe3\x80\x80 x y\xc2\x85") == "x y");
    assert(collapsed("\xed\xa0\x80") == "\xed\xa0\x80");  // a lone surrogate stays
    assert(collapsed(" a\t\tb\n\xe2\x80\xa8" "c  ") == "a b c");
    assert(collapsed(" \n ").empty());
    assert(collapsed("p\xe2\x80\x8bq") == "p\xe2\x80\x8bq");  // U+200B is not a space
}

void test_number_texts() {
#if SORVEL_CXX_FLOAT_TEXT  // else the interpreter writes floats: see format.hpp
    assert(repr(0.1) == "0.1");
    assert(repr(1.0) == "1.0");
    assert(repr(-0.0) == "-0.0");
    assert(repr(1e-5) == "1e-05");
    assert(repr(0.0001) == "0.0001");
    assert(repr(1e16) == "1e+16");
    assert(repr(123456789012345680.0) == "1.2345678901234568e+17");
    assert(repr(9999999999999998.0) == "9999999999999998.0");
    assert(repr(5e-324) == "5e-324");
    assert(repr(std::numeric_limits<double>::infinity()) == "inf");
    assert(repr(-std::numeric_limits<double>::infinity()) == "-inf");
    assert(repr(std::nan("")) == "nan");

    assert(fixed3(0.5) == "0.500");
    assert(fixed3(0.0625) == "0.062");  // an exact tie goes to the even digit
    assert(fixed3(0.1875) == "0.188");
    assert(fixed3(0.0005) == "0.001");  // just above the tie in binary
    assert(fixed3(-0.0) == "-0.000");
    assert(fixed3(-0.0001) == "-0.000");
    assert(fixed3(5e-324) == "0.000");
    assert(fixed3(1e22) == "10000000000000000000000.000");
    assert(fixed3(-std::nan("")) == "nan");
    assert(fixed3(-std::numeric_limits<double>::infinity()) == "-inf");
#endif

    std::string ints;
    text::append_int(ints, std::numeric_limits<long long>::min());
    assert(ints == "-9223372036854775808");
}

void test_verdicts() {
    struct Case {
        std::u32string in;
        rules::Outcome outcome;
        std::u32string text;  // the tail or the raw answer
    };
    const Case cases[] = {
        {U"CONVERGED|They agreed.", rules::Outcome::Converged, U"They agreed."},
        {U"  converged | done  ", rules::Outcome::Converged, U"done"},
        {U"CONVERGED|", rules::Outcome::OpenRaw, U"CONVERGED|"},
        {U"open|waiting", rules::Outcome::OpenReason, U"waiting"},
        {U"OPEN| ", rules::Outcome::OpenDefault, U""},
        {U"OPEN", rules::Outcome::OpenRaw, U"OPEN"},
        {U"CONVERGED: yes|no", rules::Outcome::OpenRaw, U"CONVERGED: yes|no"},
        {U"OPEN|a|b", rules::Outcome::OpenReason, U"a|b"},
        {U"", rules::Outcome::OpenRaw, U""},
    };
    for (const Case &c : cases) {
        Wide w(c.in);
        rules::VerdictParts p = rules::split_verdict(w.cp());
        rules::Word word = p.has_bar ? rules::verdict_word(w.cp(), p.head) : rules::Word::Other;
        rules::Outcome o = rules::verdict_outcome(p, word);
        assert(o == c.outcome);
        if (o == rules::Outcome::Converged || o == rules::Outcome::OpenReason)
            assert(w.at(p.tail) == c.text);
        if (o == rules::Outcome::OpenRaw) assert(w.at(p.raw) == c.text);
    }
    Wide dotted(U"\u0131pen|x");  // dotless i: left to full case mapping
    rules::VerdictParts p = rules::split_verdict(dotted.cp());
    assert(rules::verdict_word(dotted.cp(), p.head) == rules::Word::Unknown);
}

void test_domains() {
    auto domain = [](std::string_view s) {
        std::size_t d = rules::first_domain(s);
        return d == rules::kDomains.size() ? rules::kGeneral : rules::kDomains[d].name;
    };
    assert(domain("please escalate the refund") == "billing");  // table order wins
    assert(domain("ship it to the supervisor") == "escalation");
    assert(domain("enable 2fa") == "security");
    assert(domain("unauthorized") == "security");  // substrings count
    assert(domain("win back the customer") == "retention");
    assert(domain("hello") == "general");
    assert(domain("") == "general");
    assert(domain("refun") == "general");
    assert(domain("r\x80" "efund") == "general");  // a non-ASCII code point breaks a word
    for (const rules::Domain &d : rules::kDomains)
        for (std::string_view kw : d.keywords) assert(domain(kw) == d.name);
}

void test_ranking() {
    struct Item {
        double score;
        int order;
    };
    std::vector<Item> items;
    for (int i = 0; i < 100; ++i) items.push_back({double((i * 37) % 7), i});
    auto before = [](const Item &x, const Item &y) { return y.score < x.score ? 1 : 0; };
    assert(rules::sort_ranked(items, before));
    for (std::size_t i = 1; i < items.size(); ++i) {
        assert(items[i - 1].score >= items[i].score);
        if (items[i - 1].score == items[i].score) assert(items[i - 1].order < items[i].order);
    }
    // An answer that is no order at all still leaves every item in place once.
    std::vector<Item> odd = items;
    int calls = 0;
    assert(rules::sort_ranked(odd, [&](const Item &, const Item &) { return ++calls % 3 == 0; }));
    long sum = 0;
    for (const Item &it : odd) sum += it.order;
    assert(sum == 99 * 100 / 2);
    // A failing comparison stops the sort.
    assert(!rules::sort_ranked(odd, [](const Item &, const Item &) { return -1; }));
}

void test_templates() {
    const std::string_view names[] = {"n", "body"};
    text::Pattern p("{{n}} = {n}: {body}}}", names);
    const std::string_view values[] = {"3", "{n}"};  // inserted text is never rescanned
    auto fill = [&](int late) {
        std::string out;
        p.render_with(out, values, late, [&](std::string &o) { o.append("late"); });
        return out;
    };
    assert(fill(-1) == "{n} = 3: {n}}");  // -1: no slot filled in place, literals kept
    assert(fill(1) == "{n} = 3: late}");
    for (std::string_view bad : {"{n", "}", "{x}", "a } b"}) {
        bool refused = false;
        try {
            text::Pattern(bad, names);
        } catch (const std::invalid_argument &) {
            refused = true;
        }
        assert(refused);
    }
}

void test_facts() {
    assert(rules::confidence_in_bounds(0.5) && rules::confidence_in_bounds(1.0));
    assert(!rules::confidence_in_bounds(0.49) && !rules::confidence_in_bounds(1.01));
    assert(!rules::confidence_in_bounds(std::nan("")));
    Wide blank(U" \u00a0\n");
    assert(rules::triple_member(blank.cp()).empty());
    Wide value(U"  Paris\n");
    assert(value.at(rules::triple_member(value.cp())) == U"Paris");
}

}  // namespace

int main() {
    test_strip_and_clean();
    test_utf8_helpers();
    test_number_texts();
    test_verdicts();
    test_domains();
    test_ranking();
    test_templates();
    test_facts();
    std::puts("rules: all checks passed");
    return 0;
}
