// The update repository's contract: the names of its files and the two list
// formats (the version index and the per-version file lists).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

inline constexpr const char* kIndexName = "qoro_update_infos.deploy";

// Limits that keep a broken or hostile repository from exhausting memory;
// real repositories stay far below them.
inline constexpr std::size_t kLargestIndex = 1024 * 1024;      // bytes
inline constexpr std::size_t kLargestList = 64 * 1024 * 1024;  // bytes, per list
inline constexpr std::size_t kMostEntries = 1000000;           // distinct entries, all lists together
// Windows' own path limit (MAX_PATH less its terminating NUL) bounds an entry.
inline constexpr std::size_t kLongestEntry = 259;  // characters

// "qoro_update_" + N + ".deploy", N in plain decimal ("-" when negative).
std::string ListName(std::int16_t version);
// "files\" + entry: every game file lives under that one literal prefix.
std::string RemoteFileName(const std::string& entry);

// One field of the version index: its text (blanks and one pair of enclosing
// quotes removed) and its numeric value.
struct IndexField {
    std::string text;
    double value = 0;
};

// Fields separated by commas and line ends (CR LF, CR or LF); a quoted field
// may hold commas. Blank lines yield no field.
std::vector<IndexField> ReadIndexFields(std::string_view content);

// The leading number of a text, as BASIC's Val reads it: optional sign,
// digits, fraction and exponent, blanks inside skipped, &H and &O prefixes;
// 0 when there is none. Anything after the number is ignored.
double LeadingNumber(std::string_view text);

// The value rounded to the nearest whole number (halves to even) when that
// fits a 16-bit version number.
std::optional<std::int16_t> ToVersion(double value);

// True when the text starts with a number, as LeadingNumber reads one.
bool HasLeadingNumber(std::string_view text);

// Lines ending at CR LF or a lone CR; a lone LF stays inside its entry; the
// last line needs no terminator. Entries are taken unchanged, empty ones too.
std::vector<std::string> ReadListEntries(std::string_view content);
// The same entries, one at a time, without a copy of the whole list.
void ForEachListEntry(std::string_view content, const std::function<void(std::string_view)>& action);

// Empty or only spaces: the updater counts such an entry but fetches nothing
// for it.
bool IsBlankEntry(std::string_view entry);

// False for an entry that would write outside the game folder: an absolute
// path, a drive letter or any ':', a ".." component, a control character.
bool IsSafeEntry(std::string_view entry);

// Why the updater refuses a list entry (UTF-8) before any transfer: unsafe,
// longer than kLongestEntry, or with a part that is no name ("data/", "a/.",
// "./a", "a//b", "a/ /b").
// Nothing for a blank entry, which is counted but fetches nothing.
std::optional<std::string> RefusedEntryReason(std::string_view entry);

// A text as it can be shown in the window: control characters as "?",
// and at most a line's worth of it, ending in "…" when cut.
std::string Printable(std::string_view text);
