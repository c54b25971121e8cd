// The HTTP seam's contract as one table of rows, each backend held to the
// same rows: bodies and their framing, error pages, cut and stalled
// responses, redirects, resumed ranges, several transfers at once,
// keep-alive, cancellation, that waiting costs no CPU and that the sinks run
// on the caller's thread; over TLS, the certificate check and the refusal
// to leave https for http. A row that a backend truly answers otherwise
// says so in the row, with the reason.
#include "http_contract.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <iostream>
#include <iterator>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "check.h"
#include "transfer/http.h"

namespace {

using Clock = std::chrono::steady_clock;
using enum TransferOutcome;

ContractServers servers;
ContractPlatform platform;

// The servers of the harness a row talks to.
enum class Server { Plain, Closed, Tls, Stranger };

std::string Url(const std::string& path, Server server = Server::Plain) {
    switch (server) {
        case Server::Plain:
            return "http://127.0.0.1:" + std::to_string(servers.port) + path;
        case Server::Closed:
            return "http://127.0.0.1:" + std::to_string(servers.closedPort) + path;
        case Server::Tls:
            return "https://127.0.0.1:" + std::to_string(servers.tlsPort) + path;
        case Server::Stranger:
            return "https://127.0.0.1:" + std::to_string(servers.strangerPort) + path;
    }
    return {};
}

// The bytes the fault server sends for /ok/<n>: a repeating alphabet.
std::string Pattern(std::size_t size) {
    std::string bytes;
    for (std::size_t i = 0; i < size; ++i) bytes += static_cast<char>('a' + i % 26);
    return bytes;
}

const char* Name(TransferOutcome outcome) {
    static const char* const names[] = {"Complete",    "HttpError",   "Unreachable",      "TimedOut",
                                        "Interrupted", "SinkRefused", "TooManyRedirects", "BadRedirect",
                                        "BadResponse", "Certificate"};
    const auto index = static_cast<std::size_t>(outcome);
    return index < std::size(names) ? names[index] : "?";
}

std::unique_ptr<HttpClient> Client(int timeoutSeconds, int maxConnections = 1) {
    HttpOptions options;
    options.timeoutSeconds = timeoutSeconds;
    options.maxConnections = maxConnections;
    options.caFile = servers.caFile;
    return MakeHttpClient(options);
}

class Collector : public BodySink {
public:
    explicit Collector(std::size_t refuseAfter = SIZE_MAX, bool refuseHead = false)
        : refuseAfter_(refuseAfter), refuseHead_(refuseHead) {}
    bool Begin(const ResponseHead& answer) override {
        if (std::this_thread::get_id() != caller_) otherThread = true;
        ++begins;
        head = answer;
        return !refuseHead_;
    }
    bool Write(const char* data, std::size_t size) override {
        if (std::this_thread::get_id() != caller_) otherThread = true;
        if (begins == 0) wroteBeforeBegin = true;
        ++pieces;
        if (body.size() >= refuseAfter_) return false;
        body.append(data, size);
        return true;
    }
    std::string body;
    ResponseHead head;
    int begins = 0;
    bool wroteBeforeBegin = false;
    std::size_t pieces = 0;
    bool otherThread = false;

private:
    std::thread::id caller_ = std::this_thread::get_id();
    std::size_t refuseAfter_;
    bool refuseHead_;
};

struct Run {
    TransferResult result;
    double seconds = 0;
    double cpuSeconds = 0;
    bool ended = false;
};

// Drives one transfer the way the downloader does: short waits in a loop.
Run Drive(HttpClient& client, const TransferRequest& request, BodySink& sink, double limitSeconds = 20) {
    Run run;
    const auto start = Clock::now();
    const double cpuStart = platform.cpuSeconds();
    const TransferId id = client.Start(request, sink);
    while (!run.ended) {
        for (const auto& [ended, result] : client.Wait(20)) {
            if (ended != id) continue;
            run.ended = true;
            run.result = result;
        }
        if (std::chrono::duration<double>(Clock::now() - start).count() > limitSeconds) break;
    }
    run.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    run.cpuSeconds = platform.cpuSeconds() - cpuStart;
    return run;
}

Run Drive(HttpClient& client, const std::string& url, BodySink& sink) {
    return Drive(client, TransferRequest{url, 0, {}}, sink);
}

bool Is(const Run& run, TransferOutcome outcome) {
    if (run.ended && run.result.outcome == outcome) return true;
    std::cout << "    transfer: ended=" << run.ended << " outcome=" << Name(run.result.outcome)
              << " status=" << run.result.head.status << " after " << run.seconds << " s\n";
    return false;
}

std::string Fetch(HttpClient& client, const std::string& path) {
    Collector sink;
    Drive(client, Url(path), sink);
    return sink.body;
}

// ---- the exchanges: one transfer each, and what must come of it ------------

// What must reach the sink.
struct Body {
    enum Kind { Any, Nothing, Exactly, AtMost, StartsWith } kind = Any;
    std::string bytes{};    // Exactly, StartsWith
    std::size_t most = 0;   // AtMost: no more than these first bytes of the pattern
    bool inPieces = false;  // Exactly: in more than one Write
};

Body Whole(std::size_t size, std::size_t from = 0) {
    return {Body::Exactly, Pattern(size).substr(from)};
}
Body InPieces(std::size_t size) {
    return {Body::Exactly, Pattern(size), 0, true};
}
Body Text(std::string text) {
    return {Body::Exactly, std::move(text)};
}
Body AtMost(std::size_t bytes) {
    return {Body::AtMost, {}, bytes};
}
Body StartsWith(std::string bytes) {
    return {Body::StartsWith, std::move(bytes)};
}
const Body kNothing{Body::Nothing};

// What a transfer must end with; what is left unset is not checked. The
// head's fields hold for the head the sink was given too.
struct Expected {
    TransferOutcome outcome = Complete;
    std::optional<long> status{};
    std::optional<bool> bodyComplete{};
    std::optional<std::int64_t> length{};
    std::optional<bool> chunked{};
    std::optional<std::int64_t> rangeStart{};
    std::optional<std::int64_t> rangeTotal{};
    std::optional<std::string> validator{};
    std::optional<std::string> contentEncoding{};
    std::optional<std::pair<int, int>> retryAfter{};  // the least and the most seconds
    std::optional<int> begins{};                      // calls of the sink's Begin
    Body body{};
};

// How one backend truly differs in a row, and why.
struct Deviation {
    Backend backend;
    Expected expected;
    const char* why;
};

struct Exchange {
    const char* path = nullptr;
    Server server = Server::Plain;
    std::uint64_t from = 0;  // ask from this byte on (Range), if the validator below still holds
    const char* ifRange = "";
    int timeoutSeconds = 5;
};

// A row: one exchange and what it must give, or a sequence of its own.
struct Row {
    const char* group;
    const char* name;
    Exchange exchange{};
    Expected expected{};
    std::optional<Deviation> deviation{};
    void (*steps)() = nullptr;
};

void CheckHead(const ResponseHead& head, const Expected& expected) {
    if (expected.status) CHECK_EQ(head.status, *expected.status);
    if (expected.length) CHECK_EQ(head.length, *expected.length);
    if (expected.chunked) CHECK_EQ(head.chunked, *expected.chunked);
    if (expected.rangeStart) CHECK_EQ(head.rangeStart, *expected.rangeStart);
    if (expected.rangeTotal) CHECK_EQ(head.rangeTotal, *expected.rangeTotal);
    if (expected.validator) CHECK_EQ(head.validator, *expected.validator);
    if (expected.contentEncoding) CHECK_EQ(head.contentEncoding, *expected.contentEncoding);
    if (expected.retryAfter) {
        CHECK(head.retryAfterSeconds >= expected.retryAfter->first);
        CHECK(head.retryAfterSeconds <= expected.retryAfter->second);
    }
}

void CheckBody(const Collector& sink, const Body& body) {
    switch (body.kind) {
        case Body::Any:
            break;
        case Body::Nothing:
            CHECK_EQ(sink.pieces, 0u);
            break;
        case Body::Exactly:
            CHECK(sink.body == body.bytes);
            if (body.inPieces) CHECK(sink.pieces > 1);
            break;
        case Body::AtMost:
            CHECK(sink.body.size() <= body.most);
            CHECK(sink.body == Pattern(sink.body.size()));
            break;
        case Body::StartsWith:
            REQUIRE(sink.body.size() > body.bytes.size());
            CHECK_EQ(sink.body.substr(0, body.bytes.size()), body.bytes);
            break;
    }
}

void RunExchange(const Row& row) {
    const bool deviates = row.deviation && row.deviation->backend == platform.backend;
    const Expected& expected = deviates ? row.deviation->expected : row.expected;
    if (deviates) std::cout << "    differs here: " << row.deviation->why << "\n";
    const Exchange& exchange = row.exchange;
    auto client = Client(exchange.timeoutSeconds);
    Collector sink;
    const Run run = Drive(
        *client, TransferRequest{Url(exchange.path, exchange.server), exchange.from, exchange.ifRange}, sink);
    REQUIRE(Is(run, expected.outcome));
    if (expected.bodyComplete) CHECK_EQ(run.result.bodyComplete, *expected.bodyComplete);
    CheckHead(run.result.head, expected);
    if (sink.begins > 0) CheckHead(sink.head, expected);
    if (expected.begins) CHECK_EQ(sink.begins, *expected.begins);
    CheckBody(sink, expected.body);
    // What holds for every transfer: the sink hears of it on the caller's
    // thread, once, before its first byte, and the client is done with it.
    CHECK(!sink.otherThread);
    CHECK(!sink.wroteBeforeBegin);
    CHECK(sink.begins <= 1);
    CHECK_EQ(client->Running(), 0u);
}

// ---- the sequences: several transfers, timing, cancellation ----------------

void ConnectionKeptBetweenTransfers() {
    auto client = Client(5);
    Fetch(*client, "/ok/100");
    const std::string before = Fetch(*client, "/connections");
    Fetch(*client, "/ok/100");
    Fetch(*client, "/ok/5000");
    // No new connection for the transfers after the first.
    CHECK_EQ(Fetch(*client, "/connections"), before);
}

// Several transfers started together all arrive whole, each into its own
// sink, with never more requests at the server than the connections allowed.
void SeveralTransfersAtOnce() {
    auto client = Client(10, 3);
    Fetch(*client, "/most");
    const std::size_t sizes[] = {1, 70000, 0, 300000, 12345, 5, 250000, 4096};
    std::map<TransferId, std::size_t> started;
    std::vector<Collector> sinks(std::size(sizes));
    for (std::size_t k = 0; k < std::size(sizes); ++k) {
        started[client->Start(TransferRequest{Url("/slow/" + std::to_string(sizes[k])), 0, {}}, sinks[k])] =
            k;
    }
    CHECK_EQ(client->Running(), std::size(sizes));
    std::map<std::size_t, TransferResult> results;
    const auto start = Clock::now();
    while (results.size() < std::size(sizes) && Clock::now() - start < std::chrono::seconds(30)) {
        for (const auto& [id, result] : client->Wait(20)) {
            REQUIRE(started.count(id) == 1);
            REQUIRE(results.count(started[id]) == 0);
            results[started[id]] = result;
        }
    }
    REQUIRE(results.size() == std::size(sizes));
    CHECK_EQ(client->Running(), 0u);
    for (std::size_t k = 0; k < std::size(sizes); ++k) {
        CHECK(results[k].outcome == Complete);
        CHECK(results[k].bodyComplete);
        CHECK(sinks[k].body == Pattern(sizes[k]));
        CHECK(!sinks[k].otherThread);
    }
    // 8 answers that each take 0.3 s: one at a time would take 2.4 s.
    const std::string most = Fetch(*client, "/most");
    CHECK(most == "2" || most == "3");
}

void SilentServerTimesOutWithoutSpinning() {
    auto client = Client(2);
    Collector sink;
    const Run run = Drive(*client, Url("/stall/100/10"), sink);
    CHECK(Is(run, TimedOut));
    CHECK_EQ(sink.body, Pattern(10));
    CHECK(run.seconds >= 1.5);
    CHECK(run.seconds < 10);
    // Waiting sleeps on the sockets: a busy loop would burn the whole time.
    CHECK(run.cpuSeconds < 0.25 * run.seconds);
}

void SinkRefusalStopsTheTransfer() {
    auto client = Client(5);
    Collector refusing(1);
    const Run run = Drive(*client, Url("/ok/400000"), refusing);
    CHECK(Is(run, SinkRefused));
    CHECK(refusing.body.size() < 400000u);
    Collector refusingHead(SIZE_MAX, true);
    CHECK(Is(Drive(*client, Url("/ok/400000"), refusingHead), SinkRefused));
    CHECK_EQ(refusingHead.pieces, 0u);
    // The client is usable again.
    Collector sink;
    CHECK(Is(Drive(*client, Url("/ok/1000"), sink), Complete));
    CHECK(sink.body == Pattern(1000));
}

void CancelAbandonsPromptly() {
    auto client = Client(30);
    Collector stalled;
    const TransferId id = client->Start(TransferRequest{Url("/stall/100/10"), 0, {}}, stalled);
    for (int i = 0; i < 10; ++i) client->Wait(20);
    const auto start = Clock::now();
    client->Cancel(id);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    // A Cancel that waited for the stalled transfer would take the whole
    // 30 s time-out; the margin below is for a loaded machine.
    CHECK(seconds < 5);
    CHECK_EQ(client->Running(), 0u);
    CHECK(client->Wait(20).empty());
    const std::size_t pieces = stalled.pieces;
    Collector sink;
    const Run run = Drive(*client, Url("/ok/2000"), sink);
    CHECK(Is(run, Complete));
    CHECK(sink.body == Pattern(2000));
    CHECK_EQ(stalled.pieces, pieces);
}

// A cancelled transfer frees its connection for the next one waiting.
void CancelLetsTheNextTransferIn() {
    auto client = Client(30, 1);
    Collector stalled, next;
    const TransferId first = client->Start(TransferRequest{Url("/stall/100/10"), 0, {}}, stalled);
    const TransferId second = client->Start(TransferRequest{Url("/ok/3000"), 0, {}}, next);
    for (int i = 0; i < 10; ++i) CHECK(client->Wait(20).empty());
    CHECK_EQ(next.pieces, 0u);
    client->Cancel(first);
    bool done = false;
    for (int i = 0; i < 500 && !done; ++i) {
        for (const auto& [id, result] : client->Wait(20)) done = id == second && result.outcome == Complete;
    }
    CHECK(done);
    CHECK(next.body == Pattern(3000));
}

void DestroyedWhileRunning() {
    Collector stalled, other;
    {
        auto client = Client(30, 2);
        client->Start(TransferRequest{Url("/stall/100/10"), 0, {}}, stalled);
        client->Start(TransferRequest{Url("/ok/300000"), 0, {}}, other);
        client->Wait(50);
    }
    const std::size_t pieces = stalled.pieces + other.pieces;
    // The system may still report on the closed requests: nothing must
    // crash, and no sink hears of them again.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    CHECK_EQ(stalled.pieces + other.pieces, pieces);
}

// ---- the table ---------------------------------------------------------------

const std::pair<int, int> kSeconds17{17, 17};
// An HTTP date has whole seconds; the clock moved on meanwhile.
const std::pair<int, int> kDateIn90{85, 91};
const std::pair<int, int> kNoRetryAfter{-1, -1};
const char* const kDate = "Wed, 21 Oct 2015 07:28:00 GMT";

// clang-format off
const Row kRows[] = {
    {"Http", "WholeBodyInPiecesOnTheCallersThread", {"/ok/300000"},
     {.status = 200, .bodyComplete = true, .length = 300000, .begins = 1, .body = InPieces(300000)}},
    // The sink still learns what came.
    {"Http", "EmptyBody", {"/ok/0"}, {.bodyComplete = true, .length = 0, .begins = 1, .body = Text("")}},
    {"Http", "ChunkedBodyEndsWithItsLastChunk", {"/chunked/70000"},
     {.bodyComplete = true, .length = -1, .chunked = true, .body = Whole(70000)}},
    {"Http", "ChunkedBodyFromAServerWithoutRanges", {"/chunkednorange/70000"},
     {.bodyComplete = true, .body = Whole(70000)},
     Deviation{Backend::WineWinHttp, {.bodyComplete = false, .body = Whole(70000)},
               "Wine's WinHTTP takes a chunked body cut by the connection's close for a whole one, so the "
               "client asks the server what lies past the body: a server that ignores ranges cannot tell, "
               "and the body's end stays unproven"}},
    {"Http", "ChunkedBodyWithoutLastChunkIsNotComplete", {"/chunkcut/20000/9000"},
     {.outcome = Interrupted, .bodyComplete = false, .body = AtMost(9000)}},
    // Neither a length nor chunks: the body ends when the connection
    // closes, which a cut connection does too.
    {"Http", "BodyEndedByCloseIsNotComplete", {"/closeend/5000"},
     {.bodyComplete = false, .length = -1, .chunked = false, .body = Whole(5000)}},
    // A 204 has no body by definition: it ended where it had to.
    {"Http", "NoContent", {"/nocontent"},
     {.status = 204, .bodyComplete = true, .begins = 1, .body = kNothing}},
    {"Http", "ErrorPageNeverReachesTheSink404", {"/notfound"},
     {.outcome = HttpError, .status = 404, .begins = 0, .body = kNothing}},
    {"Http", "ErrorPageNeverReachesTheSink500", {"/servererror"},
     {.outcome = HttpError, .status = 500, .retryAfter = kNoRetryAfter, .begins = 0, .body = kNothing}},
    {"Http", "RetryAfterInSeconds", {"/busy/17"},
     {.outcome = HttpError, .status = 503, .retryAfter = kSeconds17}},
    {"Http", "RetryAfterAsDate", {"/busydate/90"}, {.outcome = HttpError, .retryAfter = kDateIn90}},
    // The body comes as sent: the backend does not decode it, and the
    // caller learns the coding before the first byte.
    {"Http", "ContentEncodingReported", {"/gzip/5000"},
     {.contentEncoding = "gzip", .body = StartsWith("\x1f\x8b")}},
    {"Http", "NoContentEncoding", {"/ok/10"}, {.contentEncoding = "", .body = Whole(10)}},
    {"Http", "StrongETag", {"/range/100"}, {.validator = "\"v1\""}},
    {"Http", "WeakETagGivesLastModified", {"/weak/100"}, {.validator = kDate}},
    {"Http", "NoValidator", {"/ok/100"}, {.validator = ""}},
    {"Http", "RangeResumesFromTheAskedOffset", {"/range/100000", Server::Plain, 61234, "\"v1\""},
     {.status = 206, .bodyComplete = true, .length = 100000 - 61234, .rangeStart = 61234,
      .rangeTotal = 100000,
      .body = Whole(100000, 61234)}},
    // Last-Modified guards a range as well.
    {"Http", "RangeGuardedByDate", {"/range/1000", Server::Plain, 10, kDate},
     {.status = 206, .body = Whole(1000, 10)}},
    // If-Range: a file that changed since the partial body comes back whole.
    {"Http", "RangeOfAChangedFileComesWhole", {"/range/5000", Server::Plain, 3000, "\"v0\""},
     {.status = 200, .rangeStart = -1, .body = Whole(5000)}},
    {"Http", "CutBodyIsInterrupted", {"/short/5000/1200"},
     {.outcome = Interrupted, .bodyComplete = false, .length = 5000, .body = AtMost(1200)}},
    {"Http", "RedirectFollowed", {"/redirect"}, {.status = 200, .begins = 1, .body = Whole(10)}},
    {"Http", "RelativeRedirectFollowed", {"/hop/start"}, {.body = Whole(12)}},
    {"Http", "RedirectLoopRefused", {"/loop"}, {.outcome = TooManyRedirects, .body = kNothing}},
    {"Http", "RedirectToAnotherSchemeRefused", {"/toftp"}, {.outcome = BadRedirect, .body = kNothing}},
    {"Http", "GarbledAnswerIsBadResponse", {"/garbage"}, {.outcome = BadResponse, .body = kNothing}},
    {"Http", "OversizedHeadIsBadResponse", {"/bigheader"}, {.outcome = BadResponse, .body = kNothing},
     Deviation{Backend::Curl, {.status = 200, .body = Text("x")},
               "WinHTTP refuses a head over 64 KiB (the WinHTTP client holds Wine to it too); libcurl only "
               "refuses a single header line over 100 KB, so 128 KiB of short lines pass"}},
    // The repository's "files\" prefix must reach the server as a
    // backslash, and what the caller escaped must not be escaped twice.
    {"Http", "PathSentAsGiven", {"/echo/files\\data/a%20b%C3%A9.map"},
     {.body = Text("/echo/files\\data/a%20b%C3%A9.map")}},
    {"Http", "ConnectionKeptBetweenTransfers", {}, {}, {}, &ConnectionKeptBetweenTransfers},
    {"Http", "SeveralTransfersAtOnce", {}, {}, {}, &SeveralTransfersAtOnce},
    {"Http", "NoServerIsUnreachable", {"/ok/10", Server::Closed}, {.outcome = Unreachable, .status = 0}},
    {"Http", "SilentServerTimesOutWithoutSpinning", {}, {}, {}, &SilentServerTimesOutWithoutSpinning},
    {"Http", "NoAnswerAtAllTimesOut", {"/silent", Server::Plain, 0, "", 2},
     {.outcome = TimedOut, .status = 0}},
    {"Http", "SinkRefusalStopsTheTransfer", {}, {}, {}, &SinkRefusalStopsTheTransfer},
    {"Http", "CancelAbandonsPromptly", {}, {}, {}, &CancelAbandonsPromptly},
    {"Http", "CancelLetsTheNextTransferIn", {}, {}, {}, &CancelLetsTheNextTransferIn},
    {"Http", "DestroyedWhileRunning", {}, {}, {}, &DestroyedWhileRunning},
    {"Https", "UnknownAuthorityRefused", {"/ok/100", Server::Stranger},
     {.outcome = Certificate, .body = kNothing}},
    {"Https", "TrustedServer", {"/ok/100000", Server::Tls}, {.bodyComplete = true, .body = Whole(100000)}},
    // Leaving https for http would hand the rest to anyone on the way.
    {"Https", "NoWayBackToHttp", {"/tohttp", Server::Tls}, {.outcome = BadRedirect, .body = kNothing}},
};
// clang-format on

}  // namespace

int RunHttpContract(const ContractServers& given, const ContractPlatform& on, const std::string& filter) {
    servers = given;
    platform = on;
    for (const Row& row : kRows) {
        check::Registry().push_back(
            {row.group, row.name, [&row] { row.steps ? row.steps() : RunExchange(row); }});
    }
    return check::RunAll(filter);
}
