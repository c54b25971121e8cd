// The WinHTTP client (http_winhttp.cpp) against the scripted server of
// fault_server.py on loopback: bodies, error pages, cut and stalled
// responses, redirects, keep-alive, cancellation, and that waiting costs no
// CPU and that the sink runs on the caller's thread.
//   http_win_test <server port> <closed port> [filter]
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <string>

#include "check.h"
#include "transfer/http.h"

namespace {

using Clock = std::chrono::steady_clock;

int serverPort = 0;
int closedPort = 0;

std::string Url(const std::string& path, int port = 0) {
    return "http://127.0.0.1:" + std::to_string(port ? port : serverPort) + path;
}

// The bytes fault_server.py sends for /ok/<n>: a repeating alphabet.
std::string Pattern(std::size_t size) {
    std::string bytes;
    for (std::size_t i = 0; i < size; ++i) bytes += static_cast<char>('a' + i % 26);
    return bytes;
}

class Collector : public BodySink {
public:
    explicit Collector(std::size_t refuseAfter = SIZE_MAX) : refuseAfter_(refuseAfter) {}
    bool Write(const char* data, std::size_t size) override {
        if (GetCurrentThreadId() != caller_) otherThread = true;
        ++pieces;
        largestPiece = std::max(largestPiece, size);
        if (body.size() >= refuseAfter_) return false;
        body.append(data, size);
        return true;
    }
    std::string body;
    std::size_t pieces = 0;
    std::size_t largestPiece = 0;
    bool otherThread = false;

private:
    DWORD caller_ = GetCurrentThreadId();
    std::size_t refuseAfter_;
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
    std::int64_t expected = -1;
    double seconds = 0;
    double cpuSeconds = 0;
    bool ended = false;
};

// Drives a transfer the way DownloadFile does: short waits in a loop.
Run Drive(HttpClient& client, const std::string& url, BodySink& sink, double limitSeconds = 20) {
    Run run;
    const auto start = Clock::now();
    const double cpuStart = CpuSeconds();
    client.Start(url, sink);
    while (!(run.ended = client.Wait(20))) {
        if (std::chrono::duration<double>(Clock::now() - start).count() > limitSeconds) break;
    }
    run.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    run.cpuSeconds = CpuSeconds() - cpuStart;
    run.result = client.Result();
    run.expected = client.ExpectedSize();
    return run;
}

bool Is(const Run& run, TransferOutcome outcome) {
    if (run.ended && run.result.outcome == outcome) return true;
    std::cout << "    transfer: ended=" << run.ended << " outcome=" << static_cast<int>(run.result.outcome)
              << " status=" << run.result.status << " after " << run.seconds << " s\n";
    return false;
}

}  // namespace

TEST_CASE(Http, WholeBodyInPiecesOnTheCallersThread) {
    auto client = MakeHttpClient(5);
    Collector sink;
    const Run run = Drive(*client, Url("/ok/300000"), sink);
    CHECK(Is(run, TransferOutcome::Complete));
    CHECK_EQ(run.result.status, 200);
    CHECK_EQ(run.expected, 300000);
    CHECK(sink.body == Pattern(300000));
    CHECK(sink.pieces > 1);
    CHECK(!sink.otherThread);
}

TEST_CASE(Http, EmptyBody) {
    auto client = MakeHttpClient(5);
    Collector sink;
    const Run run = Drive(*client, Url("/ok/0"), sink);
    CHECK(Is(run, TransferOutcome::Complete));
    CHECK_EQ(run.expected, 0);
    CHECK_EQ(sink.body, "");
}

TEST_CASE(Http, BodyWithoutLength) {
    auto client = MakeHttpClient(5);
    Collector sink;
    const Run run = Drive(*client, Url("/chunked/70000"), sink);
    CHECK(Is(run, TransferOutcome::Complete));
    CHECK_EQ(run.expected, -1);
    CHECK(sink.body == Pattern(70000));
}

TEST_CASE(Http, ErrorPageNeverReachesTheSink) {
    auto client = MakeHttpClient(5);
    Collector sink;
    const Run notFound = Drive(*client, Url("/notfound"), sink);
    CHECK(Is(notFound, TransferOutcome::HttpError));
    CHECK_EQ(notFound.result.status, 404);
    const Run serverError = Drive(*client, Url("/servererror"), sink);
    CHECK(Is(serverError, TransferOutcome::HttpError));
    CHECK_EQ(serverError.result.status, 500);
    CHECK_EQ(sink.pieces, 0u);
}

