// One HTTP GET at a time, driven by its caller: the caller waits on it in
// short slices and handles window events in between, so the program keeps a
// single thread. One backend per platform implements it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

// Receives the body of a successful response as it arrives.
class BodySink {
public:
    virtual ~BodySink() = default;
    // False stops the transfer (the data could not be stored). Must not throw.
    virtual bool Write(const char* data, std::size_t size) = 0;
};

enum class TransferOutcome {
    Complete,     // the whole response arrived; see status
    HttpError,    // the server answered with an error status (4xx, 5xx)
    Unreachable,  // no connection could be made
    TimedOut,     // no data for the time-out
    Interrupted,  // the connection broke or the body was cut short
    SinkRefused,  // BodySink::Write returned false
};

struct TransferResult {
    TransferOutcome outcome = TransferOutcome::Interrupted;
    long status = 0;  // the final HTTP status, 0 when none was received
};

class HttpClient {
public:
    virtual ~HttpClient() = default;
    // Starts a GET of url, following redirects; the body goes to sink, which
    // must outlive the transfer. Only an error response's body is kept out of it.
    virtual void Start(const std::string& url, BodySink& sink) = 0;
    // Waits at most timeoutMs for the transfer to progress; true once it has ended.
    virtual bool Wait(int timeoutMs) = 0;
    // The declared length of the body, -1 while unknown or when none was given.
    virtual std::int64_t ExpectedSize() const = 0;
    // How the ended transfer went.
    virtual TransferResult Result() const = 0;
    // Abandons a running transfer.
    virtual void Cancel() = 0;
};

// The platform's client. Connections are kept between transfers. A transfer
// that receives nothing for timeoutSeconds ends as TimedOut.
std::unique_ptr<HttpClient> MakeHttpClient(int timeoutSeconds);
