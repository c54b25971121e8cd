// HTTP GETs driven by their caller on its own thread: the caller starts any
// number of transfers, then waits on all of them in short slices and handles
// window events in between, so the transfers need no thread of their own.
// One backend per platform implements it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

struct TransferRequest {
    std::string url;
    // When above 0, only the bytes from this offset on are asked for (Range),
    // on the condition that the file still has the validator below (If-Range).
    std::uint64_t from = 0;
    std::string ifRange;
};

// What the headers of the final answer (after redirects) said.
struct ResponseHead {
    long status = 0;
    std::int64_t length = -1;      // Content-Length; -1 when absent
    bool chunked = false;          // Transfer-Encoding: chunked
    std::int64_t rangeStart = -1;  // a 206's first byte (Content-Range); -1 otherwise
    std::int64_t rangeTotal = -1;  // a 206's full size; -1 when unknown
    std::string validator;         // a strong ETag, else Last-Modified; empty when none
    std::string contentEncoding;   // empty when none was declared
    int retryAfterSeconds = -1;    // Retry-After, in seconds from now; -1 when absent
};

// Receives the body of a successful (2xx) answer as it arrives.
class BodySink {
public:
    virtual ~BodySink() = default;
    // Called once with the answer's head, before its first byte. False refuses
    // the answer: the transfer ends as SinkRefused. Must not throw.
    virtual bool Begin(const ResponseHead& head) = 0;
    // False stops the transfer (the data could not be stored). Must not throw.
    virtual bool Write(const char* data, std::size_t size) = 0;
};

enum class TransferOutcome {
    Complete,          // the answer arrived to its end; see head.status and bodyComplete
    HttpError,         // the server answered with an error status (4xx, 5xx)
    Unreachable,       // no connection could be made
    TimedOut,          // no data for the time-out
    Interrupted,       // the connection broke or the body was cut short
    SinkRefused,       // BodySink::Begin or Write returned false
    TooManyRedirects,  // a redirect loop
    BadRedirect,       // a redirect to a scheme other than http or https
    BadResponse,       // not a valid HTTP answer (garbled or oversized headers)
    Certificate,       // the server's TLS certificate was refused
};

struct TransferResult {
    TransferOutcome outcome = TransferOutcome::Interrupted;
    ResponseHead head;
    // The body ended where its own framing says: its Content-Length was
    // reached, the final chunk arrived, or the protocol marked the end (HTTP/2).
    // False for a body that merely stopped when the connection closed.
    bool bodyComplete = false;
};

using TransferId = std::uint64_t;

class HttpClient {
public:
    virtual ~HttpClient() = default;
    // Starts a GET, following redirects (http and https only). The body of a
    // 2xx answer goes to sink, which must outlive the transfer; error pages
    // never reach it.
    virtual TransferId Start(const TransferRequest& request, BodySink& sink) = 0;
    // Waits at most timeoutMs for the running transfers to progress; returns
    // the transfers that ended meanwhile, with how they went.
    virtual std::vector<std::pair<TransferId, TransferResult>> Wait(int timeoutMs) = 0;
    // Abandons a running transfer; its sink is not called again.
    virtual void Cancel(TransferId id) = 0;
    // Transfers started and neither ended nor cancelled.
    virtual std::size_t Running() const = 0;
    // A hint that `connections` more transfers to the server of the last
    // transfer will follow soon: a backend may open connections for them now,
    // so that they need not wait for a connection's round trip later.
    // Nothing is reported of it.
    virtual void Prepare(int connections) { (void)connections; }
};

struct HttpOptions {
    // A transfer that receives nothing for this long ends as TimedOut.
    int timeoutSeconds = 60;
    // Connections kept open to one server at once; transfers beyond them wait.
    // Over HTTP/2 the transfers share one connection as streams instead.
    int maxConnections = 1;
    // Certificate authorities to trust instead of the system's; empty: the system's.
    std::string caFile;
    // Wait also returns as soon as this descriptor is readable (the window's
    // events); -1 for none.
    int wakeDescriptor = -1;
    // The most bytes a second all transfers together may receive (the
    // player's cap, rate_limit.h); 0: no cap.
    std::uint64_t maxBytesPerSecond = 0;
};

// The platform's client. Connections are kept between transfers.
std::unique_ptr<HttpClient> MakeHttpClient(const HttpOptions& options);
