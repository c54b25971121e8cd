#include "update/formats/repository.h"
#include "player_texts.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>

namespace {

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}
bool IsLineEnd(char c) {
    return c == '\r' || c == '\n';
}

std::string_view TrimBlanks(std::string_view text) {
    while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
    while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
    return text;
}

// Splits one line of the index into fields. A field that starts with a quote
// runs to the closing quote, commas included; what follows it up to the next
// comma is dropped.
void ReadLineFields(std::string_view line, std::vector<IndexField>& fields) {
    std::size_t i = 0;
    for (;;) {
        while (i < line.size() && IsBlank(line[i])) ++i;
        std::string_view text;
        if (i < line.size() && line[i] == '"') {
            const std::size_t close = line.find('"', i + 1);
            const std::size_t end = close == std::string_view::npos ? line.size() : close;
            text = line.substr(i + 1, end - i - 1);
            i = end;
        } else {
            const std::size_t comma = line.find(',', i);
            text = TrimBlanks(line.substr(i, comma == std::string_view::npos ? line.size() - i : comma - i));
        }
        fields.push_back({std::string(text), LeadingNumber(text)});
        const std::size_t comma = line.find(',', i);
        if (comma == std::string_view::npos) return;
        i = comma + 1;
    }
}

bool IsDigitOfBase(char c, int base) {
    if (base == 8) return c >= '0' && c <= '7';
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// &H and &O numbers are whole numbers of the narrowest type that holds the
// digits' bit pattern, as BASIC reads them: &HFFFF is -1.
double PrefixedNumber(std::string_view digits, int base) {
    std::uint64_t value = 0;
    bool anyDigit = false;
    for (const char c : digits) {
        if (!IsDigitOfBase(c, base)) break;
        const int digit = c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10;
        if (value > (UINT64_MAX >> 4)) return HUGE_VAL;
        value = value * static_cast<std::uint64_t>(base) + static_cast<std::uint64_t>(digit);
        anyDigit = true;
    }
    if (!anyDigit) return 0;
    if (value <= 0xFFFF) return static_cast<std::int16_t>(static_cast<std::uint16_t>(value));
    if (value <= 0xFFFFFFFF) return static_cast<std::int32_t>(static_cast<std::uint32_t>(value));
    return static_cast<double>(value);
}

std::size_t SkipDigits(const std::string& text, std::size_t i) {
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') ++i;
    return i;
}

}  // namespace

std::string ListName(std::int16_t version) {
    return "qoro_update_" + std::to_string(version) + ".deploy";
}

std::string RemoteFileName(const std::string& entry) {
    return "files\\" + entry;
}

std::vector<IndexField> ReadIndexFields(std::string_view content) {
    std::vector<IndexField> fields;
    std::size_t start = 0;
    while (start < content.size()) {
        std::size_t end = start;
        while (end < content.size() && !IsLineEnd(content[end])) ++end;
        const std::string_view line = content.substr(start, end - start);
        if (!TrimBlanks(line).empty()) ReadLineFields(line, fields);
        start = end;
        if (start < content.size() && content[start] == '\r') ++start;
        if (start < content.size() && content[start] == '\n') ++start;
    }
    return fields;
}

double LeadingNumber(std::string_view text) {
    std::string compact;
    for (const char c : text) {
        if (c != ' ' && c != '\t' && c != '\n') compact += c;
    }
    if (compact.size() >= 2 && compact[0] == '&') {
        const char kind = static_cast<char>(compact[1] | 0x20);
        if (kind == 'h') return PrefixedNumber(std::string_view(compact).substr(2), 16);
        if (kind == 'o') return PrefixedNumber(std::string_view(compact).substr(2), 8);
        return 0;
    }
    // Sign, digits, fraction, then an exponent only when digits follow it.
    std::size_t i = 0;
    if (i < compact.size() && (compact[i] == '+' || compact[i] == '-')) ++i;
    const std::size_t digitsStart = i;
    i = SkipDigits(compact, i);
    if (i < compact.size() && compact[i] == '.') i = SkipDigits(compact, i + 1);
    if (i == digitsStart || (i == digitsStart + 1 && compact[digitsStart] == '.')) return 0;
    std::string number = compact.substr(0, i);
    if (i < compact.size() && std::string_view("eEdD").find(compact[i]) != std::string_view::npos) {
        std::size_t e = i + 1;
        if (e < compact.size() && (compact[e] == '+' || compact[e] == '-')) ++e;
        const std::size_t exponentEnd = SkipDigits(compact, e);
        if (exponentEnd > e) number += "e" + compact.substr(i + 1, exponentEnd - i - 1);
    }
    if (number[0] == '+') number.erase(0, 1);
    double value = 0;
    const auto parsed = std::from_chars(number.data(), number.data() + number.size(), value);
    if (parsed.ec == std::errc::result_out_of_range) return number[0] == '-' ? -HUGE_VAL : HUGE_VAL;
    return value;
}

