// HttpClient over WinHTTP in its asynchronous mode. WinHTTP's own threads
// only note what completed and set an event; every call into WinHTTP and
// every write into the sink happens in Wait, on the caller's thread, so the
// program's logic stays single-threaded and Wait sleeps on the event
// instead of spinning.
//
// One request is a chain of operations, one outstanding at a time:
//   send -> receive response -> (query available -> read)* -> end of body.
#include <windows.h>
#include <winhttp.h>

#include <chrono>
#include <cwchar>
#include <deque>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <vector>

#include "storage/text_win.h"
#include "transfer/http.h"

namespace {

using Clock = std::chrono::steady_clock;

// One piece read at a time; the sink gets at most this much per call.
constexpr DWORD kPieceSize = 64 * 1024;

// Closes a WinHTTP handle when it goes out of scope.
class InetHandle {
public:
    InetHandle() = default;
    explicit InetHandle(HINTERNET handle) : handle_(handle) {}
    ~InetHandle() { Close(); }
    InetHandle(const InetHandle&) = delete;
    InetHandle& operator=(const InetHandle&) = delete;
    InetHandle& operator=(HINTERNET handle) {
        Close();
        handle_ = handle;
        return *this;
    }
    HINTERNET get() const { return handle_; }
    explicit operator bool() const { return handle_ != nullptr; }
    void Close() {
        if (handle_) WinHttpCloseHandle(handle_);
        handle_ = nullptr;
    }

private:
    HINTERNET handle_ = nullptr;
};

// What a WinHTTP thread reported for the outstanding operation.
struct Completion {
    DWORD status = 0;  // WINHTTP_CALLBACK_STATUS_*
    DWORD bytes = 0;   // data available, or bytes read
    DWORD error = 0;   // for WINHTTP_CALLBACK_STATUS_REQUEST_ERROR
};

// Lives as long as its request handle, which may be longer than the
// transfer: after an abandoned transfer WinHTTP can still complete a read
// into the buffer and report it. The last notification for the handle,
// HANDLE_CLOSING, deletes it.
class RequestState {
public:
    RequestState() : event_(CreateEventW(nullptr, TRUE, FALSE, nullptr)), buffer_(kPieceSize) {
        if (!event_) throw std::runtime_error("CreateEvent");
    }
    ~RequestState() { CloseHandle(event_); }
    RequestState(const RequestState&) = delete;
    RequestState& operator=(const RequestState&) = delete;

    HANDLE event() const { return event_; }
    char* buffer() { return buffer_.data(); }

    // Called on a WinHTTP thread, or inside a WinHTTP call on the caller's.
    void Report(const Completion& completion) {
        std::lock_guard lock(mutex_);
        completions_.push_back(completion);
        SetEvent(event_);
    }

