// rule_domains: the fixed domains that directives are tagged with, the two
// constants of the evolution step's in-cycle filtering, and the keyword
// classifier (lower-cased substring search, first domain in order wins).
#include <nanobind/nanobind.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

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

// True when the ASCII `needle` occurs in the code units `hay`.
template <typename Unit>
bool contains(const Unit *hay, std::size_t n, std::string_view needle) noexcept {
    std::size_t m = needle.size();
    if (m > n) return false;
    const Unit first = static_cast<unsigned char>(needle[0]);
    for (std::size_t i = 0, last = n - m; i <= last; ++i) {
        if (hay[i] != first) continue;
        std::size_t k = 1;
        while (k < m && hay[i + k] == static_cast<unsigned char>(needle[k])) ++k;
        if (k == m) return true;
    }
    return false;
}

template <typename Unit>
PyObject *classify(const Unit *hay, std::size_t n) noexcept {
    for (std::size_t d = 0; d < kDomains.size(); ++d)
        for (std::string_view kw : kDomains[d].keywords)
            if (contains(hay, n, kw)) return g_domain[d];
    return g_domain.back();
}

PyObject *classify_bytes(std::string_view s) noexcept {
    for (std::size_t d = 0; d < kDomains.size(); ++d)
        for (std::string_view kw : kDomains[d].keywords)
            if (s.find(kw) != std::string_view::npos) return g_domain[d];
    return g_domain.back();
}

nb::str classify_directive_domain(nb::handle text) {
    sp::require_str(text, "text");
    PyObject *o = text.ptr();
    PyObject *domain;
    if (PyUnicode_IS_ASCII(o)) {
        // ASCII lower-cases byte for byte.
        std::size_t n = static_cast<std::size_t>(PyUnicode_GET_LENGTH(o));
        const auto *src = static_cast<const unsigned char *>(PyUnicode_DATA(o));
        std::string lowered(n, '\0');
        for (std::size_t i = 0; i < n; ++i) {
            unsigned char c = src[i];
            lowered[i] = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
        }
        domain = classify_bytes(lowered);
    } else {
        // Full Unicode case mapping, exactly as str.lower does it (one code
        // point may become several, as U+0130 does).
        nb::object lowered = nb::steal(PyObject_CallOneArg(g_lower, o));
        if (!lowered.is_valid()) throw nb::python_error();
        sorvel::text::CodePoints cp = sp::code_points(lowered);
        switch (cp.width) {
        case 1:
            domain = classify_bytes({static_cast<const char *>(cp.data), cp.size});
            break;
        case 2:
            domain = classify(static_cast<const std::uint16_t *>(cp.data), cp.size);
            break;
        default:
            domain = classify(static_cast<const std::uint32_t *>(cp.data), cp.size);
            break;
        }
    }
    return nb::borrow<nb::str>(domain);
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