std::optional<std::int16_t> ToVersion(double value) {
    // nearbyint follows the default rounding mode: to nearest, halves to even.
    const double rounded = std::nearbyint(value);
    if (!std::isfinite(rounded) || rounded < INT16_MIN || rounded > INT16_MAX) return std::nullopt;
    return static_cast<std::int16_t>(rounded);
}

void ForEachListEntry(std::string_view content, const std::function<void(std::string_view)>& action) {
    std::size_t start = 0;
    for (std::size_t i = content.find('\r'); i != std::string_view::npos; i = content.find('\r', start)) {
        action(content.substr(start, i - start));
        start = i + ((i + 1 < content.size() && content[i + 1] == '\n') ? 2 : 1);
    }
    if (start < content.size()) action(content.substr(start));
}

std::vector<std::string> ReadListEntries(std::string_view content) {
    std::vector<std::string> entries;
    ForEachListEntry(content, [&](std::string_view entry) { entries.emplace_back(entry); });
    return entries;
}

bool HasLeadingNumber(std::string_view text) {
    // The blanks LeadingNumber skips, wherever they are: "& H1F" is 31 too.
    std::size_t i = 0;
    const auto skipBlanks = [&] {
        while (i < text.size() && (text[i] == ' ' || text[i] == '\t' || text[i] == '\n')) ++i;
    };
    skipBlanks();
    if (i + 1 < text.size() && text[i] == '&') {
        ++i;
        skipBlanks();
        const char kind = i < text.size() ? static_cast<char>(text[i] | 0x20) : '\0';
        if (kind != 'h' && kind != 'o') return false;
        ++i;
        skipBlanks();
        return i < text.size() && IsDigitOfBase(text[i], kind == 'h' ? 16 : 8);
    }
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
    skipBlanks();
    if (i < text.size() && text[i] == '.') ++i;
    skipBlanks();
    return i < text.size() && text[i] >= '0' && text[i] <= '9';
}

bool IsBlankEntry(std::string_view entry) {
    return entry.find_first_not_of(' ') == std::string_view::npos;
}

std::optional<std::string> RefusedEntryReason(std::string_view entry) {
    if (IsBlankEntry(entry)) return std::nullopt;
    const std::string refused = texts::RefusedPath(Printable(entry));
    if (!IsSafeEntry(entry)) return refused;
    // Counted in characters, as Windows counts them; UTF-8 continuation bytes are not characters.
    const auto characters = static_cast<std::size_t>(std::count_if(
        entry.begin(), entry.end(), [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }));
    if (characters > kLongestEntry) return refused;
    // Every part must be a name: "." and empty parts name the folder they are
    // in, and Windows drops a part's trailing dots and blanks, so "a/./b",
    // "a//b" and "a/ . /b" are other spellings of "a/b" that would slip past
    // the checks made on names (the updater's own files among them), and
    // "data/" or "a/." name a folder, not a file.
    std::size_t start = 0;
    while (start <= entry.size()) {
        std::size_t end = entry.find_first_of("/\\", start);
        if (end == std::string_view::npos) end = entry.size();
        if (entry.substr(start, end - start).find_first_not_of(". ") == std::string_view::npos)
            return refused;
        start = end + 1;
    }
    return std::nullopt;
}

std::string Printable(std::string_view text) {
    // Enough for the window's widest line; the window cuts what does not fit.
    constexpr std::size_t kLongestShown = 200;
    std::string out;
    std::size_t characters = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto b = static_cast<unsigned char>(text[i]);
        if ((b & 0xC0) != 0x80 && ++characters > kLongestShown) {
            out += "\u2026";
            break;
        }
        out += (b < 0x20 || b == 0x7F) ? '?' : text[i];
    }
    return out;
}

bool IsSafeEntry(std::string_view entry) {
    for (const char c : entry) {
        const auto b = static_cast<unsigned char>(c);
        if (b < 0x20 || b == 0x7F || c == ':') return false;
    }
    if (!entry.empty() && (entry.front() == '/' || entry.front() == '\\')) return false;
    // Windows drops trailing dots and blanks from a name, so "..." and ".. "
    // climb out like "..".
    std::size_t start = 0;
    while (start <= entry.size()) {
        std::size_t end = entry.find_first_of("/\\", start);
        if (end == std::string_view::npos) end = entry.size();
        const std::string_view part = entry.substr(start, end - start);
        const bool onlyDotsAndBlanks = part.find_first_not_of(". ") == std::string_view::npos;
        if (onlyDotsAndBlanks && part.find("..") != std::string_view::npos) return false;
        start = end + 1;
    }
    return true;
}
