// The WinHTTP client (http_winhttp.cpp) against the scripted server of
// fault_server.py on loopback: bodies, their framing, error pages, cut and
// stalled responses, redirects, resumed ranges, several transfers at once,
// keep-alive, cancellation, and that waiting costs no CPU and that the sinks
// run on the caller's thread; over TLS, the system's certificate store and
// the refusal to leave https for http.
//   http_win_test <server port> <closed port> <TLS server port> <its certificate (PEM)>
//                 <TLS server port with an unknown certificate> [filter]
#include <windows.h>
// After <windows.h>, which it needs.
#include <wincrypt.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "check.h"
#include "transfer/http.h"

namespace {

using Clock = std::chrono::steady_clock;

int serverPort = 0;
int closedPort = 0;
int tlsPort = 0;
std::string certificateFile;
int strangerPort = 0;

std::string Url(const std::string& path, int port = 0) {
    return "http://127.0.0.1:" + std::to_string(port ? port : serverPort) + path;
}

// The bytes fault_server.py sends for /ok/<n>: a repeating alphabet.
std::string Pattern(std::size_t size) {
    std::string bytes;
    for (std::size_t i = 0; i < size; ++i) bytes += static_cast<char>('a' + i % 26);
    return bytes;
}

std::unique_ptr<HttpClient> Client(int timeoutSeconds, int maxConnections = 1) {
    HttpOptions options;
    options.timeoutSeconds = timeoutSeconds;
    options.maxConnections = maxConnections;
    return MakeHttpClient(options);
}

class Collector : public BodySink {
public:
    explicit Collector(std::size_t refuseAfter = SIZE_MAX, bool refuseHead = false)
        : refuseAfter_(refuseAfter), refuseHead_(refuseHead) {}
    bool Begin(const ResponseHead& answer) override {
        if (GetCurrentThreadId() != caller_) otherThread = true;
        ++begins;
        if (pieces > 0) beganLate = true;
        head = answer;
        return !refuseHead_;
    }
    bool Write(const char* data, std::size_t size) override {
        if (GetCurrentThreadId() != caller_) otherThread = true;
        if (begins == 0) wroteBeforeBegin = true;
        ++pieces;
        largestPiece = std::max(largestPiece, size);
        if (body.size() >= refuseAfter_) return false;
        body.append(data, size);
        return true;
    }
    std::string body;
    ResponseHead head;
    int begins = 0;
    bool beganLate = false;
    bool wroteBeforeBegin = false;
    std::size_t pieces = 0;
    std::size_t largestPiece = 0;
    bool otherThread = false;

private:
    DWORD caller_ = GetCurrentThreadId();
    std::size_t refuseAfter_;
    bool refuseHead_;
};

double CpuSeconds() {
    FILETIME created, exited, kernel, user;
    GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
    auto seconds = [](const FILETIME& t) {
        return static_cast<double>((static_cast<std::uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime) /
               1e7;
    };
    return seconds(kernel) + seconds(user);
}

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
    const double cpuStart = CpuSeconds();
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
    run.cpuSeconds = CpuSeconds() - cpuStart;
    return run;
}

Run Drive(HttpClient& client, const std::string& url, BodySink& sink, double limitSeconds = 20) {
    return Drive(client, TransferRequest{url, 0, {}}, sink, limitSeconds);
}

bool Is(const Run& run, TransferOutcome outcome) {
    if (run.ended && run.result.outcome == outcome) return true;
    std::cout << "    transfer: ended=" << run.ended << " outcome=" << static_cast<int>(run.result.outcome)
              << " status=" << run.result.head.status << " after " << run.seconds << " s\n";
    return false;
}

std::string Fetch(HttpClient& client, const std::string& path) {
    Collector sink;
    Drive(client, Url(path), sink);
    return sink.body;
}

}  // namespace

TEST_CASE(Http, WholeBodyInPiecesOnTheCallersThread) {
    auto client = Client(5);
    Collector sink;
    const Run run = Drive(*client, Url("/ok/300000"), sink);
    CHECK(Is(run, TransferOutcome::Complete));
    CHECK(run.result.bodyComplete);
    CHECK_EQ(run.result.head.status, 200);
    CHECK_EQ(run.result.head.length, 300000);
    CHECK_EQ(sink.begins, 1);
    CHECK_EQ(sink.head.length, 300000);
    CHECK(!sink.wroteBeforeBegin);
    CHECK(sink.body == Pattern(300000));
    CHECK(sink.pieces > 1);
    CHECK(!sink.otherThread);
    CHECK_EQ(client->Running(), 0u);
}