    bool Take(Completion& completion) {
        std::lock_guard lock(mutex_);
        if (completions_.empty()) {
            ResetEvent(event_);
            return false;
        }
        completion = completions_.front();
        completions_.pop_front();
        if (completions_.empty()) ResetEvent(event_);
        return true;
    }

private:
    HANDLE event_;
    std::vector<char> buffer_;
    std::mutex mutex_;
    std::deque<Completion> completions_;
};

void CALLBACK OnStatus(HINTERNET, DWORD_PTR context, DWORD status, LPVOID info, DWORD infoLength) {
    auto* state = reinterpret_cast<RequestState*>(context);
    if (!state) return;  // the session and connection handles carry no state
    switch (status) {
        case WINHTTP_CALLBACK_STATUS_HANDLE_CLOSING:
            delete state;
            return;
        case WINHTTP_CALLBACK_STATUS_SENDREQUEST_COMPLETE:
        case WINHTTP_CALLBACK_STATUS_HEADERS_AVAILABLE:
            state->Report({status, 0, 0});
            return;
        case WINHTTP_CALLBACK_STATUS_DATA_AVAILABLE:
            state->Report({status, *static_cast<DWORD*>(info), 0});
            return;
        case WINHTTP_CALLBACK_STATUS_READ_COMPLETE:
            state->Report({status, infoLength, 0});
            return;
        case WINHTTP_CALLBACK_STATUS_REQUEST_ERROR:
            state->Report({status, 0, static_cast<DWORD>(static_cast<WINHTTP_ASYNC_RESULT*>(info)->dwError)});
            return;
        default:
            return;
    }
}

constexpr DWORD kNotifications = WINHTTP_CALLBACK_FLAG_ALL_COMPLETIONS | WINHTTP_CALLBACK_FLAG_HANDLES;

// Where a URL points: the part that picks the connection, and the rest.
struct Target {
    std::wstring host;
    INTERNET_PORT port = 0;
    bool secure = false;
    std::wstring path;  // with the query, as sent in the request line
    bool operator==(const Target&) const = default;
};

bool SameServer(const Target& a, const Target& b) {
    return a.host == b.host && a.port == b.port && a.secure == b.secure;
}

Target Parse(const std::string& url) {
    const std::wstring wide = Widen(url);
    URL_COMPONENTS parts{};
    parts.dwStructSize = sizeof parts;
    parts.dwHostNameLength = static_cast<DWORD>(-1);
    parts.dwUrlPathLength = static_cast<DWORD>(-1);
    parts.dwExtraInfoLength = static_cast<DWORD>(-1);
    parts.dwSchemeLength = static_cast<DWORD>(-1);
    if (!WinHttpCrackUrl(wide.c_str(), static_cast<DWORD>(wide.size()), 0, &parts)) {
        throw std::runtime_error("WinHttpCrackUrl: " + url);
    }
    Target target;
    target.host.assign(parts.lpszHostName, parts.dwHostNameLength);
    target.port = parts.nPort;
    target.secure = parts.nScheme == INTERNET_SCHEME_HTTPS;
    target.path.assign(parts.lpszUrlPath, parts.dwUrlPathLength);
    if (parts.lpszExtraInfo) target.path.append(parts.lpszExtraInfo, parts.dwExtraInfoLength);
    if (target.path.empty()) target.path = L"/";
    return target;
}

TransferOutcome OutcomeOf(DWORD error) {
    switch (error) {
        case ERROR_WINHTTP_CANNOT_CONNECT:
        case ERROR_WINHTTP_NAME_NOT_RESOLVED:
            return TransferOutcome::Unreachable;
        case ERROR_WINHTTP_TIMEOUT:
        // Wine reports a receive time-out with the socket's error instead.
        case WSAETIMEDOUT:
            return TransferOutcome::TimedOut;
        default:
            return TransferOutcome::Interrupted;
    }
}

class WinHttpClient : public HttpClient {
public:
    explicit WinHttpClient(int timeoutSeconds) : timeout_(std::chrono::seconds(timeoutSeconds)) {
        // Automatic proxy (the user's settings, then WPAD) exists from
        // Windows 8.1 on; older systems refuse it and take the WinHTTP proxy.
        const DWORD flags = WINHTTP_FLAG_ASYNC;
        session_ = WinHttpOpen(L"kestralon-updater", WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY,
                               WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, flags);
        if (!session_) {
            session_ = WinHttpOpen(L"kestralon-updater", WINHTTP_ACCESS_TYPE_DEFAULT_PROXY,
                                   WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, flags);
        }
        if (!session_) throw std::runtime_error("WinHttpOpen");
        // The request handles inherit the callback from the session.
        if (WinHttpSetStatusCallback(session_.get(), OnStatus, kNotifications, 0) ==
            WINHTTP_INVALID_STATUS_CALLBACK) {
            throw std::runtime_error("WinHttpSetStatusCallback");
        }
        // Name resolution, connection, sending and every wait for data each
        // give up after the time-out: "no data for that long".
        const int ms = timeoutSeconds * 1000;
        WinHttpSetTimeouts(session_.get(), ms, ms, ms, ms);
        DWORD responseMs = static_cast<DWORD>(ms);
        WinHttpSetOption(session_.get(), WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &responseMs,
                         sizeof responseMs);
    }

    ~WinHttpClient() override {
        Cancel();
        connection_.Close();
        session_.Close();
    }

    void Start(const std::string& url, BodySink& sink) override {
        Cancel();
        sink_ = &sink;
        result_ = {};
        expected_ = -1;
        received_ = 0;
        const Target target = Parse(url);
        // The connection handle is kept for the next transfer to the same
        // server; WinHTTP then reuses the open socket (keep-alive).
        if (!connection_ || !SameServer(target, server_)) {
            connection_ = WinHttpConnect(session_.get(), target.host.c_str(), target.port, 0);
            if (!connection_) throw std::runtime_error("WinHttpConnect");
            server_ = target;
        }
        // The path is sent as built: the caller has escaped what needs it
        // and the repository's "files\" prefix must stay a literal backslash.
        const DWORD flags = WINHTTP_FLAG_ESCAPE_DISABLE | (target.secure ? WINHTTP_FLAG_SECURE : 0);
        auto state = std::make_unique<RequestState>();
        HINTERNET request = WinHttpOpenRequest(connection_.get(), L"GET", target.path.c_str(), nullptr,
                                               WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES, flags);
        if (!request) throw std::runtime_error("WinHttpOpenRequest");
        DWORD_PTR context = reinterpret_cast<DWORD_PTR>(state.get());
        if (!WinHttpSetOption(request, WINHTTP_OPTION_CONTEXT_VALUE, &context, sizeof context)) {
            WinHttpCloseHandle(request);
            throw std::runtime_error("WinHttpSetOption");
        }
        // From here on the handle owns the state (see RequestState).
        request_ = request;
        state_ = state.release();
        running_ = true;
        lastProgress_ = Clock::now();
        if (!WinHttpSendRequest(request_, WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0,
                                context)) {
            Finish(OutcomeOf(GetLastError()));
        }
    }

