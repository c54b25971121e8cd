#include "storage/ini_text.h"

#include <algorithm>
#include <cstddef>

namespace ini {
namespace {

// Windows ends every line it writes this way, whatever the rest of the file uses.
constexpr std::string_view kLineBreak = "\r\n";

// One line as offsets into the content: [start, textEnd) is its text and
// [textEnd, end) its line break, empty on a last line that has none.
struct Line {
    std::size_t start = 0;
    std::size_t textEnd = 0;
    std::size_t end = 0;

    bool HasBreak() const { return end > textEnd; }
};

// CR LF, LF and a lone CR all end a line: the Windows reader takes files
// written with any of the three conventions.
Line LineAt(std::string_view content, std::size_t start) {
    const std::size_t textEnd = std::min(content.find_first_of("\r\n", start), content.size());
    std::size_t end = textEnd;
    if (end < content.size()) {
        const bool crLf = content[end] == '\r' && end + 1 < content.size() && content[end + 1] == '\n';
        end += crLf ? 2 : 1;
    }
    return {start, textEnd, end};
}

std::string_view TextOf(std::string_view content, const Line& line) {
    return content.substr(line.start, line.textEnd - line.start);
}

std::string_view TrimAny(std::string_view text, std::string_view blanks) {
    const std::size_t first = text.find_first_not_of(blanks);
    if (first == std::string_view::npos) return {};
    return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

// Inside the file, spaces and tabs around names and values do not count.
std::string_view TrimBlanks(std::string_view text) {
    return TrimAny(text, " \t");
}

// The Windows functions trim only spaces from the names a caller passes.
std::string_view TrimSpaces(std::string_view text) {
    return TrimAny(text, " ");
}

// ASCII folding only: the program's names are all ASCII, and folding the
// bytes of the ANSI code page would depend on which code page that is.
char FoldAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool SameName(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                              [](char x, char y) { return FoldAscii(x) == FoldAscii(y); });
}

// The name of a "[name]" header line. It stops at the first ']' and the rest
// of the line is ignored (Wine differs: it takes the last ']'). A line with a
// '[' and no ']' is not a header.
std::optional<std::string_view> HeaderName(std::string_view text) {
    const std::string_view trimmed = TrimBlanks(text);
    if (trimmed.empty() || trimmed.front() != '[') return std::nullopt;
    const std::size_t close = trimmed.find(']');
    if (close == std::string_view::npos) return std::nullopt;
    return TrimBlanks(trimmed.substr(1, close - 1));
}

// Comments are whole lines: a ';' later in a line, or a '#' anywhere, is data.
bool IsComment(std::string_view text) {
    const std::string_view trimmed = TrimBlanks(text);
    return !trimmed.empty() && trimmed.front() == ';';
}

// A key line: anything that is not blank, a comment or a header. A line
// without '=' is a key with an empty value.
bool IsEntry(std::string_view text) {
    return !TrimBlanks(text).empty() && !IsComment(text) && !HeaderName(text);
}

std::string_view EntryKey(std::string_view text) {
    return TrimBlanks(text.substr(0, text.find('=')));
}

std::string_view EntryValue(std::string_view text) {
    const std::size_t equals = text.find('=');
    return equals == std::string_view::npos ? std::string_view() : TrimBlanks(text.substr(equals + 1));
}

// One outer pair of matching quotes goes; a lone or mismatched quote stays.
std::string_view Unquote(std::string_view value) {
    const bool quoted =
        value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front();
    return quoted ? value.substr(1, value.size() - 2) : value;
}

// Where a key stands in the file, as far as reading and writing need to know.
struct KeyPlace {
    std::optional<Line> header;     // the first header with the section's name
    std::optional<Line> entry;      // the first line of the key in that section
    std::optional<Line> lastEntry;  // the section's last key line, whatever its key
};

// Only the first section of a name counts: a repeated header starts a block
// the Windows functions never look into, and lines before the first header
// belong to no section at all.
KeyPlace FindKey(std::string_view content, std::string_view section, std::string_view key) {
    KeyPlace place;
    for (std::size_t pos = 0; pos < content.size();) {
        const Line line = LineAt(content, pos);
        pos = line.end;
        const std::string_view text = TextOf(content, line);
        if (const auto name = HeaderName(text)) {
            if (place.header) break;
            if (SameName(*name, section)) place.header = line;
            continue;
        }
        if (!place.header || !IsEntry(text)) continue;
        place.lastEntry = line;
        if (!place.entry && SameName(EntryKey(text), key)) place.entry = line;
    }
    return place;
}

std::string EntryLine(std::string_view key, std::string_view value) {
    std::string line(key);
    line += '=';
    line += value;
    line += kLineBreak;
    return line;
}

std::string Splice(std::string_view content, std::size_t from, std::size_t to, std::string_view insert) {
    std::string result;
    result.reserve(content.size() - (to - from) + insert.size());
    result.append(content.substr(0, from));
    result.append(insert);
    result.append(content.substr(to));
    return result;
}

bool EndsWithBreak(std::string_view content) {
    return !content.empty() && (content.back() == '\n' || content.back() == '\r');
}

// A new key goes right below the section's last key line, so comments and
// blank lines closing the section stay below it; in a section without keys it
// goes right below the header.
std::string InsertEntry(std::string_view content, const KeyPlace& place, std::string_view key,
                        std::string_view value) {
    const Line& above = place.lastEntry ? *place.lastEntry : *place.header;
    std::string insert = above.HasBreak() ? "" : std::string(kLineBreak);
    insert += EntryLine(key, value);
    return Splice(content, above.end, above.end, insert);
}

std::string AppendSection(std::string_view content, std::string_view section, std::string_view key,
                          std::string_view value) {
    std::string result(content);
    if (!content.empty() && !EndsWithBreak(content)) result += kLineBreak;
    result += '[';
    result += section;
    result += ']';
    result += kLineBreak;
    result += EntryLine(key, value);
    return result;
}

}  // namespace

std::optional<std::string> ReadValue(std::string_view content, std::string_view section,
                                     std::string_view key) {
    const KeyPlace place = FindKey(content, TrimSpaces(section), TrimSpaces(key));
    if (!place.entry) return std::nullopt;
    const std::string_view value = Unquote(EntryValue(TextOf(content, *place.entry)));
    return std::string(value.substr(0, value.find('\0')));
}

std::string WriteValue(std::string_view content, std::string_view section, std::string_view key,
                       std::string_view value) {
    section = TrimSpaces(section);
    key = TrimSpaces(key);
    const KeyPlace place = FindKey(content, section, key);
    if (place.entry) {
        // The name keeps the file's spelling and case; only the line is rewritten.
        const Line& line = *place.entry;
        return Splice(content, line.start, line.end, EntryLine(EntryKey(TextOf(content, line)), value));
    }
    if (place.header) return InsertEntry(content, place, key, value);
    return AppendSection(content, section, key, value);
}

}  // namespace ini