TEST_CASE(Http, EmptyBody) {
    auto client = Client(5);
    Collector sink;
    const Run run = Drive(*client, Url("/ok/0"), sink);
    CHECK(Is(run, TransferOutcome::Complete));
    CHECK(run.result.bodyComplete);
    CHECK_EQ(run.result.head.length, 0);
    // The sink still learns what came.
    CHECK_EQ(sink.begins, 1);
    CHECK_EQ(sink.body, "");
}

// Wine's WinHTTP takes a chunked body cut by the connection's close for a
// whole one; the client then asks the server what lies past the body.
bool UnderWine() {
    return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
}

TEST_CASE(Http, ChunkedBodyEndsWithItsLastChunk) {
    auto client = Client(5);
    Collector sink;
    const Run run = Drive(*client, Url("/chunked/70000"), sink);
    CHECK(Is(run, TransferOutcome::Complete));
    CHECK(run.result.bodyComplete);
    CHECK(run.result.head.chunked);
    CHECK_EQ(run.result.head.length, -1);
    CHECK(sink.body == Pattern(70000));
}

// Under Wine, a server that ignores ranges cannot tell whether the body was
// whole: its end stays unproven there.
TEST_CASE(Http, ChunkedBodyFromAServerWithoutRanges) {
    auto client = Client(5);
    Collector sink;
    const Run run = Drive(*client, Url("/chunkednorange/70000"), sink);
    CHECK(Is(run, TransferOutcome::Complete));
    CHECK_EQ(run.result.bodyComplete, !UnderWine());
    CHECK(sink.body == Pattern(70000));
}

TEST_CASE(Http, ChunkedBodyWithoutLastChunkIsNotComplete) {
    auto client = Client(5);
    Collector sink;
    const Run run = Drive(*client, Url("/chunkcut/20000/9000"), sink);
    CHECK(run.ended);
    CHECK(!(run.result.outcome == TransferOutcome::Complete && run.result.bodyComplete));
    CHECK(sink.body.size() <= 9000u);
}

// Neither a length nor chunks: the body ends when the connection closes,
// which a cut connection does too.
TEST_CASE(Http, BodyEndedByCloseIsNotComplete) {
    auto client = Client(5);
    Collector sink;
    const Run run = Drive(*client, Url("/closeend/5000"), sink);
    CHECK(Is(run, TransferOutcome::Complete));
    CHECK(!run.result.bodyComplete);
    CHECK_EQ(run.result.head.length, -1);
    CHECK(!run.result.head.chunked);
    CHECK(sink.body == Pattern(5000));
}

TEST_CASE(Http, NoContent) {
    auto client = Client(5);
    Collector sink;
    const Run run = Drive(*client, Url("/nocontent"), sink);
    CHECK(Is(run, TransferOutcome::Complete));
    CHECK_EQ(run.result.head.status, 204);
    // A 204 has no body by definition: it ended where it had to.
    CHECK(run.result.bodyComplete);
    CHECK_EQ(sink.begins, 1);
    CHECK_EQ(sink.head.status, 204);
    CHECK_EQ(sink.pieces, 0u);
}

TEST_CASE(Http, ErrorPageNeverReachesTheSink) {
    auto client = Client(5);
    Collector sink;
    const Run notFound = Drive(*client, Url("/notfound"), sink);
    CHECK(Is(notFound, TransferOutcome::HttpError));
    CHECK_EQ(notFound.result.head.status, 404);
    const Run serverError = Drive(*client, Url("/servererror"), sink);
    CHECK(Is(serverError, TransferOutcome::HttpError));
    CHECK_EQ(serverError.result.head.status, 500);
    CHECK_EQ(sink.begins, 0);
    CHECK_EQ(sink.pieces, 0u);
}