    bool Wait(int timeoutMs) override {
        const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        while (running_) {
            Completion completion;
            if (state_->Take(completion)) {
                lastProgress_ = Clock::now();
                Advance(completion);
                // A fast server always has the next piece ready: hand back to
                // the caller on time so that the window gets its events.
                if (Clock::now() >= deadline) break;
                continue;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            const DWORD waitMs = left.count() > 0 ? static_cast<DWORD>(left.count()) : 0;
            if (WaitForSingleObject(state_->event(), waitMs) != WAIT_OBJECT_0) break;
        }
        // WinHTTP's own time-outs do not cover every wait: Wine never times
        // out a server that accepts the request and does not answer.
        if (running_ && Clock::now() - lastProgress_ >= timeout_) Finish(TransferOutcome::TimedOut);
        return !running_;
    }

    std::int64_t ExpectedSize() const override { return expected_; }

    TransferResult Result() const override { return result_; }

    void Cancel() override {
        if (!request_) return;
        // Closing the handle abandons whatever WinHTTP is doing with it; its
        // state goes away with the HANDLE_CLOSING notification.
        WinHttpCloseHandle(request_);
        request_ = nullptr;
        state_ = nullptr;
        running_ = false;
    }

private:
    void Advance(const Completion& completion) {
        switch (completion.status) {
            case WINHTTP_CALLBACK_STATUS_SENDREQUEST_COMPLETE:
                if (!WinHttpReceiveResponse(request_, nullptr)) Finish(OutcomeOf(GetLastError()));
                return;
            case WINHTTP_CALLBACK_STATUS_HEADERS_AVAILABLE:
                OnHeaders();
                return;
            case WINHTTP_CALLBACK_STATUS_DATA_AVAILABLE:
                if (completion.bytes == 0) return EndOfBody();
                if (!WinHttpReadData(request_, state_->buffer(), std::min(completion.bytes, kPieceSize),
                                     nullptr)) {
                    Finish(OutcomeOf(GetLastError()));
                }
                return;
            case WINHTTP_CALLBACK_STATUS_READ_COMPLETE:
                if (completion.bytes == 0) return EndOfBody();
                if (!sink_->Write(state_->buffer(), completion.bytes))
                    return Finish(TransferOutcome::SinkRefused);
                received_ += completion.bytes;
                AskForData();
                return;
            case WINHTTP_CALLBACK_STATUS_REQUEST_ERROR:
                Finish(OutcomeOf(completion.error));
                return;
            default:
                return;
        }
    }

    void OnHeaders() {
        DWORD status = 0;
        DWORD size = sizeof status;
        if (!WinHttpQueryHeaders(request_, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                                 WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX)) {
            return Finish(TransferOutcome::Interrupted);
        }
        result_.status = static_cast<long>(status);
        // An error page must never end up in a game file: its body is not read.
        if (status >= 400) return Finish(TransferOutcome::HttpError);
        expected_ = ContentLength();
        AskForData();
    }

    // As text: the numeric form of the query stops at 4 GiB.
    std::int64_t ContentLength() const {
        wchar_t text[32] = {};
        DWORD size = sizeof text;
        if (!WinHttpQueryHeaders(request_, WINHTTP_QUERY_CONTENT_LENGTH, WINHTTP_HEADER_NAME_BY_INDEX, text,
                                 &size, WINHTTP_NO_HEADER_INDEX)) {
            return -1;
        }
        wchar_t* end = nullptr;
        const long long length = std::wcstoll(text, &end, 10);
        return end != text && length >= 0 ? length : -1;
    }

    void AskForData() {
        if (!WinHttpQueryDataAvailable(request_, nullptr)) Finish(OutcomeOf(GetLastError()));
    }

    void EndOfBody() {
        // A connection that closes before the declared length is a cut body.
        const bool whole = expected_ < 0 || received_ == static_cast<std::uint64_t>(expected_);
        Finish(whole ? TransferOutcome::Complete : TransferOutcome::Interrupted);
    }

    void Finish(TransferOutcome outcome) {
        result_.outcome = outcome;
        // Closing the request handle after a complete body returns its
        // connection to the session's pool for the next transfer.
        Cancel();
    }

    Clock::duration timeout_;
    Clock::time_point lastProgress_;
    InetHandle session_;
    InetHandle connection_;
    Target server_;
    HINTERNET request_ = nullptr;
    RequestState* state_ = nullptr;  // owned by request_
    BodySink* sink_ = nullptr;
    bool running_ = false;
    std::int64_t expected_ = -1;
    std::uint64_t received_ = 0;
    TransferResult result_;
};

}  // namespace

std::unique_ptr<HttpClient> MakeHttpClient(int timeoutSeconds) {
    return std::make_unique<WinHttpClient>(timeoutSeconds);
}
