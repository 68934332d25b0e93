// The domain classifier's keyword scan. Checks: the one-pass scan gives the
// domain that the plain walk (domains in order, each keyword searched over
// the whole text) gives, on any bytes and on the narrowed lower-case text
// the binding hands it.
#include "common/rules.hpp"
#include "fuzz/fuzz.hpp"

namespace {

namespace rules = sorvel::rules;

std::size_t walked(std::string_view s) {
    for (std::size_t d = 0; d < rules::kDomains.size(); ++d)
        for (std::string_view kw : rules::kDomains[d].keywords)
            if (s.find(kw) != std::string_view::npos) return d;
    return rules::kDomains.size();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    // Each view in a buffer of exactly its size.
    std::vector<char> bytes(data, data + size);
    std::string_view s(bytes.data(), bytes.size());
    FUZZ_CHECK(rules::first_domain(s) == walked(s));

    std::vector<char> narrowed;
    for (char32_t c : fuzz::decode(s)) {
        if (c >= U'A' && c <= U'Z') c += 32;
        narrowed.push_back(static_cast<char>(c < 0x80 ? c : 0x80));
    }
    std::string_view n(narrowed.data(), narrowed.size());
    FUZZ_CHECK(rules::first_domain(n) == walked(n));
    return 0;
}
