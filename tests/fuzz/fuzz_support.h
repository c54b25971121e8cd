// What every fuzz target shares. A target is one function that libFuzzer
// calls with each input; it feeds the input to a reader and checks what the
// reader made of it. A property that does not hold ends the process like a
// crash, so libFuzzer keeps the input that broke it.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#define FUZZ_CHECK(condition) ((condition) ? void() : ::fuzz::Fail(#condition, __FILE__, __LINE__))

namespace fuzz {

[[noreturn]] inline void Fail(const char* condition, const char* file, int line) {
    std::fprintf(stderr, "%s:%d: property does not hold: %s\n", file, line, condition);
    std::abort();
}

inline std::string_view Text(const std::uint8_t* data, std::size_t size) {
    return {reinterpret_cast<const char*>(data), size};
}

// The part of rest before the first separator, taken out of rest with the
// separator; all of rest when it holds none.
inline std::string_view TakePart(std::string_view& rest, char separator) {
    const std::size_t end = rest.find(separator);
    const std::string_view part = rest.substr(0, end);
    rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
    return part;
}

// The text with each "\r\n" made "\n": the program's own text formats read
// both line ends and write the second.
inline std::string LfOnly(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')) out += text[i];
    }
    return out;
}

// The lines of a text that ends in "\n", in sorted order: two texts with the
// same lines in another order compare equal.
inline std::vector<std::string> SortedLines(std::string_view text) {
    std::vector<std::string> lines;
    while (!text.empty()) lines.emplace_back(TakePart(text, '\n'));
    std::sort(lines.begin(), lines.end());
    return lines;
}

}  // namespace fuzz
