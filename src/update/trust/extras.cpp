#include "update/trust/extras.h"

#include <set>
#include <stdexcept>
#include <tuple>
#include <utility>

#include "update/formats/number_text.h"
#include "update/formats/repository.h"
#include "update/formats/text_lines.h"

namespace {

constexpr std::string_view kExtrasFormat = "kestralon-extras 1";
// Allows a drop several contents, one line each.
constexpr std::string_view kSeveralContentsFormat = "kestralon-extras 2";

// What may not be given twice: a drop, or in format 2 a drop's content.
using RemovalKey = std::tuple<std::int16_t, std::string, std::string>;

RemovalKey KeyOf(const RemovedEntry& removed, bool byContent) {
    return {removed.version, removed.entry, byContent ? DigestText(removed.last) : std::string()};
}

bool IsCarriedEntry(std::string_view entry) {
    return !IsBlankEntry(entry) && entry.find_first_of("\r\n") == std::string_view::npos;
}

// "<version> <sha256> <size> <entry>", the entry the rest of the line.
std::optional<RemovedEntry> ParseRemoved(std::string_view rest) {
    std::string_view version, hex, size;
    if (!TakeField(rest, ' ', version) || !TakeField(rest, ' ', hex) || !TakeField(rest, ' ', size)) {
        return std::nullopt;
    }
    const auto number = ParseDecimal<std::int16_t>(version);
    const auto digest = ParseFileDigest(hex, size);
    if (!number || !digest || !IsCarriedEntry(rest)) return std::nullopt;
    return RemovedEntry{*number, *digest, std::string(rest)};
}

std::optional<PackOffer> ParsePack(std::string_view rest) {
    const std::vector<std::string_view> words = SplitFields(rest, ' ');
    if (words.size() != 4) return std::nullopt;
    const auto from = ParseDecimal<std::int16_t>(words[0]);
    const auto to = ParseDecimal<std::int16_t>(words[1]);
    const auto index = ParseFileDigest(words[2], words[3]);
    if (!from || !to || !index) return std::nullopt;
    return PackOffer{*from, *to, *index};
}

}  // namespace

std::optional<ReleaseExtras> ParseReleaseExtras(std::string_view text) {
    const auto lines = SplitEndedLines(text);
    if (!lines || lines->size() < 2) return std::nullopt;
    const bool severalContents = (*lines)[0] == kSeveralContentsFormat;
    if ((*lines)[0] != kExtrasFormat && !severalContents) return std::nullopt;
    const std::vector<std::string_view> release = SplitFields((*lines)[1], ' ');
    if (release.size() != 3 || release[0] != "release") return std::nullopt;
    const auto bound = ParseFileDigest(release[1], release[2]);
    if (!bound) return std::nullopt;
    ReleaseExtras extras{*bound, {}, {}};
    std::set<RemovalKey> removals;
    std::set<std::pair<std::int16_t, std::int16_t>> packs;
    for (std::size_t k = 2; k < lines->size(); ++k) {
        std::string_view rest = (*lines)[k], kind;
        if (!TakeField(rest, ' ', kind)) return std::nullopt;
        if (kind == "removed") {
            auto removed = ParseRemoved(rest);
            if (!removed || !removals.insert(KeyOf(*removed, severalContents)).second) return std::nullopt;
            extras.removed.push_back(std::move(*removed));
        } else if (kind == "pack") {
            const auto pack = ParsePack(rest);
            if (!pack || !packs.emplace(pack->from, pack->to).second) return std::nullopt;
            extras.packs.push_back(*pack);
        } else {
            return std::nullopt;
        }
    }
    return extras;
}

std::string FormatReleaseExtras(const ReleaseExtras& extras) {
    std::set<RemovalKey> removals, drops;
    bool severalContents = false;
    for (const RemovedEntry& removed : extras.removed) {
        if (!IsCarriedEntry(removed.entry) || !removals.insert(KeyOf(removed, true)).second) {
            throw std::invalid_argument("the removal of \"" + removed.entry + "\" cannot be recorded");
        }
        severalContents = !drops.insert(KeyOf(removed, false)).second || severalContents;
    }
    std::string text = std::string(severalContents ? kSeveralContentsFormat : kExtrasFormat) + "\n" +
                       "release " + DigestText(extras.release) + "\n";
    for (const RemovedEntry& removed : extras.removed) {
        text += "removed " + std::to_string(removed.version) + " " + DigestText(removed.last) + " " +
                removed.entry + "\n";
    }
    std::set<std::pair<std::int16_t, std::int16_t>> packs;
    for (const PackOffer& pack : extras.packs) {
        if (!packs.emplace(pack.from, pack.to).second) {
            throw std::invalid_argument("the pack " + std::to_string(pack.from) + "-" +
                                        std::to_string(pack.to) + " is offered twice");
        }
        text += "pack " + std::to_string(pack.from) + " " + std::to_string(pack.to) + " " +
                DigestText(pack.index) + "\n";
    }
    return text;
}

std::string PackIndexName(std::int16_t from, std::int16_t to) {
    return "packs/" + std::to_string(from) + "-" + std::to_string(to) + ".index";
}