TEST_CASE(Http, RetryAfterInSecondsAndAsDate) {
    auto client = Client(5);
    Collector sink;
    const Run seconds = Drive(*client, Url("/busy/17"), sink);
    CHECK(Is(seconds, TransferOutcome::HttpError));
    CHECK_EQ(seconds.result.head.status, 503);
    CHECK_EQ(seconds.result.head.retryAfterSeconds, 17);
    const Run date = Drive(*client, Url("/busydate/90"), sink);
    CHECK(Is(date, TransferOutcome::HttpError));
    // An HTTP date has whole seconds; the clock moved on meanwhile.
    CHECK(date.result.head.retryAfterSeconds >= 85);
    CHECK(date.result.head.retryAfterSeconds <= 91);
    const Run none = Drive(*client, Url("/servererror"), sink);
    CHECK_EQ(none.result.head.retryAfterSeconds, -1);
}

// The body comes as sent: WinHTTP is not asked to decode it, and the
// caller learns the coding before the first byte.
TEST_CASE(Http, ContentEncodingReported) {
    auto client = Client(5);
    Collector sink;
    const Run run = Drive(*client, Url("/gzip/5000"), sink);
    CHECK(Is(run, TransferOutcome::Complete));
    CHECK_EQ(sink.head.contentEncoding, "gzip");
    REQUIRE(sink.body.size() > 2);
    CHECK_EQ(sink.body.substr(0, 2), std::string("\x1f\x8b"));
    Collector plain;
    Drive(*client, Url("/ok/10"), plain);
    CHECK_EQ(plain.head.contentEncoding, "");
}

TEST_CASE(Http, StrongETagElseLastModified) {
    auto client = Client(5);
    Collector strong, weak, none;
    Drive(*client, Url("/range/100"), strong);
    CHECK_EQ(strong.head.validator, "\"v1\"");
    Drive(*client, Url("/weak/100"), weak);
    CHECK_EQ(weak.head.validator, "Wed, 21 Oct 2015 07:28:00 GMT");
    Drive(*client, Url("/ok/100"), none);
    CHECK_EQ(none.head.validator, "");
}

TEST_CASE(Http, RangeResumesFromTheAskedOffset) {
    auto client = Client(5);
    Collector sink;
    const Run run = Drive(*client, TransferRequest{Url("/range/100000"), 61234, "\"v1\""}, sink);
    CHECK(Is(run, TransferOutcome::Complete));
    CHECK(run.result.bodyComplete);
    CHECK_EQ(run.result.head.status, 206);
    CHECK_EQ(run.result.head.rangeStart, 61234);
    CHECK_EQ(run.result.head.rangeTotal, 100000);
    CHECK_EQ(run.result.head.length, 100000 - 61234);
    CHECK_EQ(sink.head.rangeStart, 61234);
    CHECK(sink.body == Pattern(100000).substr(61234));
    // Last-Modified guards a range as well.
    Collector dated;
    const Run byDate =
        Drive(*client, TransferRequest{Url("/range/1000"), 10, "Wed, 21 Oct 2015 07:28:00 GMT"}, dated);
    CHECK_EQ(byDate.result.head.status, 206);
    CHECK(dated.body == Pattern(1000).substr(10));
}

// If-Range: a file that changed since the partial body comes back whole.
TEST_CASE(Http, RangeOfAChangedFileComesWhole) {
    auto client = Client(5);
    Collector sink;
    const Run run = Drive(*client, TransferRequest{Url("/range/5000"), 3000, "\"v0\""}, sink);
    CHECK(Is(run, TransferOutcome::Complete));
    CHECK_EQ(run.result.head.status, 200);
    CHECK_EQ(run.result.head.rangeStart, -1);
    CHECK(sink.body == Pattern(5000));
}

TEST_CASE(Http, CutBodyIsInterrupted) {
    auto client = Client(5);
    Collector sink;
    const Run run = Drive(*client, Url("/short/5000/1200"), sink);
    CHECK(Is(run, TransferOutcome::Interrupted));
    CHECK(!run.result.bodyComplete);
    CHECK_EQ(run.result.head.length, 5000);
    CHECK(sink.body.size() <= 1200u);
}

TEST_CASE(Http, RedirectFollowed) {
    auto client = Client(5);
    Collector sink;
    const Run run = Drive(*client, Url("/redirect"), sink);
    CHECK(Is(run, TransferOutcome::Complete));
    CHECK_EQ(run.result.head.status, 200);
    CHECK_EQ(sink.begins, 1);
    CHECK_EQ(sink.body, Pattern(10));
    Collector relative;
    const Run hop = Drive(*client, Url("/hop/start"), relative);
    CHECK(Is(hop, TransferOutcome::Complete));
    CHECK_EQ(relative.body, Pattern(12));
}

