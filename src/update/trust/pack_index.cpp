#include "update/trust/pack_index.h"

#include <stdexcept>
#include <unordered_set>

#include "update/formats/number_text.h"
#include "update/formats/repository.h"
#include "update/formats/text_lines.h"

namespace {

constexpr std::string_view kPackFormat = "kestralon-pack 1";

// A part is a plain file that comes over one connection; far above the
// quarter mebibyte parts are cut to, far below what a member may not pass.
constexpr std::uint64_t kLargestPart = 1ull << 30;

std::string DigestFields(const FileDigest& digest) {
    return Hex(digest.sha256) + "\t" + std::to_string(digest.size);
}

std::optional<std::int16_t> VersionLine(std::string_view line, std::string_view word) {
    std::string_view first;
    if (!TakeField(line, '\t', first) || first != word) return std::nullopt;
    return ParseDecimal<std::int16_t>(line);
}

// Takes `count` TAB-ended fields off the front of the line; the rest is the entry.
bool TakeFields(std::string_view& line, std::size_t count, std::vector<std::string_view>& fields) {
    fields.resize(count);
    for (std::string_view& field : fields) {
        if (!TakeField(line, '\t', field)) return false;
    }
    return true;
}

std::optional<PackEntry> ParseEntryLine(std::string_view line, const std::vector<FileDigest>& parts) {
    // A CR ends an entry in a list: no entry holds one.
    if (line.find('\r') != std::string_view::npos) return std::nullopt;
    std::string_view way;
    if (!TakeField(line, '\t', way)) return std::nullopt;
    PackEntry entry;
    std::vector<std::string_view> fields;
    if (way == "blank") {
        if (!IsBlankEntry(line)) return std::nullopt;
    } else if (way == "loose") {
        entry.way = PackEntry::Way::Loose;
        if (!TakeFields(line, 2, fields)) return std::nullopt;
    } else if (way == "delta" || way == "object") {
        entry.way = way == "delta" ? PackEntry::Way::Delta : PackEntry::Way::Object;
        if (!TakeFields(line, 5, fields)) return std::nullopt;
        const auto part = ParseDecimal<std::uint32_t>(fields[2]);
        const auto offset = ParseDecimal<std::uint64_t>(fields[3]);
        const auto length = ParseDecimal<std::uint64_t>(fields[4]);
        if (!part || !offset || !length || *part >= parts.size() || *length == 0 ||
            *offset > parts[*part].size || *length > parts[*part].size - *offset) {
            return std::nullopt;
        }
        entry.part = *part;
        entry.offset = *offset;
        entry.length = *length;
    } else {
        return std::nullopt;
    }
    if (entry.way != PackEntry::Way::Blank) {
        const auto expected = ParseFileDigest(fields[0], fields[1]);
        if (!expected || IsBlankEntry(line)) return std::nullopt;
        entry.expected = *expected;
    }
    entry.entry = line;
    return entry;
}

}  // namespace

std::optional<PackIndex> ParsePackIndex(std::string_view text) {
    const auto lines = SplitEndedLines(text);
    if (!lines || lines->size() < 3 || (*lines)[0] != kPackFormat) return std::nullopt;
    PackIndex index;
    const auto from = VersionLine((*lines)[1], "from");
    const auto to = VersionLine((*lines)[2], "to");
    if (!from || !to || !(*from < *to)) return std::nullopt;
    index.from = *from;
    index.to = *to;
    std::size_t k = 3;
    for (; k < lines->size() && (*lines)[k].starts_with("part\t"); ++k) {
        const std::vector<std::string_view> words = SplitFields((*lines)[k], '\t');
        const auto part = words.size() == 3 ? ParseFileDigest(words[1], words[2]) : std::nullopt;
        if (!part || part->size == 0 || part->size > kLargestPart) return std::nullopt;
        index.parts.push_back(*part);
    }
    std::unordered_set<std::string_view> seen;
    for (; k < lines->size(); ++k) {
        const std::string_view line = (*lines)[k];
        auto entry = ParseEntryLine(line, index.parts);
        // The entry is the end of its line: the set holds no copy of it.
        if (!entry || index.entries.size() >= kMostEntries ||
            !seen.insert(line.substr(line.size() - entry->entry.size())).second) {
            return std::nullopt;
        }
        index.entries.push_back(std::move(*entry));
    }
    return index;
}

std::string FormatPackIndex(const PackIndex& index) {
    if (!(index.from < index.to)) throw std::invalid_argument("a pack goes from a version to a newer one");
    std::string text = std::string(kPackFormat) + "\nfrom\t" + std::to_string(index.from) + "\nto\t" +
                       std::to_string(index.to) + "\n";
    for (const FileDigest& part : index.parts) {
        if (part.size == 0 || part.size > kLargestPart)
            throw std::invalid_argument("a part of no bytes or too many");
        text += "part\t" + DigestFields(part) + "\n";
    }
    std::unordered_set<std::string_view> seen;
    for (const PackEntry& entry : index.entries) {
        const bool blank = entry.way == PackEntry::Way::Blank;
        if (entry.entry.find_first_of("\r\n") != std::string::npos || IsBlankEntry(entry.entry) != blank ||
            !seen.insert(entry.entry).second) {
            throw std::invalid_argument("the entry \"" + entry.entry +
                                        "\" cannot be written in a pack index");
        }
        switch (entry.way) {
            case PackEntry::Way::Blank:
                text += "blank";
                break;
            case PackEntry::Way::Loose:
                text += "loose\t" + DigestFields(entry.expected);
                break;
            case PackEntry::Way::Delta:
            case PackEntry::Way::Object: {
                const bool inside = entry.part < index.parts.size() && entry.length > 0 &&
                                    entry.offset <= index.parts[entry.part].size &&
                                    entry.length <= index.parts[entry.part].size - entry.offset;
                if (!inside)
                    throw std::invalid_argument("the member of \"" + entry.entry + "\" is outside its part");
                text += (entry.way == PackEntry::Way::Delta ? "delta\t" : "object\t") +
                        DigestFields(entry.expected) + "\t" + std::to_string(entry.part) + "\t" +
                        std::to_string(entry.offset) + "\t" + std::to_string(entry.length);
                break;
            }
        }
        text += "\t" + entry.entry + "\n";
    }
    return text;
}

std::string PackPartName(std::int16_t from, std::int16_t to, std::size_t part) {
    return "packs/" + std::to_string(from) + "-" + std::to_string(to) + "." + std::to_string(part) + ".part";
}
