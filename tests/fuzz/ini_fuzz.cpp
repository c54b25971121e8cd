// The settings file, Config\Client.ini, read and changed with the rules of
// the Windows profile functions (ini::ReadValue, ini::WriteValue). An input
// is "section\0key\0value\0other section\0other key\0" then the file's
// bytes. A value written reads back the same, when the names and the value
// are ones the file can carry; the other key reads as before; and the file
// changes by the key's one line, or gains one line (a new key) or two (a
// new section).
#include "fuzz_support.h"
#include "storage/ini_text.h"

namespace {

bool HasAny(std::string_view text, std::string_view bytes) {
    return text.find_first_of(bytes) != std::string_view::npos;
}

std::string_view TrimSpaces(std::string_view text) {
    while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
    while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
    return text;
}

bool HasOuterBlank(std::string_view text) {
    return !text.empty() &&
           (text.front() == ' ' || text.front() == '\t' || text.back() == ' ' || text.back() == '\t');
}

// A section name that reads back as written: one line, no ']', no outer tab
// (the functions trim only spaces from the names passed in, the file's
// reader spaces and tabs).
bool IsWritableSection(std::string_view section) {
    section = TrimSpaces(section);
    return !HasAny(section, std::string_view("\r\n]\0", 4)) && !HasOuterBlank(section);
}

// A key that reads back as written: also no '=', and not a comment or a header.
bool IsWritableKey(std::string_view key) {
    key = TrimSpaces(key);
    return !HasAny(key, std::string_view("\r\n=\0", 4)) && !HasOuterBlank(key) && !key.starts_with(';') &&
           !key.starts_with('[');
}

// A value that reads back as written: one line, no NUL, no outer blanks, and
// not wrapped in one pair of quotes.
bool IsWritableValue(std::string_view value) {
    const bool quoted =
        value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front();
    return !HasAny(value, std::string_view("\r\n\0", 3)) && !HasOuterBlank(value) && !quoted;
}

bool SameName(std::string_view a, std::string_view b) {
    a = TrimSpaces(a);
    b = TrimSpaces(b);
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               const auto fold = [](char c) {
                   return c >= 'A' && c <= 'Z' ? static_cast<char>(c | 0x20) : c;
               };
               return fold(x) == fold(y);
           });
}

// The lines' texts: CR LF, LF and a lone CR each end one.
std::vector<std::string_view> Lines(std::string_view content) {
    std::vector<std::string_view> lines;
    while (!content.empty()) {
        const std::size_t end = std::min(content.find_first_of("\r\n"), content.size());
        lines.push_back(content.substr(0, end));
        std::size_t next = end;
        if (next < content.size()) next += content.compare(next, 2, "\r\n") == 0 ? 2 : 1;
        content.remove_prefix(next);
    }
    return lines;
}

// At most `removed` lines of before, in one place, became at most `added` lines.
bool ChangedInOnePlace(std::string_view before, std::string_view after, std::size_t removed,
                       std::size_t added) {
    const std::vector<std::string_view> a = Lines(before), b = Lines(after);
    std::size_t head = 0, tail = 0;
    while (head < a.size() && head < b.size() && a[head] == b[head]) ++head;
    while (tail < a.size() - head && tail < b.size() - head &&
           a[a.size() - 1 - tail] == b[b.size() - 1 - tail])
        ++tail;
    return a.size() - head - tail <= removed && b.size() - head - tail <= added;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view rest = fuzz::Text(data, size);
    const std::string_view section = fuzz::TakePart(rest, '\0'), key = fuzz::TakePart(rest, '\0'),
                           value = fuzz::TakePart(rest, '\0'), otherSection = fuzz::TakePart(rest, '\0'),
                           otherKey = fuzz::TakePart(rest, '\0'), content = rest;

    const std::optional<std::string> read = ini::ReadValue(content, section, key);
    if (read) FUZZ_CHECK(!HasAny(*read, std::string_view("\r\n\0", 3)));
    const std::string written = ini::WriteValue(content, section, key, value);
    // A line break in a name or the value makes lines of its own: the caller's mistake.
    if (HasAny(section, "\r\n") || HasAny(key, "\r\n") || HasAny(value, "\r\n")) return 0;
    const bool present = read.has_value();
    FUZZ_CHECK(ChangedInOnePlace(content, written, present ? 1 : 0, present ? 1 : 2));
    if (!IsWritableSection(section) || !IsWritableKey(key)) return 0;
    if (IsWritableValue(value)) FUZZ_CHECK(ini::ReadValue(written, section, key) == value);
    if (!(SameName(section, otherSection) && SameName(key, otherKey)))
        FUZZ_CHECK(ini::ReadValue(written, otherSection, otherKey) ==
                   ini::ReadValue(content, otherSection, otherKey));
    return 0;
}