TEST_CASE(Http, RedirectLoopAndOtherSchemesRefused) {
    auto client = Client(5);
    Collector sink;
    CHECK(Is(Drive(*client, Url("/loop"), sink), TransferOutcome::TooManyRedirects));
    CHECK(Is(Drive(*client, Url("/toftp"), sink), TransferOutcome::BadRedirect));
    CHECK_EQ(sink.pieces, 0u);
}

TEST_CASE(Http, GarbledAnswerIsBadResponse) {
    auto client = Client(5);
    Collector sink;
    CHECK(Is(Drive(*client, Url("/garbage"), sink), TransferOutcome::BadResponse));
    CHECK(Is(Drive(*client, Url("/bigheader"), sink), TransferOutcome::BadResponse));
    CHECK_EQ(sink.pieces, 0u);
}

// The repository's "files\" prefix must reach the server as a backslash,
// and what the caller escaped must not be escaped twice.
TEST_CASE(Http, PathSentAsGiven) {
    auto client = Client(5);
    Collector sink;
    const Run run = Drive(*client, Url("/echo/files\\data/a%20b%C3%A9.map"), sink);
    CHECK(Is(run, TransferOutcome::Complete));
    CHECK_EQ(sink.body, "/echo/files\\data/a%20b%C3%A9.map");
}

TEST_CASE(Http, ConnectionKeptBetweenTransfers) {
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
TEST_CASE(Http, SeveralTransfersAtOnce) {
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
        CHECK(results[k].outcome == TransferOutcome::Complete);
        CHECK(results[k].bodyComplete);
        CHECK(sinks[k].body == Pattern(sizes[k]));
        CHECK(!sinks[k].otherThread);
    }
    // 8 answers that each take 0.3 s: one at a time would take 2.4 s.
    const std::string most = Fetch(*client, "/most");
    CHECK(most == "2" || most == "3");
}

TEST_CASE(Http, NoServerIsUnreachable) {
    auto client = Client(5);
    Collector sink;
    const Run run = Drive(*client, Url("/ok/10", closedPort), sink);
    CHECK(Is(run, TransferOutcome::Unreachable));
    CHECK_EQ(run.result.head.status, 0);
}

TEST_CASE(Http, SilentServerTimesOutWithoutSpinning) {
    auto client = Client(2);
    Collector sink;
    const Run run = Drive(*client, Url("/stall/100/10"), sink);
    CHECK(Is(run, TransferOutcome::TimedOut));
    CHECK_EQ(sink.body, Pattern(10));
    CHECK(run.seconds >= 1.5);
    CHECK(run.seconds < 10);
    // Waiting sleeps on an event: a busy loop would burn the whole time.
    CHECK(run.cpuSeconds < 0.25 * run.seconds);
}

TEST_CASE(Http, NoAnswerAtAllTimesOut) {
    auto client = Client(2);
    Collector sink;
    const Run run = Drive(*client, Url("/silent"), sink);
    CHECK(Is(run, TransferOutcome::TimedOut));
    CHECK_EQ(run.result.head.status, 0);
}

TEST_CASE(Http, SinkRefusalStopsTheTransfer) {
    auto client = Client(5);
    Collector refusing(1);
    const Run run = Drive(*client, Url("/ok/400000"), refusing);
    CHECK(Is(run, TransferOutcome::SinkRefused));
    CHECK(refusing.body.size() < 400000u);
    Collector refusingHead(SIZE_MAX, true);
    CHECK(Is(Drive(*client, Url("/ok/400000"), refusingHead), TransferOutcome::SinkRefused));
    CHECK_EQ(refusingHead.pieces, 0u);
    // The client is usable again.
    Collector sink;
    CHECK(Is(Drive(*client, Url("/ok/1000"), sink), TransferOutcome::Complete));
    CHECK(sink.body == Pattern(1000));
}

TEST_CASE(Http, CancelAbandonsPromptly) {
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
    CHECK(Is(run, TransferOutcome::Complete));
    CHECK(sink.body == Pattern(2000));
    CHECK_EQ(stalled.pieces, pieces);
}

