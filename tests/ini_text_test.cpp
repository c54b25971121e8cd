// The settings file must read and change exactly as the Windows profile
// functions read and change it, because the game uses those functions on the
// same file. Each table row is one observable trait of those functions.
#include "storage/ini_text.h"

#include <gtest/gtest.h>

#include <optional>
#include <random>
#include <string>
#include <vector>

namespace {

using namespace std::string_literals;

template <class Case>
std::string CaseName(const testing::TestParamInfo<Case>& param) {
    return param.param.name;
}

struct ReadCase {
    const char* name;
    std::string content;
    std::string section;
    std::string key;
    std::optional<std::string> expected;
};

void PrintTo(const ReadCase& c, std::ostream* out) {
    *out << c.name;
}

class ReadValueTest : public testing::TestWithParam<ReadCase> {};

TEST_P(ReadValueTest, ReadsAsWindowsDoes) {
    const ReadCase& c = GetParam();
    EXPECT_EQ(ini::ReadValue(c.content, c.section, c.key), c.expected);
}

const std::string kVersion = "[VERSION]\r\nGame=12\r\n";

// Names and trimming.
INSTANTIATE_TEST_SUITE_P(
    Names, ReadValueTest,
    testing::Values(ReadCase{"exact", kVersion, "VERSION", "Game", "12"},
                    ReadCase{"section_case_ignored", kVersion, "version", "Game", "12"},
                    ReadCase{"key_case_ignored", kVersion, "VERSION", "gAME", "12"},
                    ReadCase{"spaces_around_passed_names_ignored", kVersion, "  VERSION ", " Game  ", "12"},
                    ReadCase{"tab_in_passed_section_kept", kVersion, "\tVERSION", "Game", std::nullopt},
                    ReadCase{"tab_in_passed_key_kept", kVersion, "VERSION", "Game\t", std::nullopt},
                    ReadCase{"blanks_around_file_key_and_value", "[S]\r\n \t key \t=\t value \t\r\n", "S",
                             "key", "value"},
                    ReadCase{"blanks_inside_value_kept", "[S]\r\nk = a \t b \r\n", "S", "k", "a \t b"},
                    ReadCase{"blanks_around_file_section_name", "[ \tS \t]\r\nk=1\r\n", "S", "k", "1"},
                    ReadCase{"blanks_before_header", "  \t[S]\r\nk=1\r\n", "S", "k", "1"},
                    ReadCase{"equals_inside_value", "[S]\r\nk=a=b\r\n", "S", "k", "a=b"},
                    ReadCase{"empty_value_is_present", "[S]\r\nk=\r\n", "S", "k", ""},
                    ReadCase{"blank_value_is_present", "[S]\r\nk= \t \r\n", "S", "k", ""},
                    ReadCase{"key_prefix_does_not_match", "[S]\r\nGameX=1\r\n", "S", "Game", std::nullopt},
                    ReadCase{"section_prefix_does_not_match", "[SECTION]\r\nk=1\r\n", "SECT", "k",
                             std::nullopt},
                    ReadCase{"high_bytes_compared_as_bytes", "[\xC9t\xE9]\r\n\xE9=\xFF\r\n", "\xC9T\xE9",
                             "\xE9", "\xFF"}),
    CaseName<ReadCase>);

INSTANTIATE_TEST_SUITE_P(
    Quotes, ReadValueTest,
    testing::Values(ReadCase{"double_quotes_removed", "[S]\r\nk=\"a b\"\r\n", "S", "k", "a b"},
                    ReadCase{"single_quotes_removed", "[S]\r\nk='a b'\r\n", "S", "k", "a b"},
                    ReadCase{"blanks_inside_quotes_kept", "[S]\r\nk = \" 12 \" \r\n", "S", "k", " 12 "},
                    ReadCase{"only_one_pair_removed", "[S]\r\nk=\"\"x\"\"\r\n", "S", "k", "\"x\""},
                    ReadCase{"empty_quotes", "[S]\r\nk=''\r\n", "S", "k", ""},
                    ReadCase{"lone_quote_kept", "[S]\r\nk=\"\r\n", "S", "k", "\""},
                    ReadCase{"opening_quote_only_kept", "[S]\r\nk=\"abc\r\n", "S", "k", "\"abc"},
                    ReadCase{"closing_quote_only_kept", "[S]\r\nk=abc'\r\n", "S", "k", "abc'"},
                    ReadCase{"mismatched_quotes_kept", "[S]\r\nk=\"abc'\r\n", "S", "k", "\"abc'"},
                    ReadCase{"inner_quotes_kept", "[S]\r\nk=a\"b\"c\r\n", "S", "k", "a\"b\"c"}),
    CaseName<ReadCase>);

INSTANTIATE_TEST_SUITE_P(
    Comments, ReadValueTest,
    testing::Values(ReadCase{"semicolon_line_is_comment", "[S]\r\n;k=1\r\nk=2\r\n", "S", "k", "2"},
                    ReadCase{"indented_comment", "[S]\r\n \t;k=1\r\n", "S", "k", std::nullopt},
                    ReadCase{"comment_key_unreachable", "[S]\r\n;k=1\r\n", "S", ";k", std::nullopt},
                    ReadCase{"no_inline_semicolon_comment", "[S]\r\nk=1 ; note\r\n", "S", "k", "1 ; note"},
                    ReadCase{"hash_is_data_in_value", "[S]\r\nk=1 # note\r\n", "S", "k", "1 # note"},
                    ReadCase{"hash_starts_an_ordinary_key", "[S]\r\n#k=1\r\n", "S", "#k", "1"},
                    ReadCase{"hash_line_is_not_a_comment", "[S]\r\n#k=1\r\n", "S", "k", std::nullopt},
                    ReadCase{"commented_header_is_not_a_section", "[S]\r\n;[T]\r\nk=1\r\n", "S", "k", "1"}),
    CaseName<ReadCase>);

INSTANTIATE_TEST_SUITE_P(
    Structure, ReadValueTest,
    testing::Values(
        ReadCase{"first_duplicate_key_wins", "[S]\r\nk=1\r\nK=2\r\n", "S", "k", "1"},
        ReadCase{"repeated_section_first_block_used", "[S]\r\nk=1\r\n[S]\r\nk=2\r\n", "S", "k", "1"},
        ReadCase{"repeated_section_block_not_searched", "[S]\r\na=1\r\n[T]\r\n[s]\r\nk=2\r\n", "S", "k",
                 std::nullopt},
        ReadCase{"adjacent_repeated_block_not_searched", "[S]\r\na=1\r\n[S]\r\nk=2\r\n", "S", "k",
                 std::nullopt},
        ReadCase{"key_of_other_section", "[S]\r\na=1\r\n[T]\r\nk=2\r\n", "S", "k", std::nullopt},
        ReadCase{"section_ends_at_next_header", "[S]\r\n[T]\r\nk=2\r\n", "T", "k", "2"},
        ReadCase{"lines_before_first_header_by_empty_name", "k=1\r\n[S]\r\n", "", "k", std::nullopt},
        ReadCase{"lines_before_first_header_by_next_name", "k=1\r\n[S]\r\n", "S", "k", std::nullopt},
        ReadCase{"name_ends_at_first_bracket", "[S]x]\r\nk=1\r\n", "S", "k", "1"},
        ReadCase{"name_with_bracket_does_not_match", "[S]x]\r\nk=1\r\n", "S]x", "k", std::nullopt},
        ReadCase{"text_after_header_ignored", "[S] k=2\r\nk=1\r\n", "S", "k", "1"},
        ReadCase{"open_bracket_only_is_not_a_header", "[S]\r\n[T\r\nk=1\r\n", "S", "k", "1"},
        ReadCase{"key_line_without_equals_is_empty", "[S]\r\nk\r\nk=1\r\n", "S", "k", ""}),
    CaseName<ReadCase>);

INSTANTIATE_TEST_SUITE_P(LineEnds, ReadValueTest,
                         testing::Values(ReadCase{"crlf", "[S]\r\na=1\r\nk=2\r\n", "S", "k", "2"},
                                         ReadCase{"lf_only", "[S]\na=1\nk=2\n", "S", "k", "2"},
                                         ReadCase{"cr_only", "[S]\ra=1\rk=2\r", "S", "k", "2"},
                                         ReadCase{"mixed", "[S]\ra=1\nk=2\r\nb=3", "S", "k", "2"},
                                         ReadCase{"no_final_break", "[S]\r\nk=2", "S", "k", "2"},
                                         ReadCase{"cr_cr_lf_is_two_breaks", "[S]\r\r\nk=2\r\r\n", "S", "k",
                                                  "2"},
                                         ReadCase{"cr_only_header_line", "[S]\rk=2", "S", "k", "2"}),
                         CaseName<ReadCase>);

INSTANTIATE_TEST_SUITE_P(ByteOrderMark, ReadValueTest,
                         testing::Values(ReadCase{"bom_breaks_header_on_first_line",
                                                  "\xEF\xBB\xBF[S]\r\nk=1\r\n", "S", "k", std::nullopt},
                                         ReadCase{"bom_on_a_line_of_its_own",
                                                  "\xEF\xBB\xBF\r\n[S]\r\nk=1\r\n", "S", "k", "1"},
                                         ReadCase{"bom_makes_pre_section_line", "\xEF\xBB\xBFk=1\r\n[S]\r\n",
                                                  "S", "k", std::nullopt}),
                         CaseName<ReadCase>);

INSTANTIATE_TEST_SUITE_P(
    Missing, ReadValueTest,
    testing::Values(ReadCase{"empty_content", "", "S", "k", std::nullopt},
                    ReadCase{"missing_section", kVersion, "UPDATER", "Game", std::nullopt},
                    ReadCase{"missing_key", kVersion, "VERSION", "Fin", std::nullopt},
                    ReadCase{"only_blank_lines", "\r\n\r\n  \r\n", "S", "k", std::nullopt},
                    ReadCase{"value_cut_at_nul", "[S]\r\nk=ab\0cd\r\n"s, "S", "k", "ab"},
                    ReadCase{"nul_before_first_header", "\0\0k=1\r\n[S]\r\nk=2\r\n"s, "S", "k", "2"},
                    ReadCase{"nul_only_line_skipped", "[S]\r\n\0\r\nk=2\r\n"s, "S", "k", "2"}),
    CaseName<ReadCase>);

struct WriteCase {
    const char* name;
    std::string before;
    std::string section;
    std::string key;
    std::string value;
    std::string after;
};

void PrintTo(const WriteCase& c, std::ostream* out) {
    *out << c.name;
}

class WriteValueTest : public testing::TestWithParam<WriteCase> {};

TEST_P(WriteValueTest, WritesAsWindowsDoes) {
    const WriteCase& c = GetParam();
    const std::string after = ini::WriteValue(c.before, c.section, c.key, c.value);
    EXPECT_EQ(after, c.after);
    // The value written must be what the next read finds, blanks around it aside.
    const std::size_t first = c.value.find_first_not_of(' ');
    const std::string readBack = first == std::string::npos ? "" : c.value.substr(first);
    EXPECT_EQ(ini::ReadValue(after, c.section, c.key), readBack);
}

INSTANTIATE_TEST_SUITE_P(
    ExistingKey, WriteValueTest,
    testing::Values(
        WriteCase{"replaced_in_place", "[S]\r\na=1\r\nk=2\r\nb=3\r\n", "S", "k", "9",
                  "[S]\r\na=1\r\nk=9\r\nb=3\r\n"},
        WriteCase{"file_spelling_kept", "[Version]\r\nGAME = 5\r\n", "VERSION", "game", "12",
                  "[Version]\r\nGAME=12\r\n"},
        WriteCase{"indent_and_blanks_dropped", "[S]\r\n \tk \t= 1 \r\n", "S", "k", "2", "[S]\r\nk=2\r\n"},
        WriteCase{"leading_blank_kept", "[VERSION]\r\nGame=5\r\n", "VERSION", "Game", " 12",
                  "[VERSION]\r\nGame= 12\r\n"},
        WriteCase{"empty_value", "[S]\r\nk=1\r\n", "S", "k", "", "[S]\r\nk=\r\n"},
        WriteCase{"only_first_duplicate_changed", "[S]\r\nk=1\r\nk=2\r\n", "S", "k", "9",
                  "[S]\r\nk=9\r\nk=2\r\n"},
        WriteCase{"quoted_value_replaced_whole", "[S]\r\nk=\"a\"\r\n", "S", "k", "b", "[S]\r\nk=b\r\n"},
        WriteCase{"line_without_equals_gets_value", "[S]\r\nk\r\n", "S", "k", "1", "[S]\r\nk=1\r\n"},
        WriteCase{"lf_line_becomes_crlf", "[S]\na=1\nk=2\nb=3\n", "S", "k", "9", "[S]\na=1\nk=9\r\nb=3\n"},
        WriteCase{"cr_line_becomes_crlf", "[S]\rk=2\rb=3\r", "S", "k", "9", "[S]\rk=9\r\nb=3\r"},
        WriteCase{"last_line_without_break_gets_one", "[S]\r\nk=2", "S", "k", "9", "[S]\r\nk=9\r\n"},
        WriteCase{"spaces_around_passed_names_ignored", "[S]\r\nk=1\r\n", " S ", " k ", "9",
                  "[S]\r\nk=9\r\n"}),
    CaseName<WriteCase>);

INSTANTIATE_TEST_SUITE_P(
    NewKey, WriteValueTest,
    testing::Values(WriteCase{"after_last_key", "[S]\r\na=1\r\n[T]\r\nx=1\r\n", "S", "k", "2",
                              "[S]\r\na=1\r\nk=2\r\n[T]\r\nx=1\r\n"},
                    WriteCase{"above_closing_comments_and_blanks", "[S]\r\na=1\r\n; end of S\r\n\r\n[T]\r\n",
                              "S", "k", "2", "[S]\r\na=1\r\nk=2\r\n; end of S\r\n\r\n[T]\r\n"},
                    WriteCase{"below_comment_between_keys", "[S]\r\n;c1\r\na=1\r\n;c2\r\nb=1\r\n;c3\r\n", "S",
                              "k", "2", "[S]\r\n;c1\r\na=1\r\n;c2\r\nb=1\r\nk=2\r\n;c3\r\n"},
                    WriteCase{"section_without_keys", "[S]\r\n; nothing yet\r\n[T]\r\n", "S", "k", "2",
                              "[S]\r\nk=2\r\n; nothing yet\r\n[T]\r\n"},
                    WriteCase{"header_at_end_without_break", "[S]", "S", "k", "2", "[S]\r\nk=2\r\n"},
                    WriteCase{"header_with_cr_only", "[S]\r", "S", "k", "2", "[S]\rk=2\r\n"},
                    WriteCase{"last_key_without_break", "[S]\r\na=1", "S", "k", "2", "[S]\r\na=1\r\nk=2\r\n"},
                    WriteCase{"lf_file_keeps_its_lines", "[S]\na=1\n\n[T]\n", "S", "k", "2",
                              "[S]\na=1\nk=2\r\n\n[T]\n"},
                    WriteCase{"into_first_of_repeated_sections", "[S]\r\na=1\r\n[T]\r\n[S]\r\nk=1\r\n", "S",
                              "k", "2", "[S]\r\na=1\r\nk=2\r\n[T]\r\n[S]\r\nk=1\r\n"},
                    WriteCase{"above_adjacent_repeated_header", "[S]\r\na=1\r\n[S]\r\nb=1\r\n", "S", "k", "2",
                              "[S]\r\na=1\r\nk=2\r\n[S]\r\nb=1\r\n"},
                    WriteCase{"section_found_without_case", "[version]\r\nX=1\r\n", "VERSION", "Game", "3",
                              "[version]\r\nX=1\r\nGame=3\r\n"},
                    WriteCase{"comment_with_same_key_ignored", "[S]\r\n;k=1\r\n", "S", "k", "2",
                              "[S]\r\nk=2\r\n;k=1\r\n"}),
    CaseName<WriteCase>);

INSTANTIATE_TEST_SUITE_P(
    NewSection, WriteValueTest,
    testing::Values(
        WriteCase{"empty_file", "", "UPDATER", "Fin", "1", "[UPDATER]\r\nFin=1\r\n"},
        WriteCase{"appended_without_blank_line", "[S]\r\na=1\r\n", "T", "k", "2",
                  "[S]\r\na=1\r\n[T]\r\nk=2\r\n"},
        WriteCase{"break_added_when_missing", "[S]\r\na=1", "T", "k", "2", "[S]\r\na=1\r\n[T]\r\nk=2\r\n"},
        WriteCase{"after_lf_end", "[S]\na=1\n", "T", "k", "2", "[S]\na=1\n[T]\r\nk=2\r\n"},
        WriteCase{"after_cr_end", "[S]\ra=1\r", "T", "k", "2", "[S]\ra=1\r[T]\r\nk=2\r\n"},
        WriteCase{"after_trailing_comment_and_blank", "[S]\r\na=1\r\n\r\n; end\r\n", "T", "k", "2",
                  "[S]\r\na=1\r\n\r\n; end\r\n[T]\r\nk=2\r\n"},
        WriteCase{"passed_names_trimmed", "", " T ", " k ", "2", "[T]\r\nk=2\r\n"},
        WriteCase{"pre_section_key_not_reused", "k=1\r\n", "S", "k", "2", "k=1\r\n[S]\r\nk=2\r\n"},
        WriteCase{"blanks_only_file", "  \r\n", "S", "k", "2", "  \r\n[S]\r\nk=2\r\n"},
        WriteCase{"bom_header_not_recognised", "\xEF\xBB\xBF[S]\r\nk=1\r\n", "S", "k", "2",
                  "\xEF\xBB\xBF[S]\r\nk=1\r\n[S]\r\nk=2\r\n"}),
    CaseName<WriteCase>);

INSTANTIATE_TEST_SUITE_P(
    Preservation, WriteValueTest,
    testing::Values(WriteCase{"stray_and_nul_bytes_before_first_header", "\x01\0junk\xFF\n[S]\r\nk=1\r\n"s,
                              "S", "k", "2", "\x01\0junk\xFF\n[S]\r\nk=2\r\n"s},
                    WriteCase{"nul_bytes_in_other_lines", "[S]\r\na=\0\0\r\nk=1\r\n[T]\r\n\0\r\n"s, "S", "k",
                              "2", "[S]\r\na=\0\0\r\nk=2\r\n[T]\r\n\0\r\n"s},
                    WriteCase{"other_sections_comments_blanks_order",
                              "; top\r\n\r\n[B]\r\nz=1\r\n\r\n[A]\r\nk=1\r\n;x\r\n[C]\n", "A", "k", "2",
                              "; top\r\n\r\n[B]\r\nz=1\r\n\r\n[A]\r\nk=2\r\n;x\r\n[C]\n"},
                    WriteCase{"blanks_and_tabs_in_other_lines", "[S]\r\n  a \t=  1 \t\r\nk=1\r\n", "S", "k",
                              "2", "[S]\r\n  a \t=  1 \t\r\nk=2\r\n"},
                    WriteCase{"bom_kept_not_doubled", "\xEF\xBB\xBF\r\n[S]\r\nk=1\r\n", "S", "k", "2",
                              "\xEF\xBB\xBF\r\n[S]\r\nk=2\r\n"}),
    CaseName<WriteCase>);

// Bytes nobody meant as text: the reader must not crash on them and a write
// must keep every one of them.
std::string RandomBytes(std::size_t count, unsigned seed) {
    std::mt19937 generator(seed);
    std::uniform_int_distribution<int> byte(0, 255);
    std::string bytes;
    for (std::size_t i = 0; i < count; ++i) bytes += static_cast<char>(byte(generator));
    return bytes;
}

struct GarbageCase {
    const char* name;
    std::string content;
};

void PrintTo(const GarbageCase& c, std::ostream* out) {
    *out << c.name;
}

class GarbageTest : public testing::TestWithParam<GarbageCase> {};

TEST_P(GarbageTest, NewSectionAppendedAfterEveryOriginalByte) {
    const std::string& content = GetParam().content;
    EXPECT_EQ(ini::ReadValue(content, "UPDATER", "Fin"), std::nullopt);
    const std::string after = ini::WriteValue(content, "UPDATER", "Fin", "1");
    ASSERT_GE(after.size(), content.size());
    EXPECT_EQ(after.compare(0, content.size(), content), 0);
    EXPECT_EQ(ini::ReadValue(after, "UPDATER", "Fin"), "1");
}

TEST_P(GarbageTest, KeyInsideGarbageChangedAlone) {
    const std::string& garbage = GetParam().content;
    const std::string content = garbage + "\r\n[UPDATER]\r\nFin=0\r\n" + garbage;
    EXPECT_EQ(ini::ReadValue(content, "UPDATER", "Fin"), "0");
    EXPECT_EQ(ini::WriteValue(content, "UPDATER", "Fin", "1"),
              garbage + "\r\n[UPDATER]\r\nFin=1\r\n" + garbage);
}

INSTANTIATE_TEST_SUITE_P(Garbage, GarbageTest,
                         testing::Values(GarbageCase{"random_bytes", RandomBytes(64 * 1024, 1)},
                                         GarbageCase{"random_bytes_other_seed", RandomBytes(4096, 2)},
                                         GarbageCase{"nul_bytes", std::string(1000, '\0')},
                                         GarbageCase{"megabyte_line", std::string(1 << 20, 'x')},
                                         GarbageCase{"megabyte_of_brackets", std::string(1 << 20, '[')},
                                         GarbageCase{"megabyte_of_breaks", std::string(1 << 20, '\r')},
                                         GarbageCase{"invalid_utf8",
                                                     "\xC3\x28\xA0\xA1\xE2\x28\xA1\xF0\x28\x8C\xBC\xFE\xFF"}),
                         CaseName<GarbageCase>);

TEST(IniLongLines, MegabyteValueReadWhole) {
    const std::string big(1 << 20, 'v');
    const std::string content = "[S]\r\nbig=" + big + "\r\nafter=1\r\n";
    EXPECT_EQ(ini::ReadValue(content, "S", "big"), big);
    EXPECT_EQ(ini::ReadValue(content, "S", "after"), "1");
    EXPECT_EQ(ini::WriteValue(content, "S", "after", "2"), "[S]\r\nbig=" + big + "\r\nafter=2\r\n");
    EXPECT_EQ(ini::WriteValue(content, "S", "new", "3"), "[S]\r\nbig=" + big + "\r\nafter=1\r\nnew=3\r\n");
}

TEST(IniLongLines, ManyLinesStayFast) {
    // A quadratic scan would take minutes here.
    std::string content = "[S]\r\n";
    for (int i = 0; i < 200000; ++i) content += "key" + std::to_string(i) + "=" + std::to_string(i) + "\r\n";
    EXPECT_EQ(ini::ReadValue(content, "S", "key199999"), "199999");
    EXPECT_EQ(ini::WriteValue(content, "S", "last", "1"), content + "last=1\r\n");
}

}  // namespace
