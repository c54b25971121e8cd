#include <charconv>

#include "transfer/http.h"

std::int64_t HeaderNumber(std::string_view text) {
    std::int64_t value = -1;
    const auto parsed = std::from_chars(text.data(), text.data() + text.size(), value);
    if (parsed.ec != std::errc() || parsed.ptr != text.data() + text.size() || value < 0) return -1;
    return value;
}

void ReadContentRange(std::string_view value, ResponseHead& head) {
    if (!value.starts_with("bytes ")) return;
    value.remove_prefix(6);
    const auto dash = value.find('-');
    const auto slash = value.find('/');
    if (dash == std::string_view::npos || slash == std::string_view::npos || slash < dash) return;
    head.rangeStart = HeaderNumber(value.substr(0, dash));
    head.rangeTotal = HeaderNumber(value.substr(slash + 1));
}
