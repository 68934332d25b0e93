// common/rules.cpp: verdict grammar and the domain keyword scan.
#include "common/rules.hpp"

#include <cstdint>

namespace sorvel::rules {

Word verdict_word(const text::CodePoints &s, text::Range head) noexcept {
    for (std::size_t i = head.begin; i < head.end; ++i)
        if (s[i] >= 0x80) return Word::Unknown;
    auto is = [&](std::string_view word) {
        if (head.size() != word.size()) return false;
        for (std::size_t i = 0; i < word.size(); ++i) {
            char32_t c = s[head.begin + i];
            if (c >= 'a' && c <= 'z') c -= 'a' - 'A';
            if (c != static_cast<unsigned char>(word[i])) return false;
        }
        return true;
    };
    if (is("CONVERGED")) return Word::Converged;
    if (is("OPEN")) return Word::Open;
    return Word::Other;
}

VerdictParts split_verdict(const text::CodePoints &s) noexcept {
    VerdictParts p;
    p.raw = text::strip(s);
    for (std::size_t i = p.raw.begin; i < p.raw.end; ++i) {
        if (s[i] != '|') continue;
        p.has_bar = true;
        p.head = text::strip(s, text::Range{p.raw.begin, i});
        p.tail = text::strip(s, text::Range{i + 1, p.raw.end});
        break;
    }
    return p;
}

Outcome verdict_outcome(const VerdictParts &p, Word word) noexcept {
    if (!p.has_bar) return Outcome::OpenRaw;
    if (word == Word::Converged && !p.tail.empty()) return Outcome::Converged;
    if (word == Word::Open) return p.tail.empty() ? Outcome::OpenDefault : Outcome::OpenReason;
    return Outcome::OpenRaw;
}

// Walked in this order; within a domain, keywords are tried in this order.
const std::array<Domain, 5> kDomains{{
    {"billing",
     {"refund", "charge", "invoice", "payment", "billing", "subscription", "price", "discount"}},
    {"security",
     {"password", "credential", "auth", "verify identity", "verification", "fraud", "phishing",
      "two-factor", "2fa", "pii"}},
    {"escalation", {"escalate", "supervisor", "manager", "human agent", "transfer to"}},
    {"fulfillment",
     {"ship", "shipping", "delivery", "tracking", "warehouse", "fulfillment", "order status",
      "carrier"}},
    {"retention", {"cancel", "churn", "retain", "win back", "loyalty", "renew", "renewal"}},
}};

namespace {

// The keywords grouped by their first byte, each with its domain's index,
// in the order of the table above.
struct Keyword {
    std::string_view word;
    std::size_t domain;
};
struct Index {
    std::array<std::uint8_t, 257> start{};  // keywords of byte b: [start[b], start[b + 1])
    std::vector<Keyword> words;

    Index() {
        for (int b = 0; b < 256; ++b) {
            start[static_cast<std::size_t>(b)] = static_cast<std::uint8_t>(words.size());
            for (std::size_t d = 0; d < kDomains.size(); ++d)
                for (std::string_view kw : kDomains[d].keywords)
                    if (static_cast<unsigned char>(kw[0]) == b) words.push_back({kw, d});
        }
        start[256] = static_cast<std::uint8_t>(words.size());
    }
};

const Index &keyword_index() {
    static const Index index;
    return index;
}

}  // namespace

std::size_t first_domain(std::string_view s) noexcept {
    // One pass over `s`: at each position only the keywords that begin with
    // its byte are tried, and only while they could still beat the best
    // domain found so far.
    const Index &index = keyword_index();
    std::size_t best = kDomains.size();
    for (std::size_t i = 0; i < s.size(); ++i) {
        auto b = static_cast<unsigned char>(s[i]);
        for (std::size_t k = index.start[b], e = index.start[b + 1u]; k < e; ++k) {
            const Keyword &kw = index.words[k];
            if (kw.domain >= best) break;  // grouped in table order
            std::size_t m = kw.word.size();
            if (s.size() - i < m) continue;
            std::size_t j = 1;  // the first byte is known to match
            while (j < m && s[i + j] == kw.word[j]) ++j;
            if (j == m) {
                best = kw.domain;
                if (best == 0) return 0;
                break;
            }
        }
    }
    return best;
}

}  // namespace sorvel::rules