TEST_CASE(Http, CutBodyIsInterrupted) {
    auto client = MakeHttpClient(5);
    Collector sink;
    const Run run = Drive(*client, Url("/short/5000/1200"), sink);
    CHECK(Is(run, TransferOutcome::Interrupted));
    CHECK_EQ(run.expected, 5000);
    CHECK(sink.body.size() <= 1200u);
}

TEST_CASE(Http, RedirectFollowed) {
    auto client = MakeHttpClient(5);
    Collector sink;
    const Run run = Drive(*client, Url("/redirect"), sink);
    CHECK(Is(run, TransferOutcome::Complete));
    CHECK_EQ(run.result.status, 200);
    CHECK_EQ(sink.body, Pattern(10));
}

// The repository's "files\" prefix must reach the server as a backslash,
// and what the caller escaped must not be escaped twice.
TEST_CASE(Http, PathSentAsGiven) {
    auto client = MakeHttpClient(5);
    Collector sink;
    const Run run = Drive(*client, Url("/echo/files\\data/a%20b%C3%A9.map"), sink);
    CHECK(Is(run, TransferOutcome::Complete));
    CHECK_EQ(sink.body, "/echo/files\\data/a%20b%C3%A9.map");
}

TEST_CASE(Http, ConnectionKeptBetweenTransfers) {
    auto client = MakeHttpClient(5);
    Collector first, second, count;
    Drive(*client, Url("/ok/100"), first);
    const std::string before = [&] {
        Collector probe;
        Drive(*client, Url("/connections"), probe);
        return probe.body;
    }();
    Drive(*client, Url("/ok/100"), second);
    Drive(*client, Url("/ok/5000"), second);
    const Run run = Drive(*client, Url("/connections"), count);
    CHECK(Is(run, TransferOutcome::Complete));
    // No new connection for the transfers after the first.
    CHECK_EQ(count.body, before);
}

TEST_CASE(Http, NoServerIsUnreachable) {
    auto client = MakeHttpClient(5);
    Collector sink;
    const Run run = Drive(*client, Url("/ok/10", closedPort), sink);
    CHECK(Is(run, TransferOutcome::Unreachable));
    CHECK_EQ(run.result.status, 0);
}

TEST_CASE(Http, SilentServerTimesOutWithoutSpinning) {
    auto client = MakeHttpClient(2);
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
    auto client = MakeHttpClient(2);
    Collector sink;
    const Run run = Drive(*client, Url("/silent"), sink);
    CHECK(Is(run, TransferOutcome::TimedOut));
    CHECK_EQ(run.result.status, 0);
}

TEST_CASE(Http, SinkRefusalStopsTheTransfer) {
    auto client = MakeHttpClient(5);
    Collector refusing(1);
    const Run run = Drive(*client, Url("/ok/400000"), refusing);
    CHECK(Is(run, TransferOutcome::SinkRefused));
    CHECK(refusing.body.size() < 400000u);
    // The client is usable again.
    Collector sink;
    CHECK(Is(Drive(*client, Url("/ok/1000"), sink), TransferOutcome::Complete));
    CHECK(sink.body == Pattern(1000));
}

TEST_CASE(Http, CancelAbandonsPromptly) {
    auto client = MakeHttpClient(30);
    Collector stalled;
    client->Start(Url("/stall/100/10"), stalled);
    for (int i = 0; i < 10; ++i) client->Wait(20);
    const auto start = Clock::now();
    client->Cancel();
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    // A Cancel that waited for the stalled transfer would take the whole
    // 30 s time-out; the margin below is for a loaded machine.
    CHECK(seconds < 5);
    CHECK(client->Wait(20));
    Collector sink;
    const Run run = Drive(*client, Url("/ok/2000"), sink);
    CHECK(Is(run, TransferOutcome::Complete));
    CHECK(sink.body == Pattern(2000));
}

TEST_CASE(Http, DestroyedWhileRunning) {
    Collector stalled;
    {
        auto client = MakeHttpClient(30);
        client->Start(Url("/stall/100/10"), stalled);
        client->Wait(50);
    }
    // WinHTTP may still report on the closed request: nothing must crash.
    Sleep(300);
    CHECK(true);
}

int main(int argc, char** argv) {
    if (argc < 3) {
        std::cerr << "usage: http_win_test <server port> <closed port> [filter]\n";
        return 2;
    }
    serverPort = std::stoi(argv[1]);
    closedPort = std::stoi(argv[2]);
    return check::RunAll(argc > 3 ? argv[3] : "");
}
