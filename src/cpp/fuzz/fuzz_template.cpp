// Template parsing and filling. The input is a template text, then
// "name=value" entries, separated by NUL bytes. Checks: a parsed template
// written back (braces doubled, slots as {name}) parses to the same pieces;
// a template built from literal chunks (the template text cut at 0x01 bytes)
// and slots between them parses and fills to the chunks and values as they
// are, whatever braces either holds; a slot filled in place writes what the
// value would.
#include <stdexcept>

#include "common/pattern.hpp"
#include "fuzz/fuzz.hpp"

namespace {

using sorvel::text::Pattern;

std::string escaped(std::string_view s) {
    std::string out;
    for (char c : s) {
        out.push_back(c);
        if (c == '{' || c == '}') out.push_back(c);
    }
    return out;
}

std::string filled(const Pattern &p, std::span<const std::string_view> values, int late = -1) {
    std::string out;
    p.render_with(out, values, late, [&](std::string &o) { o.append(values[static_cast<std::size_t>(late)]); });
    return out;
}

bool same_pieces(const Pattern &a, const Pattern &b) {
    if (a.pieces().size() != b.pieces().size()) return false;
    for (std::size_t i = 0; i < a.pieces().size(); ++i) {
        const Pattern::Piece &x = a.pieces()[i], &y = b.pieces()[i];
        if (x.slot != y.slot) return false;
        if (x.slot < 0 && std::string_view(a.literals()).substr(x.offset, x.length) !=
                              std::string_view(b.literals()).substr(y.offset, y.length))
            return false;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    std::string_view in(reinterpret_cast<const char *>(data), size);
    std::vector<std::string_view> parts;
    for (std::size_t at = 0;;) {
        std::size_t nul = in.find('\0', at);
        parts.push_back(in.substr(at, nul == in.npos ? in.npos : nul - at));
        if (nul == in.npos) break;
        at = nul + 1;
    }
    const std::string_view tmpl = parts[0];
    std::vector<std::string_view> names, values;
    for (std::size_t i = 1; i < parts.size() && names.size() < 8; ++i) {
        std::size_t eq = parts[i].find('=');
        names.push_back(parts[i].substr(0, eq));
        values.push_back(eq == std::string_view::npos ? std::string_view() : parts[i].substr(eq + 1));
    }

    // Any text: parsed or refused, and written back when parsed.
    try {
        Pattern p(tmpl, names);
        std::string back;
        for (const Pattern::Piece &piece : p.pieces()) {
            if (piece.slot < 0)
                back += escaped(std::string_view(p.literals()).substr(piece.offset, piece.length));
            else
                back.append("{").append(names[static_cast<std::size_t>(piece.slot)]).append("}");
        }
        FUZZ_CHECK(same_pieces(p, Pattern(back, names)));
        for (int late = 0; late < static_cast<int>(names.size()); ++late)
            FUZZ_CHECK(filled(p, values, late) == filled(p, values));
    } catch (const std::invalid_argument &) {
    }

    // Chunks and slots: filled to exactly themselves. A slot takes the first
    // name that can be written as a placeholder, counting from the chunk's
    // number; the first of equal names is the one that fills.
    std::string built, expected;
    std::size_t chunk = 0;
    for (std::size_t at = 0;; ++chunk) {
        std::size_t cut = tmpl.find('\x01', at);
        std::string_view lit = tmpl.substr(at, cut == tmpl.npos ? tmpl.npos : cut - at);
        built += escaped(lit);
        expected += lit;
        if (cut == tmpl.npos) break;
        at = cut + 1;
        for (std::size_t k = 0; k < names.size(); ++k) {
            std::size_t i = (chunk + k) % names.size();
            if (names[i].starts_with('{') || names[i].find('}') != std::string_view::npos) continue;
            std::size_t first = 0;
            while (names[first] != names[i]) ++first;
            built.append("{").append(names[i]).append("}");
            expected += values[first];
            break;
        }
    }
    FUZZ_CHECK(filled(Pattern(built, names), values) == expected);
    return 0;
}
