#include "operator/names.h"

#include <algorithm>
#include <array>
#include <cstdio>

#include "storage/cp1252.h"
#include "update/formats/repository.h"

namespace {

bool IsSeparator(char c) {
    return c == '/' || c == '\\';
}

char Upper(char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

// CON, PRN, AUX, NUL, COM1-9 and LPT1-9 name devices on Windows, whatever
// extension follows and with trailing blanks ignored.
bool IsDeviceName(std::string_view part) {
    std::string stem(part.substr(0, part.find('.')));
    while (!stem.empty() && stem.back() == ' ') stem.pop_back();
    for (char& c : stem) c = Upper(c);
    static constexpr std::array<std::string_view, 4> kPlain = {"CON", "PRN", "AUX", "NUL"};
    for (const std::string_view device : kPlain) {
        if (stem == device) return true;
    }
    return stem.size() == 4 && (stem.starts_with("COM") || stem.starts_with("LPT")) && stem[3] >= '1' &&
           stem[3] <= '9';
}

// The length of the well-formed UTF-8 sequence at text[i] (shortest form,
// no surrogate, at most U+10FFFF), with its code point in c; 0 when there
// is none.
std::size_t WellFormedLength(std::string_view text, std::size_t i, char32_t& c) {
    const auto lead = static_cast<unsigned char>(text[i]);
    c = lead;
    if (lead < 0x80) return 1;
    const std::size_t length = lead > 0xF4 ? 0 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 0;
    if (length == 0 || i + length > text.size()) return 0;
    c = lead & (0x7F >> length);
    for (std::size_t k = 1; k < length; ++k) {
        const auto next = static_cast<unsigned char>(text[i + k]);
        if ((next & 0xC0) != 0x80) return 0;
        c = (c << 6) | (next & 0x3F);
    }
    constexpr char32_t kShortest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (c < kShortest[length] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return 0;
    return length;
}

}  // namespace

std::optional<std::string> EntryProblem(std::string_view entry) {
    if (!IsSafeEntry(entry)) {
        return std::string(
            "unsafe path (absolute, a drive or ':', a '..' part or a control character): "
            "the updater stops every update with \"Chemin refusé\"");
    }
    for (const char c : entry) {
        if (std::string_view("<>\"|?*").find(c) != std::string_view::npos) {
            return std::string("holds '") + c + "', which Windows does not allow in a file name";
        }
    }
    std::size_t start = 0;
    for (;;) {
        std::size_t end = start;
        while (end < entry.size() && !IsSeparator(entry[end])) ++end;
        const std::string_view part = entry.substr(start, end - start);
        if (part.empty())
            return std::string("has an empty folder name (two separators in a row, or one at the end)");
        if (part.back() == '.' || part.back() == ' ') {
            return "the part " + Shown(part) + " ends in a dot or a blank, which Windows drops from names";
        }
        if (IsDeviceName(part)) return "the part " + Shown(part) + " is a device name on Windows";
        if (end == entry.size()) return std::nullopt;
        start = end + 1;
    }
}

std::optional<std::string> BuildNameProblem(std::string_view path) {
    if (path.find('\\') != std::string_view::npos) {
        return std::string("holds a backslash, which is a folder separator on Windows");
    }
    if (Cp1252ToUtf8(Utf8ToCp1252(path)) != path) {
        return std::string("is not representable in Windows-1252, the character set of the lists");
    }
    if (IsBlankEntry(path)) return std::string("is blank: the updater skips blank names");
    return EntryProblem(path);
}

std::string FoldCase(std::string_view entry) {
    std::string folded = Utf8ToCp1252(entry);
    for (char& c : folded) {
        const auto b = static_cast<unsigned char>(c);
        if ((b >= 'A' && b <= 'Z') || (b >= 0xC0 && b <= 0xDE && b != 0xD7)) {
            c = static_cast<char>(b + 0x20);
        } else if (b == 0x8A || b == 0x8C || b == 0x8E) {  // Š Œ Ž
            c = static_cast<char>(b + 0x10);
        } else if (b == 0x9F) {  // Ÿ
            c = static_cast<char>(0xFF);
        }
    }
    return folded;
}

std::string Escaped(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size();) {
        char32_t c = 0;
        const std::size_t length = WellFormedLength(text, i, c);
        if (length && c >= 0x20 && c != 0x7F && !(c >= 0x80 && c < 0xA0)) {
            out.append(text.substr(i, length));
            i += length;
            continue;
        }
        // The whole sequence of a control character, else the one stray byte.
        for (const std::size_t end = i + std::max<std::size_t>(length, 1); i < end; ++i) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\x%02X", static_cast<unsigned char>(text[i]));
            out += escape;
        }
    }
    return out;
}

std::string Shown(std::string_view text) {
    return "\"" + Escaped(text) + "\"";
}
