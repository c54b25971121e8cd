#include "update/formats/text_lines.h"

std::vector<std::string_view> SplitLines(std::string_view text) {
    std::vector<std::string_view> lines;
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        if (line.ends_with('\r')) line.remove_suffix(1);
        lines.push_back(line);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    }
    return lines;
}

std::optional<std::vector<std::string_view>> SplitEndedLines(std::string_view text) {
    if (text.empty() || text.back() != '\n') return std::nullopt;
    return SplitLines(text);
}

bool TakeField(std::string_view& rest, char separator, std::string_view& field) {
    const std::size_t end = rest.find(separator);
    if (end == std::string_view::npos) return false;
    field = rest.substr(0, end);
    rest.remove_prefix(end + 1);
    return true;
}

std::vector<std::string_view> SplitFields(std::string_view line, char separator) {
    std::vector<std::string_view> fields;
    std::string_view field;
    while (TakeField(line, separator, field)) fields.push_back(field);
    fields.push_back(line);
    return fields;
}
