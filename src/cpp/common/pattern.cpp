// common/pattern.cpp: template parsing.
#include "common/pattern.hpp"

#include <algorithm>
#include <stdexcept>

namespace sorvel::text {

Pattern::Pattern(std::string_view text, std::span<const std::string_view> names) {
    auto add_literal = [&](std::string_view lit) {
        if (lit.empty()) return;
        if (!pieces_.empty() && pieces_.back().slot < 0)
            pieces_.back().length += lit.size();
        else
            pieces_.push_back({literals_.size(), lit.size(), -1});
        literals_.append(lit);
    };
    std::size_t i = 0, n = text.size();
    while (i < n) {
        char c = text[i];
        if ((c == '{' || c == '}') && i + 1 < n && text[i + 1] == c) {
            add_literal(text.substr(i, 1));
            i += 2;
        } else if (c == '{') {
            std::size_t close = text.find('}', i + 1);
            if (close == std::string_view::npos)
                throw std::invalid_argument("template: unclosed placeholder");
            std::string_view name = text.substr(i + 1, close - i - 1);
            auto at = std::find(names.begin(), names.end(), name);
            if (at == names.end()) throw std::invalid_argument("template: unknown placeholder");
            pieces_.push_back({0, 0, static_cast<int>(at - names.begin())});
            i = close + 1;
        } else if (c == '}') {
            throw std::invalid_argument("template: single '}'");
        } else {
            std::size_t next = text.find_first_of("{}", i);
            if (next == std::string_view::npos) next = n;
            add_literal(text.substr(i, next - i));
            i = next;
        }
    }
}

}  // namespace sorvel::text
