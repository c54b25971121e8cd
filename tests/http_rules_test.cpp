// The HTTP rules both backends share: how a head is read, which bodies are
// framed, which redirects are followed, how the player's cap paces them. Each table is what a server may send
// and what the transfers must make of it.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "transfer/http_rules.h"
#include "transfer/rate_limit.h"

namespace {

// Dates in this table: "soon" is 30 s ahead, "past" 30 s behind; anything
// else is not a date.
std::optional<std::int64_t> FakeDates(const std::string& text) {
    if (text == "soon") return 30;
    if (text == "past") return -30;
    return std::nullopt;
}

TEST(HeadReader, ReadsTheLastAnswersHeadersTheSameWayOnEveryBackend) {
    struct Expected {
        long status;
        std::int64_t length;
        bool chunked;
        std::string validator;
        int retryAfter;
        bool consistent;
    };
    const struct {
        std::vector<std::string> lines;
        Expected head;
    } cases[] = {
        {{"HTTP/1.1 200 OK\r\n", "Content-Length: 12\r\n"}, {200, 12, false, "", -1, true}},
        {{"HTTP/2 206", "content-length:  7 "}, {206, 7, false, "", -1, true}},
        {{"HTTP/1.1 200 OK", "Transfer-Encoding: gzip, Chunked"}, {200, -1, true, "", -1, true}},
        // A strong ETag guards a range; a weak one does not, Last-Modified stands in.
        {{"HTTP/1.1 200 OK", "ETag: \"e1\"", "Last-Modified: Mon, 07 Dec 2026 10:00:00 GMT"},
         {200, -1, false, "\"e1\"", -1, true}},
        {{"HTTP/1.1 200 OK", "ETag: W/\"e1\"", "Last-Modified: Mon, 07 Dec 2026 10:00:00 GMT"},
         {200, -1, false, "Mon, 07 Dec 2026 10:00:00 GMT", -1, true}},
        {{"HTTP/1.1 200 OK", "ETag: W/\"e1\""}, {200, -1, false, "", -1, true}},
        // Retry-After: seconds, a date, or nothing usable; a day at most.
        {{"HTTP/1.1 503 Busy", "Retry-After: 5"}, {503, -1, false, "", 5, true}},
        {{"HTTP/1.1 503 Busy", "Retry-After: 999999"}, {503, -1, false, "", 24 * 3600, true}},
        {{"HTTP/1.1 503 Busy", "Retry-After: soon"}, {503, -1, false, "", 30, true}},
        {{"HTTP/1.1 503 Busy", "Retry-After: past"}, {503, -1, false, "", 0, true}},
        {{"HTTP/1.1 503 Busy", "Retry-After: -3"}, {503, -1, false, "", -1, true}},
        {{"HTTP/1.1 200 OK", "Content-Length: 12x"}, {200, -1, false, "", -1, true}},
        {{"HTTP/1.1 200 OK", "Content-Length: -0"}, {200, -1, false, "", -1, true}},
        // Two lengths that disagree leave nobody knowing where the body ends.
        {{"HTTP/1.1 200 OK", "Content-Length: 12000", "Content-Length: 6000"},
         {200, 6000, false, "", -1, false}},
        {{"HTTP/1.1 200 OK", "Content-Length: 6000", "Content-Length: 6000"},
         {200, 6000, false, "", -1, true}},
        // Only the last answer of a redirect chain counts.
        {{"HTTP/1.1 302 Found", "Content-Length: 5", "Content-Length: 9", "ETag: \"old\"", "HTTP/1.1 200 OK",
          "Content-Length: 3"},
         {200, 3, false, "", -1, true}},
    };
    for (const auto& c : cases) {
        HeadReader reader(&FakeDates);
        for (const std::string& line : c.lines) reader.Line(line);
        const ResponseHead head = reader.Head();
        const std::string what = c.lines.back();
        EXPECT_TRUE(reader.HasStatus()) << what;
        EXPECT_EQ(head.status, c.head.status) << what;
        EXPECT_EQ(head.length, c.head.length) << what;
        EXPECT_EQ(head.chunked, c.head.chunked) << what;
        EXPECT_EQ(head.validator, c.head.validator) << what;
        EXPECT_EQ(head.retryAfterSeconds, c.head.retryAfter) << what;
        EXPECT_EQ(reader.Consistent(), c.head.consistent) << what;
    }
}

TEST(HeadReader, ReadsContentRangeAndKnowsAnAnswerWithoutStatusLine) {
    HeadReader reader(&FakeDates);
    reader.Line("Content-Length: 4");
    EXPECT_FALSE(reader.HasStatus());
    reader.Line("HTTP/1.1 206 Partial Content");
    reader.Line("Content-Range: bytes 80000-219999/220000");
    EXPECT_EQ(reader.Head().rangeStart, 80000);
    EXPECT_EQ(reader.Head().rangeTotal, 220000);
    HeadReader unknownTotal(&FakeDates);
    unknownTotal.Line("HTTP/1.1 206 Partial Content");
    unknownTotal.Line("Content-Range: bytes 5-9/*");
    EXPECT_EQ(unknownTotal.Head().rangeStart, 5);
    EXPECT_EQ(unknownTotal.Head().rangeTotal, -1);
    // Nothing lies past the asked offset: only the file's total.
    HeadReader pastTheEnd(&FakeDates);
    pastTheEnd.Line("HTTP/1.1 416 Range Not Satisfiable");
    pastTheEnd.Line("Content-Range: bytes */70000");
    EXPECT_EQ(pastTheEnd.Head().rangeStart, -1);
    EXPECT_EQ(pastTheEnd.Head().rangeTotal, 70000);
}

TEST(Framing, OnlyABodyWhoseEndIsMarkedIsComplete) {
    const struct {
        long status;
        std::int64_t length;
        bool chunked;
        bool chunkEndChecked;
        bool streamEnds;
        bool framed;
    } cases[] = {
        {200, 10, false, true, false, true},  {200, -1, true, true, false, true},
        {200, -1, true, false, false, false},  // a chunk end the backend cannot vouch for
        {200, -1, false, true, true, true},    // HTTP/2
        {200, -1, false, true, false, false},  // ran to the connection's close
        {204, -1, false, true, false, true},  {304, -1, false, false, false, true},
        {205, -1, false, true, false, false},
    };
    for (const auto& c : cases) {
        ResponseHead head;
        head.status = c.status;
        head.length = c.length;
        head.chunked = c.chunked;
        EXPECT_EQ(IsFramed(head, c.chunkEndChecked, c.streamEnds), c.framed)
            << c.status << " " << c.length << " " << c.chunked << " " << c.chunkEndChecked;
    }
}

TEST(Redirects, StayOnHttpAndNeverLeaveHttps) {
    const struct {
        const char* from;
        const char* to;
        bool followed;
    } cases[] = {
        {"http", "http", true},  {"http", "https", true}, {"https", "https", true}, {"https", "http", false},
        {"http", "file", false}, {"https", "ftp", false}, {"http", "", false},
    };
    for (const auto& c : cases) EXPECT_EQ(MayRedirect(c.from, c.to), c.followed) << c.from << " -> " << c.to;
    const struct {
        const char* from;
        const char* location;
        bool followed;
    } locations[] = {
        {"https", "/elsewhere", true},     {"https", "other/file", true},
        {"https", "//host/x", true},       {"https", "HTTP://host/x", false},
        {"http", "HTTPS://host/x", true},  {"http", "file:///etc/passwd", false},
        {"https", "https://host/x", true}, {"http", "a+b-c.d:x", false},
    };
    for (const auto& c : locations)
        EXPECT_EQ(MayFollow(c.from, c.location), c.followed) << c.from << " -> " << c.location;
    for (const long status : {301L, 302L, 303L, 307L, 308L}) EXPECT_TRUE(IsRedirect(status)) << status;
    for (const long status : {200L, 300L, 304L, 305L}) EXPECT_FALSE(IsRedirect(status)) << status;
}

// Pieces of a body as a backend takes them under a cap: each row feeds
// pieces as soon as the cap allows for a while and checks what it let in.
TEST(RateLimit, LetsAllTransfersTogetherTakeNoMoreThanTheCap) {
    using namespace std::chrono;
    const struct {
        std::uint64_t cap;    // bytes a second
        std::size_t piece;    // what the backend asks for, uncapped
        double seconds;       // how long the backend keeps asking
        std::uint64_t most;   // what may have been let in by then
        std::uint64_t least;  // what must have been
    } cases[] = {
        // 100 KiB/s for 10 s, large pieces asked: cut to the cap's own size.
        {100 * 1024, 256 * 1024, 10, 1024 * 1024 + 20 * 1024, 1000 * 1024},
        // A cap below the least one honoured is raised to it.
        {1000, 64 * 1024, 10, 16 * 1024 * 10 + 8 * 1024, 16 * 1024 * 9},
        // A fast cap, small pieces.
        {10 * 1024 * 1024, 16 * 1024, 2, 21 * 1024 * 1024, 20 * 1024 * 1024 - 64 * 1024},
    };
    for (const auto& c : cases) {
        auto now = steady_clock::time_point{} + hours(1);
        RateLimit limit(c.cap, now);
        const std::size_t piece = limit.PieceSize(c.piece);
        EXPECT_LE(piece, c.piece);
        const auto end = now + duration_cast<steady_clock::duration>(duration<double>(c.seconds));
        std::uint64_t taken = 0;
        while (now < end) {
            if (limit.MayReceive(now)) {
                limit.Received(piece, now);
                taken += piece;
            } else {
                now += std::max(limit.UntilAllowed(now), steady_clock::duration(1));
            }
        }
        EXPECT_LE(taken, c.most) << c.cap;
        EXPECT_GE(taken, c.least) << c.cap;
    }
    RateLimit none(0);
    EXPECT_FALSE(none.Capped());
    EXPECT_EQ(none.PieceSize(256 * 1024), 256u * 1024);
    EXPECT_EQ(none.UntilAllowed(steady_clock::now()), steady_clock::duration::zero());
}

}  // namespace
