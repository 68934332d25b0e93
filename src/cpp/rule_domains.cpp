// rule_domains: the fixed domains that directives are tagged with, the two
// constants of the evolution step's in-cycle filtering, and the keyword
// classifier (lower-cased substring search, first domain in order wins).
#include <nanobind/nanobind.h>

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "common/py.hpp"
#include "common/rules.hpp"

namespace nb = nanobind;
namespace sp = sorvel::py;
namespace rules = sorvel::rules;

namespace {

// Created while the module loads and never changed or released afterwards.
struct State {
    // The domain names as str objects; the last is "general".
    std::array<PyObject *, rules::kDomains.size() + 1> domain;
    PyObject *lower;  // str.lower
};
const State *g = nullptr;

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
        nb::object lowered = nb::steal(PyObject_CallOneArg(g->lower, o));
        if (!lowered.is_valid()) throw nb::python_error();
        sorvel::text::CodePoints cp = sp::code_points(lowered);
        switch (cp.width) {
        case 1: bytes = narrow<std::uint8_t, false>(cp.data, cp.size, small, sizeof small, large); break;
        case 2: bytes = narrow<std::uint16_t, false>(cp.data, cp.size, small, sizeof small, large); break;
        default: bytes = narrow<std::uint32_t, false>(cp.data, cp.size, small, sizeof small, large); break;
        }
    }
    return nb::borrow<nb::str>(g->domain[rules::first_domain(bytes)]);
}

nb::str text_of(std::string_view s) { return nb::str(s.data(), s.size()); }

}  // namespace

NB_MODULE(rule_domains, m) {
    sp::init();
    m.doc() = "Directive domains and the keyword classifier behind the evolution step's "
              "diversity filter.";

    auto *state = new State{};
    state->lower =
        nb::object(nb::handle(reinterpret_cast<PyObject *>(&PyUnicode_Type)).attr("lower"))
            .release()
            .ptr();
    // An ordered, read-only map from each domain to the tuple of its keywords.
    nb::dict keywords;
    for (std::size_t d = 0; d < rules::kDomains.size(); ++d) {
        state->domain[d] = sp::intern(std::string(rules::kDomains[d].name).c_str());
        nb::list words;
        for (std::string_view kw : rules::kDomains[d].keywords) words.append(text_of(kw));
        keywords[nb::handle(state->domain[d])] = nb::tuple(words);
    }
    state->domain.back() = sp::intern(std::string(rules::kGeneral).c_str());
    g = state;

    nb::list all;
    for (PyObject *d : g->domain) all.append(nb::handle(d));
    m.attr("DOMAIN_GENERAL") = nb::handle(g->domain.back());
    m.attr("DIRECTIVE_DOMAINS") = nb::frozenset(all);
    m.attr("EVOLVE_DEDUP_THRESHOLD") = nb::float_(0.85);
    m.attr("EVOLVE_MAX_PER_DOMAIN") = nb::int_(1);
    nb::object proxy = nb::steal(PyDictProxy_New(keywords.ptr()));
    if (!proxy.is_valid()) throw nb::python_error();
    m.attr("_DOMAIN_KEYWORDS") = proxy;

    m.def("classify_directive_domain", &classify_directive_domain, sp::arg("text"),
          nb::sig("def classify_directive_domain(text: str) -> str"),
          "The first domain, in the fixed order, one of whose keywords occurs in the\n"
          "lower-cased text; \"general\" when none does.");

    m.attr("__all__") = sp::names({"DIRECTIVE_DOMAINS", "DOMAIN_GENERAL", "EVOLVE_DEDUP_THRESHOLD",
                                   "EVOLVE_MAX_PER_DOMAIN", "classify_directive_domain"});
}
