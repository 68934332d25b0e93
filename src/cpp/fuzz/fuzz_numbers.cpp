// Number texts. Checks: repr() of a double reads back to the same bits, in
// the form repr() uses (positional from 1e-4 up to 1e16, else exponent form
// with at least two exponent digits), with no more digits than the shortest
// text that reads back; the ".3f" text equals what to_chars and printf write
// with that precision; integers equal printf's.
#include <charconv>
#include <cmath>
#include <cstring>

#include "fuzz/fuzz.hpp"

namespace {

namespace text = sorvel::text;

void check_repr(double x) {
    std::string out;
    text::append_float_repr(out, x);
    if (std::isnan(x)) {
        FUZZ_CHECK(out == "nan");
        return;
    }
    if (std::isinf(x)) {
        FUZZ_CHECK(out == (x < 0 ? "-inf" : "inf"));
        return;
    }
    double back = 0;
    auto res = std::from_chars(out.data(), out.data() + out.size(), back);
    FUZZ_CHECK(res.ec == std::errc() && res.ptr == out.data() + out.size());
    FUZZ_CHECK(std::memcmp(&back, &x, sizeof x) == 0);

    const std::size_t e = out.find('e');
    const double mag = std::fabs(x);
    const bool positional = mag == 0 || (mag >= 1e-4 && mag < 1e16);
    FUZZ_CHECK(positional == (e == std::string::npos));
    if (positional) {
        FUZZ_CHECK(out.find('.') != std::string::npos);
    } else {
        FUZZ_CHECK(out.size() - e >= 4 && (out[e + 1] == '-' || out[e + 1] == '+'));
    }
    // As many significant digits as the shortest round trip needs.
    char sci[40];
    auto s = std::to_chars(sci, sci + sizeof sci, x, std::chars_format::scientific);
    auto digits = [](std::string_view t) {
        t = t.substr(0, t.find('e'));
        std::size_t n = 0, first = t.find_first_of("123456789");
        if (first == std::string_view::npos) return std::size_t{1};
        std::size_t last = t.find_last_of("123456789");
        for (std::size_t i = first; i <= last; ++i) n += t[i] != '.';
        return n;
    };
    FUZZ_CHECK(digits(out) == digits({sci, static_cast<std::size_t>(s.ptr - sci)}));
}

void check_fixed3(double x) {
    std::string out;
    text::append_fixed3(out, x);
    if (std::isnan(x)) {
        FUZZ_CHECK(out == "nan");
        return;
    }
    char buf[400];
    auto res = std::to_chars(buf, buf + sizeof buf, x, std::chars_format::fixed, 3);
    FUZZ_CHECK(out == std::string_view(buf, static_cast<std::size_t>(res.ptr - buf)));
    int n = std::snprintf(buf, sizeof buf, "%.3f", x);
    FUZZ_CHECK(out == std::string_view(buf, static_cast<std::size_t>(n)));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    // Every 8 bytes are one double's bits and one integer.
    for (std::size_t at = 0; at + 8 <= size; at += 8) {
        double x;
        long long i;
        std::memcpy(&x, data + at, 8);
        std::memcpy(&i, data + at, 8);
        check_repr(x);
        check_fixed3(x);
        std::string out;
        text::append_int(out, i);
        char buf[32];
        int n = std::snprintf(buf, sizeof buf, "%lld", i);
        FUZZ_CHECK(out == std::string_view(buf, static_cast<std::size_t>(n)));
    }
    return 0;
}
