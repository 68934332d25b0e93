// rule_domains: the fixed domains that directives are tagged with, the two
// constants of the evolution step's in-cycle filtering, and the keyword
// classifier (lower-cased substring search, first domain in order wins).
#include <nanobind/nanobind.h>

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/py.hpp"

namespace nb = nanobind;
namespace sp = sorvel::py;

namespace {

struct Domain {
    const char *name;
    std::initializer_list<std::string_view> keywords;
};

// Walked in this order; within a domain, keywords are tried in this order.
// Every keyword is lower-case ASCII.
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

// The domain names as str objects, set once while the module loads; the
// last is "general".
std::array<PyObject *, kDomains.size() + 1> g_domain{};
PyObject *g_lower = nullptr;  // str.lower

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

// The index of the first domain, in table order, with a keyword inside the
// lower-cased bytes `s` (kDomains.size() when none). One pass over `s`:
// at each position only the keywords that begin with its byte are tried,
// and only while they could still beat the best domain found so far.
std::size_t first_domain(std::string_view s) noexcept {
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

// Every keyword is ASCII, so a lower-cased text is searched as bytes in
// which each non-ASCII code point stands as 0x80, a byte no keyword holds.
template <typename Unit, bool Lower>
std::string_view narrow(const void *data, std::size_t n, char *small, std::size_t small_size,
                        std::string &large) {
    char *out = small;
    if (n > small_size) {
        large.resize(n);
        out = large.data();
    }
    const auto *units = static_cast<const Unit *>(data);
    for (std::size_t i = 0; i < n; ++i) {
        auto c = static_cast<std::uint32_t>(units[i]);
        if (Lower && c >= 'A' && c <= 'Z') c += 32;
        out[i] = static_cast<char>(c < 0x80 ? c : 0x80);
    }
    return {out, n};
}

nb::str classify_directive_domain(nb::handle text) {
    sp::require_str(text, "text");
    PyObject *o = text.ptr();
    char small[512];
    std::string large;
    std::string_view bytes;
    if (PyUnicode_IS_ASCII(o)) {
        // ASCII lower-cases byte for byte.
        bytes = narrow<std::uint8_t, true>(PyUnicode_DATA(o),
                                           static_cast<std::size_t>(PyUnicode_GET_LENGTH(o)),
                                           small, sizeof small, large);
    } else {
        // Full Unicode case mapping, exactly as str.lower does it (one code
        // point may become several, as U+0130 does; U+212A becomes k).
        nb::object lowered = nb::steal(PyObject_CallOneArg(g_lower, o));
        if (!lowered.is_valid()) throw nb::python_error();
        sorvel::text::CodePoints cp = sp::code_points(lowered);
        switch (cp.width) {
        case 1: bytes = narrow<std::uint8_t, false>(cp.data, cp.size, small, sizeof small, large); break;
        case 2: bytes = narrow<std::uint16_t, false>(cp.data, cp.size, small, sizeof small, large); break;
        default: bytes = narrow<std::uint32_t, false>(cp.data, cp.size, small, sizeof small, large); break;
        }
    }
    return nb::borrow<nb::str>(g_domain[first_domain(bytes)]);
}

}  // namespace

NB_MODULE(rule_domains, m) {
    sp::init();
    m.doc() = "Directive domains and the keyword classifier behind the evolution step's "
              "diversity filter.";

    g_lower = nb::object(nb::handle(reinterpret_cast<PyObject *>(&PyUnicode_Type)).attr("lower"))
                  .release()
                  .ptr();
    nb::dict keywords;
    for (std::size_t d = 0; d < kDomains.size(); ++d) {
        g_domain[d] = sp::intern(kDomains[d].name);
        nb::list words;
        for (std::string_view kw : kDomains[d].keywords)
            words.append(nb::str(kw.data(), kw.size()));
        keywords[nb::handle(g_domain[d])] = nb::tuple(words);
    }
    g_domain.back() = sp::intern("general");
    (void)keyword_index();

    nb::list all;
    for (PyObject *d : g_domain) all.append(nb::handle(d));
    m.attr("DOMAIN_GENERAL") = nb::handle(g_domain.back());
    m.attr("DIRECTIVE_DOMAINS") = nb::frozenset(all);
    m.attr("EVOLVE_DEDUP_THRESHOLD") = nb::float_(0.85);
    m.attr("EVOLVE_MAX_PER_DOMAIN") = nb::int_(1);
    m.attr("_DOMAIN_KEYWORDS") = keywords;

    m.def("classify_directive_domain", &classify_directive_domain, nb::arg("text"),
          nb::sig("def classify_directive_domain(text: str) -> str"),
          "The first domain, in the fixed order, one of whose keywords occurs in the\n"
          "lower-cased text; \"general\" when none does.");

    m.attr("__all__") = sp::names({"DIRECTIVE_DOMAINS", "DOMAIN_GENERAL", "EVOLVE_DEDUP_THRESHOLD",
                                   "EVOLVE_MAX_PER_DOMAIN", "classify_directive_domain"});
}
