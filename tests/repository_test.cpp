// The repository's list formats and names, and the small conversions the
// transfers depend on.
#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <sstream>
#include <tuple>

#include "storage/cp1252.h"
#include "transfer/download.h"
#include "update/formats/repository.h"
#include "update/records/settings_record.h"
#include "update/records/working_records.h"
#include "update/removals.h"

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
        {"\t7\n", 7},       {"& H1F", 31},      {"&\tO3", 3},  {"-\n5", -5},
    };
    for (const auto& c : cases) {
        EXPECT_DOUBLE_EQ(LeadingNumber(c.text), c.value) << c.text;
        // What reads as a number is seen as one.
        if (c.value != 0) {
            EXPECT_TRUE(HasLeadingNumber(c.text)) << c.text;
        }
    }
}

// [UPDATER] DebitMax as players write it: Ko/s, read like [VERSION] Game.
TEST(BandwidthCap, IsTheLeadingNumberInKibibytesAndNoCapForAnythingElse) {
    const struct {
        const char* text;
        std::uint64_t bytesPerSecond;
    } cases[] = {
        {"500", 500 * 1024},
        {" 500", 500 * 1024},
        {"500 Ko/s", 500 * 1024},
        {"2.7", 2 * 1024},
        {"0.5", 1024},
        {"", 0},
        {"0", 0},
        {"-100", 0},
        {"illimité", 0},
        {"1e30", 1000000000ull * 1024},
    };
    for (const auto& c : cases) EXPECT_EQ(BandwidthCapOf(c.text), c.bytesPerSecond) << c.text;
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

TEST(ListReader, RefusesPartsThatAreNoName) {
    // A "." or empty part, or one Windows reduces to nothing, spells another
    // name: the updater's own files would slip past the checks made on names.
    for (const char* refused : {"./updater.journal", "Config/./updater.serial", "Config//updater.serial",
                                "a/ /b.dat", "a/. /b.dat", "a\\.\\b.dat", "data/", "a/.", "a/ ", ". /x"}) {
        EXPECT_EQ(RefusedEntryReason(refused), "Chemin refusé: " + std::string(refused) + ".") << refused;
    }
    for (const char* accepted : {"data/maps/town.map", "..data/x", "x..y", " spaced name.dat ", "a/.hidden",
                                 "a/ b.dat", "", "   "}) {
        EXPECT_EQ(RefusedEntryReason(accepted), std::nullopt) << accepted;
    }
}

TEST(WorkingFiles, AreKnownInEverySpellingOfTheirNames) {
    for (const char* working :
         {"updater.journal", "UPDATER.JOURNAL", "updater.journal.", "updater.journal. ", "./updater.lock",
          "Config//updater.serial", "Config/./updater.serial", "config\\UPDATER.serial",
          "Config/updater.serial.new", "updater.staging.bad", "updater.journal.bad", "Updater.Staging"}) {
        EXPECT_TRUE(IsWorkingFileName(working)) << working;
    }
    for (const char* game : {"updater.journal.txt", "data/updater.journal", "updater.serial",
                             "Config/Client.ini", "kestralon.exe", "updater"}) {
        EXPECT_FALSE(IsWorkingFileName(game)) << game;
    }
}

TEST(RecordNames, AreOnlyTheUpdatersOwnStagedNamesBesideListWorthyEntries) {
    const std::string longName(255, 'n');
    const struct {
        std::string staged;
        std::string entry;
        bool accepted;
    } cases[] = {
        {"a.dat.~upd-0123abcd", "a.dat", true},
        {"data/maps/town.map.~upd-ffffffff", "data/maps/town.map", true},
        {"d/" + longName.substr(0, 241) + ".~upd-00000000", "d/" + longName, true},
        {"d/" + longName + ".~upd-00000000", "d/" + longName, false},
        {"a.dat.~upd-0123ABCD", "a.dat", false},
        {"a.dat.~upd-0123abc", "a.dat", false},
        {"a.dat.~upd-0123abcde", "a.dat", false},
        {"a.dat.~old-0123abcd", "a.dat", false},
        {"b.dat.~upd-0123abcd", "a.dat", false},
        {"kestralon.exe", "a.dat", false},
        {"Config/Client.ini", "Config/Client.ini", false},
        {"../x.~upd-0123abcd", "../x", false},
        {"/tmp/x.~upd-0123abcd", "/tmp/x", false},
        {"a//b.~upd-0123abcd", "a//b", false},
        {"updater.journal.~upd-0123abcd", "updater.journal", false},
        {"Config/updater.serial.~upd-0123abcd", "Config/updater.serial", false},
        {" .~upd-0123abcd", " ", false},
    };
    for (const auto& c : cases) EXPECT_EQ(IsStagedNameOf(c.staged, c.entry), c.accepted) << c.staged;
}

std::string Sealed(const std::string& text) {
    return text + SumLine(text) + "\n";
}

TEST(Journal, IsReadBackOnlyWhenWholeAndNamingTheUpdatersOwnMoves) {
    const std::vector<CommitMove> moves = {{"a.dat.~upd-0123abcd", "a.dat", "a.dat.~old-0123abcd"},
                                           {"d/b.dat.~upd-ffff0000", "d/b.dat", "d/b.dat.~old-ffff0000"}};
    // With removals, in a format that updaters which know only moves set aside.
    std::vector<CommitMove> removing = moves;
    removing.insert(removing.begin(), {"", "gone/c d.dat", "gone/c d.dat.~old-00aa11bb"});
    std::ostringstream written, writtenRemoving;
    WriteJournalText(written, -3, moves);
    WriteJournalText(writtenRemoving, 9, removing);
    EXPECT_TRUE(written.str().starts_with("kestralon-journal 2\n"));
    EXPECT_TRUE(writtenRemoving.str().starts_with("kestralon-journal 3\n"));
    for (const auto& [text, version, expected] :
         {std::tuple(written.str(), -3, moves), std::tuple(writtenRemoving.str(), 9, removing)}) {
        const std::optional<Journal> read = ReadJournal(text);
        ASSERT_TRUE(read) << text;
        EXPECT_EQ(read->version, version);
        ASSERT_EQ(read->moves.size(), expected.size());
        for (std::size_t i = 0; i < expected.size(); ++i) {
            EXPECT_EQ(read->moves[i].staged, expected[i].staged);
            EXPECT_EQ(read->moves[i].target, expected[i].target);
            EXPECT_EQ(read->moves[i].backup, expected[i].backup);
        }
    }

    const std::string head = "kestralon-journal 2\nversion 6\n";
    const std::string headRemoving = "kestralon-journal 3\nversion 6\n";
    std::string editedSum = Sealed(head + "version 32767\n");
    editedSum[editedSum.size() - 2] ^= 1;
    const std::string whole = written.str();
    for (const std::string& refused : {
             Sealed(head + "move\tfirst.dat.~upd-0123abcd\t../outside\t../outside.~old-0123abcd\n"),
             Sealed(head + "move\t../outside.~upd-0123abcd\t../outside\t../outside.~old-0123abcd\n"),
             Sealed(head + "move\tkestralon.exe\ta.dat\ta.dat.~old-0123abcd\n"),
             Sealed(head + "move\ta.dat.~upd-0123abcd\ta.dat\tConfig/Client.ini\n"),
             Sealed(head + "move\ta.dat.~upd-0123abcd\tkestralon.exe\tkestralon.exe.~old-0123abcd\n"),
             Sealed(head +
                    "move\tupdater.journal.~upd-0123abcd\tupdater.journal\tupdater.journal.~old-0123abcd\n"),
             Sealed(head + "move\ta.dat.~upd-0123abcd\ta.dat\n"),
             Sealed(head + "version 7\n"),
             // Removals only in their own format, and only of an entry, to
             // a backup name of it.
             Sealed(head + "remove\ta.dat\ta.dat.~old-0123abcd\n"),
             Sealed(headRemoving + "move\ta.dat.~upd-0123abcd\ta.dat\ta.dat.~old-0123abcd\n"),
             Sealed(headRemoving + "remove\ta.dat\tb.dat.~old-0123abcd\n"),
             Sealed(headRemoving + "remove\ta.dat\ta.dat.~upd-0123abcd\n"),
             Sealed(headRemoving + "remove\ta.dat\ta.dat\n"),
             Sealed(headRemoving + "remove\t../outside\t../outside.~old-0123abcd\n"),
             Sealed(headRemoving + "remove\tupdater.staging\tupdater.staging.~old-0123abcd\n"),
             Sealed(headRemoving + "remove\ta.dat\n"),
             Sealed(headRemoving + "remove\t\ta.dat.~old-0123abcd\n"),
             Sealed("kestralon-journal 2\nversion 32768\n"),
             Sealed("kestralon-journal 2\nversion +6\n"),
             Sealed("kestralon-journal 2\n"),
             Sealed("kestralon-journal 1\nversion 6\n"),
             std::string("kestralon-journal 1\nversion 32767\nend\n"),
             editedSum,
             head + "sum " + std::string(64, '0') + "\n",
             whole.substr(0, whole.size() - 1),
             writtenRemoving.str().substr(0, writtenRemoving.str().rfind("sum ")),
             whole.substr(0, whole.rfind("sum ")),
             std::string(),
         }) {
        EXPECT_FALSE(ReadJournal(refused)) << refused;
    }
}

// What a staging record says of one staged name; verified as "<hex> <size>".
struct Held {
    std::string entry;
    std::string validator;
    std::int64_t total = -1;
    std::string verified;
    bool operator==(const Held&) const = default;
    friend std::ostream& operator<<(std::ostream& out, const Held& held) {
        return out << held.entry << " " << held.validator << " " << held.total << " " << held.verified;
    }
};
using Named = std::map<std::string, Held>;

std::optional<Named> ReadStaging(const std::string& text) {
    std::istringstream in(text);
    const auto read = ReadStagingRecord(in);
    if (!read) return std::nullopt;
    Named named;
    for (const auto& [staged, what] : *read) {
        const std::string verified =
            what.verified ? Hex(what.verified->sha256) + " " + std::to_string(what.verified->size) : "";
        named[staged] = {what.entry, what.validator, what.total, verified};
    }
    return named;
}

TEST(StagingRecord, NamesOnlyWholePiecesOfTheUpdatersOwnStagedFiles) {
    const std::string head = "kestralon-staging 3\n";
    const std::string a = "file\ta.dat.~upd-0123abcd\ta.dat\n";
    const std::string b = "file\td/b.dat.~upd-ffff0000\td/b.dat\n";
    const std::string aValid = "valid\ta.dat.~upd-0123abcd\t\"e1\"\t220000\n";
    const std::string digest(64, 'c');
    const std::string aVerified = "verified\ta.dat.~upd-0123abcd\t" + digest + "\t4096\n";
    // Another tag: a line the updater could have written, but not the one summed.
    std::string edited = Sealed(b);
    edited[edited.find("ffff0000") + 7] = '1';
    const struct {
        const char* what;
        std::string text;
        std::optional<Named> named;
    } cases[] = {
        {"no piece", head, Named{}},
        {"one piece", head + Sealed(a + b),
         Named{{"a.dat.~upd-0123abcd", {"a.dat", "", -1, ""}},
               {"d/b.dat.~upd-ffff0000", {"d/b.dat", "", -1, ""}}}},
        {"a validator in a later piece", head + Sealed(a) + Sealed(aValid),
         Named{{"a.dat.~upd-0123abcd", {"a.dat", "\"e1\"", 220000, ""}}}},
        {"a staged file gone", head + Sealed(a + b) + Sealed("gone\td/b.dat.~upd-ffff0000\n"),
         Named{{"a.dat.~upd-0123abcd", {"a.dat", "", -1, ""}}}},
        // A last piece without its sum was cut by a crash: left out.
        {"a cut last piece", head + Sealed(a) + b, Named{{"a.dat.~upd-0123abcd", {"a.dat", "", -1, ""}}}},
        {"a validator for a name never given", head + Sealed(aValid), std::nullopt},
        {"a name of another entry", head + Sealed("file\ta.dat.~upd-0123abcd\tb.dat\n"), std::nullopt},
        {"a name outside the game folder", head + Sealed("file\t../x.~upd-0123abcd\t../x\n"), std::nullopt},
        {"an unknown line", head + Sealed("keep\ta.dat\n"), std::nullopt},
        {"a total that is not a number", head + Sealed(a + "valid\ta.dat.~upd-0123abcd\t\"e1\"\t+5\n"),
         std::nullopt},
        {"an edited piece", head + Sealed(a) + edited, std::nullopt},
        {"a verified body", head + Sealed(a + b) + Sealed(aVerified),
         Named{{"a.dat.~upd-0123abcd", {"a.dat", "", -1, digest + " 4096"}},
               {"d/b.dat.~upd-ffff0000", {"d/b.dat", "", -1, ""}}}},
        {"a verified body gone", head + Sealed(a + aVerified) + Sealed("gone\ta.dat.~upd-0123abcd\n"),
         Named{}},
        {"a verified line for a name never given", head + Sealed(aVerified), std::nullopt},
        {"a verified digest that is not one",
         head + Sealed(a + "verified\ta.dat.~upd-0123abcd\t" + std::string(63, 'c') + "\t4096\n"),
         std::nullopt},
        {"a verified size that is not a number",
         head + Sealed(a + "verified\ta.dat.~upd-0123abcd\t" + digest + "\t-1\n"), std::nullopt},
        // The format before verified bodies: read as it is, without them.
        {"the format before verified bodies", "kestralon-staging 2\n" + Sealed(a) + Sealed(aValid),
         Named{{"a.dat.~upd-0123abcd", {"a.dat", "\"e1\"", 220000, ""}}}},
        {"a verified line in the format before them", "kestralon-staging 2\n" + Sealed(a + aVerified),
         std::nullopt},
        {"an earlier format", "kestralon-staging 1\n" + Sealed(a), std::nullopt},
        {"a later format", "kestralon-staging 4\n" + Sealed(a), std::nullopt},
        {"CR LF line ends", "kestralon-staging 3\r\n" + Sealed(a), std::nullopt},
        // Cut before its first line was whole, by a kill right after the run
        // made it: a record that names nothing yet, not one to set aside.
        {"a header cut", "kestralon-staging 3", Named{}},
        {"a header cut short", "kestralon-stag", Named{}},
        {"empty", "", Named{}},
        {"a header cut, then something else", "kestralon-staging X", std::nullopt},
        {"another header cut", "kestralon-journal", std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(ReadStaging(c.text), c.named) << c.what;
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

// Which installed files a run that ends at a version removes: the drops up
// to it (an earlier run may have left the file of one before the installed
// version), but those a list from the drop on names again (under any
// spelling Windows takes for the same file) and those that name no file a
// list may hold; with every content the drops name.
TEST(Removals, AreTheDropsUpToTheNewestThatNoLaterListNamesAgain) {
    const FileDigest a = DigestOf("a"), b = DigestOf("b"), c = DigestOf("c");
    const auto drop = [](std::int16_t version, const FileDigest& last, std::string entry) {
        return RemovedEntry{version, last, std::move(entry)};
    };
    using Due = std::vector<std::pair<std::string, std::vector<FileDigest>>>;
    const struct {
        const char* what;
        std::int16_t newest;
        std::vector<RemovedEntry> removed;
        std::vector<VersionEntries> lists;
        Due due;
    } rows[] = {
        {"nothing dropped", 6, {}, {{4, {"x.dat"}}}, {}},
        {"dropped by a newer version", 6, {drop(5, a, "x.dat")}, {}, {{"x.dat", {a}}}},
        {"dropped by the newest", 6, {drop(6, a, "x.dat")}, {}, {{"x.dat", {a}}}},
        {"dropped by the installed or an older version, left",
         6,
         {drop(2, a, "x.dat")},
         {},
         {{"x.dat", {a}}}},
        {"dropped beyond the newest", 6, {drop(7, a, "x.dat")}, {}, {}},
        {"listed again later", 8, {drop(5, a, "x.dat")}, {{7, {"x.dat"}}}, {}},
        {"listed again by the dropping version", 8, {drop(5, a, "x.dat")}, {{5, {"x.dat"}}}, {}},
        {"listed again in another spelling", 8, {drop(5, a, "Data/X.dat")}, {{7, {"data\\x.dat."}}}, {}},
        {"listed before the drop only", 8, {drop(5, a, "x.dat")}, {{4, {"x.dat"}}}, {{"x.dat", {a}}}},
        {"listed after the newest", 6, {drop(5, a, "x.dat")}, {{7, {"x.dat"}}}, {{"x.dat", {a}}}},
        {"one drop, every content the versions before it installed",
         6,
         {drop(5, a, "x.dat"), drop(5, b, "x.dat")},
         {},
         {{"x.dat", {a, b}}}},
        {"dropped, listed again, dropped again: either content",
         9,
         {drop(5, a, "x.dat"), drop(8, b, "x.dat")},
         {{4, {"x.dat"}}, {7, {"x.dat"}}},
         {{"x.dat", {a, b}}}},
        {"dropped, then listed again", 9, {drop(5, a, "x.dat")}, {{7, {"x.dat"}}, {9, {"y.dat"}}}, {}},
        {"sorted by entry, each once",
         9,
         {drop(6, c, "z.dat"), drop(4, a, "b.dat"), drop(7, a, "b.dat")},
         {},
         {{"b.dat", {a}}, {"z.dat", {c}}}},
        {"names no list may hold",
         6,
         {drop(5, a, "  "), drop(5, a, "../outside.dat"), drop(5, a, "/etc/passwd"),
          drop(5, a, "updater.journal"), drop(5, b, "kept.dat")},
         {},
         {{"kept.dat", {b}}}},
    };
    for (const auto& row : rows) {
        Due due;
        for (const DueRemoval& removal : RemovalsDue(row.newest, row.removed, row.lists))
            due.emplace_back(removal.entry, removal.contents);
        EXPECT_EQ(due, row.due) << row.what;
    }
}

}  // namespace
