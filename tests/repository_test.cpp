// The repository's list formats and names, and the small conversions the
// transfers depend on.
#include <gtest/gtest.h>

#include <cmath>

#include "storage/cp1252.h"
#include "transfer/download.h"
#include "update/repository.h"

namespace {

std::vector<double> Values(std::string_view index) {
    std::vector<double> values;
    for (const IndexField& field : ReadIndexFields(index)) values.push_back(field.value);
    return values;
}

TEST(IndexReader, SplitsFieldsAtCommasAndEveryKindOfLineEnd) {
    const struct {
        const char* index;
        std::vector<double> values;
    } cases[] = {
        {"3,4", {3, 4}},
        {"5 abc", {5}},
        {"abc", {0}},
        {"3\r\n6\r\n4\r\n8\r\n6\r\n", {3, 6, 4, 8, 6}},
        {"1\n2\r3\r\n4", {1, 2, 3, 4}},
        {"  7 ,\t8\t", {7, 8}},
        {"3,,4", {3, 0, 4}},
        {"\"9,5\",10", {9, 10}},  // the quoted field keeps its comma: "9,5" reads as 9
        {"\"12\" junk,13", {12, 13}},
        {"1\r\n\r\n  \r\n2", {1, 2}},  // blank lines yield no field
        {"", {}},
    };
    for (const auto& c : cases) EXPECT_EQ(Values(c.index), c.values) << c.index;
}

TEST(IndexReader, KeepsTheFieldTextWithoutBlanksAndQuotes) {
    const auto fields = ReadIndexFields("  \" 6 x\" , 1e5 \r\n");
    ASSERT_EQ(fields.size(), 2u);
    EXPECT_EQ(fields[0].text, " 6 x");
    EXPECT_EQ(fields[1].text, "1e5");
    EXPECT_EQ(fields[1].value, 100000);
}

TEST(LeadingNumber, ReadsLikeBasicVal) {
    const struct {
        const char* text;
        double value;
    } cases[] = {
        {"12", 12},         {"12abc", 12},      {"abc", 0},    {"", 0},      {"-", 0},       {"1 2 3", 123},
        {" -  4", -4},      {"+5", 5},          {"5.4", 5.4},  {".5", 0.5},  {"1.5e2", 150}, {"1E+2", 100},
        {"25e-1", 2.5},     {"2e", 2},          {"1d3", 1000}, {"&H1F", 31}, {"&hff", 255},  {"&HFFFF", -1},
        {"&H8000", -32768}, {"&H10000", 65536}, {"&O17", 15},  {"&O", 0},    {"&X1", 0},     {"1,5", 1},
        {"\t7\n", 7},
    };
    for (const auto& c : cases) EXPECT_DOUBLE_EQ(LeadingNumber(c.text), c.value) << c.text;
}

TEST(VersionNumbers, RoundHalvesToEvenAndRefuseWhatDoesNotFitSixteenBits) {
    EXPECT_EQ(ToVersion(7.5), 8);
    EXPECT_EQ(ToVersion(8.5), 8);
    EXPECT_EQ(ToVersion(5.4), 5);
    EXPECT_EQ(ToVersion(-2.5), -2);
    EXPECT_EQ(ToVersion(32767.4), 32767);
    EXPECT_EQ(ToVersion(-32768.5), -32768);
    EXPECT_EQ(ToVersion(32767.5), std::nullopt);
    EXPECT_EQ(ToVersion(1e5), std::nullopt);
    EXPECT_EQ(ToVersion(-32769), std::nullopt);
    EXPECT_EQ(ToVersion(HUGE_VAL), std::nullopt);
    EXPECT_EQ(ToVersion(std::nan("")), std::nullopt);
}

TEST(ListReader, EndsLinesAtCrLfOrLoneCrOnly) {
    const struct {
        std::string list;
        std::vector<std::string> entries;
    } cases[] = {
        {"a.dat\r\nb/c.dat\r\n", {"a.dat", "b/c.dat"}},
        {"a.dat\r\nlast.dat", {"a.dat", "last.dat"}},
        {"a\rb\r", {"a", "b"}},
        {"a\nb\r\nc", {"a\nb", "c"}},
        {"a\r\n\r\nb", {"a", "", "b"}},
        {"\r\n", {""}},
        {"", {}},
        {" spaced name.dat \r\n", {" spaced name.dat "}},
        {std::string("nul\0byte\r\n", 10), {std::string("nul\0byte", 8)}},
    };
    for (const auto& c : cases) EXPECT_EQ(ReadListEntries(c.list), c.entries) << c.list;
}

TEST(ListReader, RefusesEntriesThatLeaveTheGameFolder) {
    for (const char* safe : {"data/maps/town.map", "readme.txt", "a\\b.dat", "", "   ", "..data/x", "x..y",
                             "./a", "Config/Client.ini", "caf\xC3\xA9.txt"}) {
        EXPECT_TRUE(IsSafeEntry(safe)) << safe;
    }
    for (const char* hostile : {"../evil", "a/../../evil", "a\\..\\evil", "..", "/etc/passwd", "\\evil",
                                "C:evil", "c:/windows/evil", "a/b:stream", "a/.../b", "a/.. /b",
                                "line\nbreak", "tab\tname", "bell\x07", "del\x7f"}) {
        EXPECT_FALSE(IsSafeEntry(hostile)) << hostile;
    }
}

TEST(RepositoryNames, FollowTheRepositoryLayout) {
    EXPECT_EQ(ListName(12), "qoro_update_12.deploy");
    EXPECT_EQ(ListName(-3), "qoro_update_-3.deploy");
    EXPECT_EQ(ListName(0), "qoro_update_0.deploy");
    EXPECT_EQ(RemoteFileName("data/maps/town.map"), "files\\data/maps/town.map");
}

TEST(RemoteNames, KeepTheLiteralPrefixAndEncodeWhatCannotStandInARequestLine) {
    EXPECT_EQ(EncodeRemoteName("files\\data/maps/town.map"), "files\\data/maps/town.map");
    EXPECT_EQ(EncodeRemoteName("files\\a b#c?d%e"), "files\\a%20b%23c%3Fd%25e");
    EXPECT_EQ(EncodeRemoteName("files\\caf\xC3\xA9"), "files\\caf%C3%A9");
    EXPECT_EQ(EncodeRemoteName("x\ty\x7f"), "x%09y%7F");
}

TEST(Percentage, IsTheIntegerPartOfTheRoundedQuotientTimesHundred) {
    EXPECT_EQ(TransferPercent(29696, 51200), 57);  // 0.58 * 100 falls just below 58
    EXPECT_EQ(TransferPercent(1024, 2048), 50);
    EXPECT_EQ(TransferPercent(2048, 2049), 99);
    EXPECT_EQ(TransferPercent(2049, 2049), 100);
    EXPECT_EQ(TransferPercent(0, 5), 0);
    EXPECT_EQ(TransferPercent(4294967296ULL, 8589934592ULL), 50);  // past 32 bits
}

TEST(AnsiText, Windows1252RoundTripsEveryByte) {
    std::string all;
    for (int b = 1; b < 256; ++b) all += static_cast<char>(b);
    EXPECT_EQ(Utf8ToCp1252(Cp1252ToUtf8(all)), all);
    EXPECT_EQ(Cp1252ToUtf8("caf\xE9"), "caf\xC3\xA9");
    EXPECT_EQ(Cp1252ToUtf8("\x80"), "\xE2\x82\xAC");  // the euro sign lives at 0x80
    EXPECT_EQ(Utf8ToCp1252("\xE2\x82\xAC"), "\x80");
    EXPECT_EQ(Utf8ToCp1252("\xE4\xB8\xAD"), "?");   // not in the code page
    EXPECT_EQ(Utf8ToCp1252("bad\xC3"), "bad\xC3");  // a cut sequence stays a byte
}

}  // namespace
