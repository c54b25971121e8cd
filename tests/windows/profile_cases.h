// Settings-file cases run twice: on Windows (under Wine) through the real
// kernel32 profile functions by profile_probe.exe, and on Linux through our
// own reader and writer by profile_compare. The two results must agree byte
// for byte, except where Wine is known to differ from Windows; those cases
// carry what Windows does (docs/ini-behaviour.md, which our Linux code follows)
// and what Wine does instead.
//
// Every string here is raw ANSI (Windows-1252) bytes.
#pragma once

#include <string_view>
#include <vector>

namespace profile_cases {

using namespace std::string_view_literals;

struct Step {
    enum Kind { Write, Read } kind;
    std::string_view section;
    std::string_view key;
    std::string_view value;  // for Write
};

inline Step W(std::string_view section, std::string_view key, std::string_view value) {
    return {Step::Write, section, key, value};
}
inline Step R(std::string_view section, std::string_view key) {
    return {Step::Read, section, key, {}};
}

enum class Start {
    Content,   // the file exists with `initial`
    NoFile,    // the folder exists, the file does not
    NoFolder,  // not even its folder exists
};

struct Case {
    std::string_view name;
    Start start;
    std::string_view initial;
    std::vector<Step> steps;
    // Empty when Wine behaves as Windows. Otherwise the rule of
    // docs/ini-behaviour.md that Wine breaks, and the expected outcomes.
    std::string_view wineDiffers = {};
    std::string_view windowsResult = {};  // the outcome on Windows (see Outcome in the probe)
    std::string_view wineResult = {};     // the outcome under Wine 8
};

// A value longer than the 5000-character buffer.
inline const std::string& LongValue() {
    static const std::string value = [] {
        std::string text;
        for (int i = 0; text.size() < 6000; ++i) text += static_cast<char>('a' + i % 26);
        return text;
    }();
    return value;
}

inline std::vector<Case> AllCases() {
    return {
        // Reading
        {"names_ignore_case",
         Start::Content,
         "[Version]\r\ngame=5\r\n",
         {R("VERSION", "Game"), R("version", "GAME")}},
        {"passed_names_lose_spaces", Start::Content, "[VERSION]\r\nGame=5\r\n", {R(" VERSION ", "  Game ")}},
        {"blanks_in_file_trimmed",
         Start::Content,
         "[ VERSION\t]\r\n \tGame \t=\t 7 \t\r\n",
         {R("VERSION", "Game")}},
        {"double_quotes_removed", Start::Content, "[A]\r\nk=\" a b \"\r\n", {R("A", "k")}},
        {"single_quotes_removed", Start::Content, "[A]\r\nk='x'\r\n", {R("A", "k")}},
        {"mismatched_quotes_kept",
         Start::Content,
         "[A]\r\nk='x\"\r\nl=\"y\r\nm=z'\r\n",
         {R("A", "k"), R("A", "l"), R("A", "m")}},
        {"only_one_pair_of_quotes", Start::Content, "[A]\r\nk=\"'x'\"\r\n", {R("A", "k")}},
        {"semicolon_line_is_comment",
         Start::Content,
         "[A]\r\n;k=1\r\n  ;j=2\r\nk=3\r\n",
         {R("A", "k"), R("A", "j")}},
        {"hash_is_ordinary",
         Start::Content,
         "[A]\r\n#k=1\r\nk=2 # not a comment\r\n",
         {R("A", "#k"), R("A", "k")}},
        {"repeated_section_header_ignored",
         Start::Content,
         "[A]\r\nk=1\r\n[B]\r\nj=2\r\n[A]\r\nk=3\r\ni=4\r\n",
         {R("A", "k"), R("A", "i"), W("A", "i", "5")}},
        {"first_duplicate_key_wins", Start::Content, "[A]\r\nk=1\r\nk=2\r\n", {R("A", "k")}},
        {"lines_before_first_section", Start::Content, "k=1\r\n[A]\r\nj=2\r\n", {R("A", "k"), R("A", "j")}},
        {"line_endings_lf", Start::Content, "[A]\nk=1\nj=2\n", {R("A", "k"), R("A", "j")}},
        {"line_endings_cr", Start::Content, "[A]\rk=1\rj=2\r", {R("A", "k"), R("A", "j")}},
        {"line_endings_mixed",
         Start::Content,
         "[A]\r\nk=1\nj=2\r[B]\r\ni=3",
         {R("A", "k"), R("A", "j"), R("B", "i")}},
        {"missing_section_and_key", Start::Content, "[A]\r\nk=1\r\n", {R("B", "k"), R("A", "j")}},
        {"missing_file", Start::NoFile, "", {R("VERSION", "Game")}},
        {"missing_folder", Start::NoFolder, "", {R("VERSION", "Game")}},
        {"empty_value", Start::Content, "[A]\r\nk=\r\nj\r\n", {R("A", "k"), R("A", "j")}},
        {"ansi_bytes", Start::Content, "[A]\r\nk=caf\xe9 \x80\r\n", {R("A", "k")}},
        {"long_value_cut_to_4999", Start::Content, {}, {W("A", "k", LongValue()), R("A", "k")}},

        // Writing
        {"existing_key_keeps_place_and_case",
         Start::Content,
         "[a]\r\nGAME=1\r\nx=2\r\n[b]\r\ny=3\r\n",
         {W("A", "Game", "9"), R("A", "game")}},
        {"only_first_duplicate_changed", Start::Content, "[A]\r\nk=1\r\nk=2\r\n", {W("A", "k", "3")}},
        {"new_section_appended",
         Start::Content,
         "[A]\r\nk=1\r\n",
         {W("UPDATER", "Fin", "1"), R("UPDATER", "Fin")}},
        {"new_section_after_unterminated_line", Start::Content, "[A]\r\nk=1", {W("B", "j", "2")}},
        {"new_key_in_last_section", Start::Content, "[A]\r\nk=1\r\n", {W("A", "j", "2")}},
        {"new_file_created",
         Start::NoFile,
         "",
         {W("UPDATER", "Fin", "1"), W("VERSION", "Game", "7"), R("VERSION", "Game")}},
        {"no_folder_nothing_created", Start::NoFolder, "", {W("UPDATER", "Fin", "1"), R("UPDATER", "Fin")}},
        {"empty_file", Start::Content, "", {W("A", "k", "1")}},
        {"value_with_quotes_and_hash", Start::Content, "[A]\r\n", {W("A", "k", "\"x\" # y"), R("A", "k")}},
        {"ansi_value_written", Start::Content, "[A]\r\n", {W("A", "k", "\xe9t\xe9"), R("A", "k")}},
        {"rewrite_same_value", Start::Content, "[A]\r\nk=1\r\n", {W("A", "k", "1")}},

        // Known differences between Wine and Windows
        {"value_with_leading_blank",
         Start::Content,
         "[VERSION]\r\nGame=3\r\n",
         {W("VERSION", "Game", " 12"), R("VERSION", "Game")},
         "12: Windows writes the value verbatim; Wine strips its leading blanks",
         "file:[VERSION]\r\nGame= 12\r\n|read:12|",
         "file:[VERSION]\r\nGame=12\r\n|read:12|"},
        {"section_name_ends_at_first_bracket",
         Start::Content,
         "[A]B]\r\nk=1\r\n[A]B]]\r\nj=2\r\n",
         {R("A", "k"), R("A]B", "k"), R("A]B]", "j")},
         "7: Windows ends the section name at the first ']', Wine at the last",
         "file:[A]B]\r\nk=1\r\n[A]B]]\r\nj=2\r\n|read:1|read:|read:|",
         "file:[A]B]\r\nk=1\r\n[A]B]]\r\nj=2\r\n|read:|read:1|read:2|"},
        {"utf8_bom_not_recognised",
         Start::Content,
         "\xef\xbb\xbf[A]\r\nk=1\r\n",
         {R("A", "k")},
         "9: Windows reads a UTF-8 byte-order mark as part of the first line; Wine honours it",
         "file:\xef\xbb\xbf[A]\r\nk=1\r\n|read:|",
         "file:\xef\xbb\xbf[A]\r\nk=1\r\n|read:1|"},
        {"new_key_before_trailing_comments",
         Start::Content,
         "[A]\r\nk=1\r\n;note\r\n\r\n[B]\r\nj=2\r\n",
         {W("A", "n", "2")},
         "13: Windows puts a new key after the section's last key line; Wine after its comments (and, as in "
         "16, "
         "drops the blank line)",
         "file:[A]\r\nk=1\r\nn=2\r\n;note\r\n\r\n[B]\r\nj=2\r\n|",
         "file:[A]\r\nk=1\r\n;note\r\nn=2\r\n[B]\r\nj=2\r\n|"},
        {"untouched_bytes_kept",
         Start::Content,
         "junk\x01\r\n[A]\nk=1\n  [B]  \r\n x = 2 \r\n",
         {W("A", "k", "3")},
         "16: Windows keeps every line it does not change byte for byte; Wine rewrites the file from its "
         "parsed copy",
         "file:junk\x01\r\n[A]\nk=3\r\n  [B]  \r\n x = 2 \r\n|",
         "file:junk\x01\r\n[A]\r\nk=3\r\n[B]\r\nx=2\r\n|"},
        {"passed_names_keep_tabs",
         Start::Content,
         "[VERSION]\r\nGame=5\r\n",
         {R("\tVERSION", "Game\t")},
         "1: Windows trims only spaces from the names passed in; Wine trims tabs too",
         "file:[VERSION]\r\nGame=5\r\n|read:|",
         "file:[VERSION]\r\nGame=5\r\n|read:5|"},
        {"comment_line_is_no_key",
         Start::Content,
         "[A]\r\n;k=1\r\nk=3\r\n",
         {R("A", ";k")},
         "4: on Windows a line starting with ';' holds no key; Wine still finds the key ';k' in it",
         "file:[A]\r\n;k=1\r\nk=3\r\n|read:|",
         "file:[A]\r\n;k=1\r\nk=3\r\n|read:1|"},
    };
}

}  // namespace profile_cases
