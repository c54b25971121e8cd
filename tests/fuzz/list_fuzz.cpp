// A version's file list as a server sends it (ForEachListEntry,
// ReadListEntries) and what the updater makes of each entry before any
// transfer: its UTF-8 spelling, the checks that keep it inside the game
// folder (IsSafeEntry, RefusedEntryReason), its own working files
// (IsWorkingFileName), the staged names it gives an entry, and the text
// shown of it (Printable).
#include "fuzz_support.h"
#include "storage/cp1252.h"
#include "storage/storage.h"
#include "update/formats/repository.h"
#include "update/records/working_records.h"

namespace {

// Entries past this many are read but not checked one by one: a long list
// would only repeat the same checks more slowly.
constexpr std::size_t kEntriesChecked = 64;

std::size_t Characters(std::string_view utf8) {
    return static_cast<std::size_t>(std::count_if(
        utf8.begin(), utf8.end(), [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }));
}

bool IsControl(char c) {
    const auto b = static_cast<unsigned char>(c);
    return b < 0x20 || b == 0x7F;
}

// What an accepted entry must be, said another way than the checks say it:
// relative, no control character and no ':', and every part a name that
// Windows does not reduce to nothing (trailing dots and blanks dropped), so
// that no part can be "." or ".." and nothing climbs out of the game folder.
void CheckAccepted(std::string_view entry) {
    FUZZ_CHECK(IsSafeEntry(entry));
    FUZZ_CHECK(std::none_of(entry.begin(), entry.end(), IsControl));
    FUZZ_CHECK(entry.find(':') == std::string_view::npos);
    FUZZ_CHECK(Characters(entry) <= kLongestEntry);
    std::string_view rest = entry;
    while (true) {
        const std::size_t end = rest.find_first_of("/\\");
        std::string_view part = rest.substr(0, end);
        while (!part.empty() && (part.back() == '.' || part.back() == ' ')) part.remove_suffix(1);
        FUZZ_CHECK(!part.empty());
        if (end == std::string_view::npos) break;
        rest.remove_prefix(end + 1);
    }
}

std::string Upper(std::string_view text) {
    std::string upper(text);
    for (char& c : upper) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    return upper;
}

std::string Backslashed(std::string_view text) {
    std::string out(text);
    std::replace(out.begin(), out.end(), '/', '\\');
    return out;
}

void CheckEntry(std::string_view entry) {
    const std::optional<std::string> refused = RefusedEntryReason(entry);
    const bool blank = IsBlankEntry(entry);
    FUZZ_CHECK(blank == (entry.find_first_not_of(' ') == std::string_view::npos));
    if (blank) FUZZ_CHECK(!refused);
    if (!IsSafeEntry(entry)) FUZZ_CHECK(refused.has_value());
    if (!refused && !blank) CheckAccepted(entry);

    // The updater's own files are known in any case and with either separator.
    const bool working = IsWorkingFileName(entry);
    FUZZ_CHECK(IsWorkingFileName(Upper(entry)) == working);
    FUZZ_CHECK(IsWorkingFileName(Backslashed(entry)) == working);

    // Every entry a list may hold can be staged under a name the records
    // take back; a name of another entry is not one of its own.
    if (!refused && !blank && !working) {
        const std::string staged = StagedStem(std::string(entry)) + std::string(kStagedMark) + "0123abcd";
        FUZZ_CHECK(IsStagedNameOf(staged, entry));
        // Entries that fit keep stems of their own; one cut to fit may share its stem.
        const std::string longer = std::string(entry) + "x";
        if (StagedStem(longer) == longer) FUZZ_CHECK(!IsStagedNameOf(staged, longer));
        const std::size_t folder = staged.find_last_of("/\\");
        FUZZ_CHECK(staged.size() - (folder == std::string::npos ? 0 : folder + 1) <= 255);
        const std::string backup = BackupName(staged);
        FUZZ_CHECK(backup.size() == staged.size() && !IsStagedNameOf(backup, entry));
    }

    const std::string shown = Printable(entry);
    FUZZ_CHECK(std::none_of(shown.begin(), shown.end(), IsControl));
    FUZZ_CHECK(Characters(shown) <= 201);
    if (Characters(entry) <= 200 && std::none_of(entry.begin(), entry.end(), IsControl))
        FUZZ_CHECK(shown == entry);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view list = fuzz::Text(data, size);
    std::vector<std::string> entries;
    ForEachListEntry(list, [&](std::string_view entry) { entries.emplace_back(entry); });
    FUZZ_CHECK(ReadListEntries(list) == entries);
    // Entries end at CR LF or a lone CR: joined again with CR LF they read the same.
    std::string joined;
    for (const std::string& entry : entries) {
        FUZZ_CHECK(entry.find('\r') == std::string::npos);
        joined += entry + "\r\n";
    }
    FUZZ_CHECK(ReadListEntries(joined) == entries);

    for (std::size_t k = 0; k < entries.size() && k < kEntriesChecked; ++k) {
        // Lists are in the ANSI code page; the updater checks their UTF-8 spelling.
        const std::string utf8 = AnsiToUtf8(entries[k]);
        FUZZ_CHECK(Utf8ToAnsi(utf8) == entries[k]);
        CheckEntry(utf8);
        CheckEntry(entries[k]);
    }
    return 0;
}