// A cancelled transfer frees its connection for the next one waiting.
TEST_CASE(Http, CancelLetsTheNextTransferIn) {
    auto client = Client(30, 1);
    Collector stalled, next;
    const TransferId first = client->Start(TransferRequest{Url("/stall/100/10"), 0, {}}, stalled);
    const TransferId second = client->Start(TransferRequest{Url("/ok/3000"), 0, {}}, next);
    for (int i = 0; i < 10; ++i) CHECK(client->Wait(20).empty());
    CHECK_EQ(next.pieces, 0u);
    client->Cancel(first);
    bool done = false;
    for (int i = 0; i < 500 && !done; ++i) {
        for (const auto& [id, result] : client->Wait(20))
            done = id == second && result.outcome == TransferOutcome::Complete;
    }
    CHECK(done);
    CHECK(next.body == Pattern(3000));
}

TEST_CASE(Http, DestroyedWhileRunning) {
    Collector stalled, other;
    {
        auto client = Client(30, 2);
        client->Start(TransferRequest{Url("/stall/100/10"), 0, {}}, stalled);
        client->Start(TransferRequest{Url("/ok/300000"), 0, {}}, other);
        client->Wait(50);
    }
    const std::size_t pieces = stalled.pieces + other.pieces;
    // WinHTTP may still report on the closed requests: nothing must crash,
    // and no sink hears of them again.
    Sleep(300);
    CHECK_EQ(stalled.pieces + other.pieces, pieces);
}

// ---- https: the system's certificate store decides -------------------------

namespace {

std::string SecureUrl(const std::string& path) {
    return "https://127.0.0.1:" + std::to_string(tlsPort) + path;
}

// Adds the test server's certificate to the machine's trusted roots, as an
// administrator would deploy a private authority.
bool TrustTestServer() {
    std::ifstream in(certificateFile, std::ios::binary);
    const std::string pem((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    DWORD size = 0;
    if (!CryptStringToBinaryA(pem.c_str(), static_cast<DWORD>(pem.size()), CRYPT_STRING_BASE64HEADER, nullptr,
                              &size, nullptr, nullptr)) {
        return false;
    }
    std::vector<BYTE> der(size);
    if (!CryptStringToBinaryA(pem.c_str(), static_cast<DWORD>(pem.size()), CRYPT_STRING_BASE64HEADER,
                              der.data(), &size, nullptr, nullptr)) {
        return false;
    }
    HCERTSTORE store =
        CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, L"Root");
    if (!store) return false;
    const bool added = CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der.data(), size,
                                                        CERT_STORE_ADD_REPLACE_EXISTING, nullptr) != 0;
    CertCloseStore(store, 0);
    return added;
}

}  // namespace

TEST_CASE(Https, UnknownAuthorityRefused) {
    auto client = Client(5);
    Collector sink;
    const Run run = Drive(*client, "https://127.0.0.1:" + std::to_string(strangerPort) + "/ok/100", sink);
    CHECK(Is(run, TransferOutcome::Certificate));
    CHECK_EQ(sink.pieces, 0u);
}

TEST_CASE(Https, TrustedServerAndNoWayBackToHttp) {
    auto client = Client(5);
    Collector sink;
    const Run run = Drive(*client, SecureUrl("/ok/100000"), sink);
    CHECK(Is(run, TransferOutcome::Complete));
    CHECK(run.result.bodyComplete);
    CHECK(sink.body == Pattern(100000));
    // Leaving https for http would hand the rest to anyone on the way.
    Collector redirected;
    CHECK(Is(Drive(*client, SecureUrl("/tohttp"), redirected), TransferOutcome::BadRedirect));
    CHECK_EQ(redirected.pieces, 0u);
}

int main(int argc, char** argv) {
    if (argc < 6) {
        std::cerr << "usage: http_win_test <server port> <closed port> <TLS server port> <certificate> "
                     "<TLS server port, unknown certificate> [filter]\n";
        return 2;
    }
    serverPort = std::stoi(argv[1]);
    closedPort = std::stoi(argv[2]);
    tlsPort = std::stoi(argv[3]);
    certificateFile = argv[4];
    strangerPort = std::stoi(argv[5]);
    // Trusted before anything runs, as on a machine where it was deployed.
    if (!TrustTestServer()) {
        std::cerr << "could not trust " << certificateFile << "\n";
        return 2;
    }
    return check::RunAll(argc > 6 ? argv[6] : "");
}
