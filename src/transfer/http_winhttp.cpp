// HttpClient over WinHTTP in its asynchronous mode, several requests at
// once. WinHTTP's own threads only note what completed and set one event;
// every call into WinHTTP and every write into a sink happens in Wait, on the
// caller's thread, so the program's logic stays single-threaded and Wait
// sleeps on the event instead of spinning.
//
// One request is a chain of operations, one outstanding at a time:
//   send -> receive response -> (query available -> read)* -> end of body.
// Redirects are followed here rather than by WinHTTP, so that each one can be
// judged (https to http, other schemes, loops) and counted.
#include <windows.h>
#include <winhttp.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <tuple>
#include <vector>

#include "storage/text_win.h"
#include "transfer/http.h"
#include "transfer/http_rules.h"
#include "transfer/rate_limit.h"

namespace {

using Clock = std::chrono::steady_clock;

// One piece read at a time; the sink gets at most this much per call.
constexpr DWORD kPieceSize = 64 * 1024;
// Windows' own limit on an answer's headers; Wine has none, so it is checked here too.
constexpr DWORD kLargestHead = 64 * 1024;

// Wine's WinHTTP (8.0) ends a chunked body that the connection's close cut
// short as if its last chunk had come; Windows reports an error. Under Wine
// a chunked body therefore proves nothing about its end by itself: its
// length is confirmed by asking for what lies past it (see ConfirmLength).
bool ChunkEndIsChecked() {
    static const bool underWine =
        GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
    return !underWine;
}

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

// What a WinHTTP thread reported for a request's outstanding operation.
struct Completion {
    std::uint64_t request = 0;  // which request handle (see RequestState)
    DWORD status = 0;           // WINHTTP_CALLBACK_STATUS_*
    DWORD bytes = 0;            // data available, or bytes read
    DWORD error = 0;            // for WINHTTP_CALLBACK_STATUS_REQUEST_ERROR
};

// The completions of every request, handed from WinHTTP's threads to the
// caller's, and the one event that wakes Wait. Shared with each request's
// state: a request's last notifications may come after the client is gone.
class CompletionQueue {
public:
    CompletionQueue() : event_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
        if (!event_) throw std::runtime_error("CreateEvent");
    }
    ~CompletionQueue() { CloseHandle(event_); }
    CompletionQueue(const CompletionQueue&) = delete;
    CompletionQueue& operator=(const CompletionQueue&) = delete;

    HANDLE event() const { return event_; }

    void Push(const Completion& completion) {
        std::lock_guard lock(mutex_);
        items_.push_back(completion);
        SetEvent(event_);
    }

    bool Take(Completion& completion) {
        std::lock_guard lock(mutex_);
        if (items_.empty()) {
            ResetEvent(event_);
            return false;
        }
        completion = items_.front();
        items_.pop_front();
        if (items_.empty()) ResetEvent(event_);
        return true;
    }

private:
    HANDLE event_;
    std::mutex mutex_;
    std::deque<Completion> items_;
};

// Lives as long as its request handle, which may be longer than the
// transfer: after an abandoned transfer WinHTTP can still complete a read
// into the buffer and report it. The last notification for the handle,
// HANDLE_CLOSING, deletes it. Completions carry the request's serial number,
// never a pointer to this, so a late one for a closed request is recognised
// and dropped.
class RequestState {
public:
    RequestState(std::shared_ptr<CompletionQueue> queue, std::uint64_t serial)
        : queue_(std::move(queue)), serial_(serial), buffer_(kPieceSize) {}
    RequestState(const RequestState&) = delete;
    RequestState& operator=(const RequestState&) = delete;

    char* buffer() { return buffer_.data(); }

    // Called on a WinHTTP thread, or inside a WinHTTP call on the caller's.
    void Report(DWORD status, DWORD bytes, DWORD error) { queue_->Push({serial_, status, bytes, error}); }

private:
    std::shared_ptr<CompletionQueue> queue_;
    std::uint64_t serial_;
    std::vector<char> buffer_;
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
            state->Report(status, 0, 0);
            return;
        case WINHTTP_CALLBACK_STATUS_DATA_AVAILABLE:
            state->Report(status, *static_cast<DWORD*>(info), 0);
            return;
        case WINHTTP_CALLBACK_STATUS_READ_COMPLETE:
            state->Report(status, infoLength, 0);
            return;
        case WINHTTP_CALLBACK_STATUS_REQUEST_ERROR:
            state->Report(status, 0, static_cast<DWORD>(static_cast<WINHTTP_ASYNC_RESULT*>(info)->dwError));
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
};

using ServerKey = std::tuple<std::wstring, INTERNET_PORT, bool>;

std::wstring Lower(std::wstring text) {
    for (wchar_t& c : text) {
        if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c - L'A' + L'a');
    }
    return text;
}

// The scheme of an absolute URL, lower case; empty for a relative one.
std::wstring SchemeOf(const std::wstring& url) {
    const auto colon = url.find(L':');
    if (colon == std::wstring::npos || colon == 0) return {};
    for (std::size_t i = 0; i < colon; ++i) {
        const wchar_t c = url[i];
        const bool letter = (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z');
        const bool other = (c >= L'0' && c <= L'9') || c == L'+' || c == L'-' || c == L'.';
        if (!letter && !(i > 0 && other)) return {};
    }
    return Lower(url.substr(0, colon));
}

std::optional<Target> Parse(const std::wstring& url) {
    const std::wstring scheme = SchemeOf(url);
    if (scheme != L"http" && scheme != L"https") return std::nullopt;
    URL_COMPONENTS parts{};
    parts.dwStructSize = sizeof parts;
    parts.dwHostNameLength = static_cast<DWORD>(-1);
    parts.dwUrlPathLength = static_cast<DWORD>(-1);
    parts.dwExtraInfoLength = static_cast<DWORD>(-1);
    parts.dwSchemeLength = static_cast<DWORD>(-1);
    if (!WinHttpCrackUrl(url.c_str(), static_cast<DWORD>(url.size()), 0, &parts)) return std::nullopt;
    Target target;
    target.host.assign(parts.lpszHostName, parts.dwHostNameLength);
    if (target.host.empty()) return std::nullopt;
    target.port = parts.nPort;
    target.secure = parts.nScheme == INTERNET_SCHEME_HTTPS;
    if (parts.lpszUrlPath) target.path.assign(parts.lpszUrlPath, parts.dwUrlPathLength);
    if (parts.lpszExtraInfo) target.path.append(parts.lpszExtraInfo, parts.dwExtraInfoLength);
    // The fragment names a place in the page; it is never sent.
    if (const auto hash = target.path.find(L'#'); hash != std::wstring::npos) target.path.resize(hash);
    if (target.path.empty()) target.path = L"/";
    return target;
}

// A Location header's URL made absolute against the URL it answered.
std::wstring Resolve(const std::wstring& base, std::wstring location) {
    if (const auto hash = location.find(L'#'); hash != std::wstring::npos) location.resize(hash);
    if (!SchemeOf(location).empty()) return location;
    const auto schemeEnd = base.find(L"://");
    if (schemeEnd == std::wstring::npos) return {};
    if (location.starts_with(L"//")) return base.substr(0, schemeEnd + 1) + location;
    const auto pathStart = base.find(L'/', schemeEnd + 3);
    const std::wstring origin = pathStart == std::wstring::npos ? base : base.substr(0, pathStart);
    if (location.starts_with(L"/")) return origin + location;
    std::wstring path = pathStart == std::wstring::npos ? L"/" : base.substr(pathStart);
    path.resize(std::min(path.find(L'?'), path.size()));
    path.resize(path.rfind(L'/') + 1);
    return origin + path + location;
}

TransferOutcome OutcomeOf(DWORD error) {
    switch (error) {
        case ERROR_WINHTTP_CANNOT_CONNECT:
        case ERROR_WINHTTP_NAME_NOT_RESOLVED:
        case ERROR_WINHTTP_INVALID_URL:
        case ERROR_WINHTTP_UNRECOGNIZED_SCHEME:
            return TransferOutcome::Unreachable;
        case ERROR_WINHTTP_TIMEOUT:
        // Wine reports a receive time-out with the socket's error instead.
        case WSAETIMEDOUT:
            return TransferOutcome::TimedOut;
        // Only when WinHTTP follows redirects itself, which it is told not
        // to: it means a loop or a change of scheme it would not take.
        case ERROR_WINHTTP_REDIRECT_FAILED:
            return TransferOutcome::TooManyRedirects;
        case ERROR_WINHTTP_INVALID_SERVER_RESPONSE:
        case ERROR_WINHTTP_HEADER_SIZE_OVERFLOW:
        case ERROR_WINHTTP_HEADER_COUNT_EXCEEDED:
        case ERROR_WINHTTP_CHUNKED_ENCODING_HEADER_SIZE_OVERFLOW:
            return TransferOutcome::BadResponse;
        case ERROR_WINHTTP_SECURE_FAILURE:
        case ERROR_WINHTTP_SECURE_CERT_DATE_INVALID:
        case ERROR_WINHTTP_SECURE_CERT_CN_INVALID:
        case ERROR_WINHTTP_SECURE_INVALID_CA:
        case ERROR_WINHTTP_SECURE_CERT_REV_FAILED:
        case ERROR_WINHTTP_SECURE_CHANNEL_ERROR:
        case ERROR_WINHTTP_SECURE_INVALID_CERT:
        case ERROR_WINHTTP_SECURE_CERT_REVOKED:
        case ERROR_WINHTTP_SECURE_CERT_WRONG_USAGE:
        case ERROR_WINHTTP_CLIENT_AUTH_CERT_NEEDED:
            return TransferOutcome::Certificate;
        default:
            return TransferOutcome::Interrupted;
    }
}

// A response header as text; nothing when the answer has none.
std::optional<std::wstring> Header(HINTERNET request, DWORD query) {
    DWORD size = 0;
    WinHttpQueryHeaders(request, query, WINHTTP_HEADER_NAME_BY_INDEX, WINHTTP_NO_OUTPUT_BUFFER, &size,
                        WINHTTP_NO_HEADER_INDEX);
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || size == 0) return std::nullopt;
    std::wstring value(size / sizeof(wchar_t) + 1, L'\0');
    size = static_cast<DWORD>(value.size() * sizeof(wchar_t));
    if (!WinHttpQueryHeaders(request, query, WINHTTP_HEADER_NAME_BY_INDEX, value.data(), &size,
                             WINHTTP_NO_HEADER_INDEX)) {
        return std::nullopt;
    }
    value.resize(size / sizeof(wchar_t));
    return value;
}

std::int64_t SecondsSince1601(const FILETIME& time) {
    const std::uint64_t ticks = (static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
    return static_cast<std::int64_t>(ticks / 10000000ULL);
}

// Seconds from now until an HTTP date, read by WinHTTP's own parser.
std::optional<std::int64_t> SecondsUntil(const std::string& text) {
    SYSTEMTIME when{};
    FILETIME whenFile{};
    const std::wstring date = Widen(text);
    if (!WinHttpTimeToSystemTime(date.c_str(), &when) || !SystemTimeToFileTime(&when, &whenFile))
        return std::nullopt;
    FILETIME now{};
    GetSystemTimeAsFileTime(&now);
    return SecondsSince1601(whenFile) - SecondsSince1601(now);
}

// The answer's head as the portable rules read it, from the raw headers
// exactly as they came (repeated headers included). Nothing when WinHTTP
// has none to give.
std::optional<HeadReader> ReadHead(HINTERNET request) {
    const std::optional<std::wstring> raw = Header(request, WINHTTP_QUERY_RAW_HEADERS_CRLF);
    if (!raw) return std::nullopt;
    HeadReader reader(&SecondsUntil);
    const std::string text = Narrow(*raw);
    for (std::size_t start = 0; start < text.size();) {
        const std::size_t end = std::min(text.find('\n', start), text.size());
        reader.Line(std::string_view(text).substr(start, end - start));
        start = end + 1;
    }
    return reader;
}

struct Transfer {
    std::wstring url;  // where the request goes now, after any redirect
    std::uint64_t from = 0;
    std::string ifRange;
    BodySink* sink = nullptr;
    HINTERNET request = nullptr;    // null while waiting for a connection
    RequestState* state = nullptr;  // owned by request
    std::uint64_t serial = 0;       // of the current request handle
    ResponseHead head;
    bool begun = false;
    std::uint64_t received = 0;
    int redirects = 0;
    Clock::time_point lastProgress;
    // Asking the server whether a chunked body that ended is whole: the
    // body's own head, kept while the question's answer comes.
    std::optional<ResponseHead> bodyHead;
    bool lengthConfirmed = false;
};

class WinHttpClient : public HttpClient {
public:
    explicit WinHttpClient(const HttpOptions& options)
        : timeout_(std::chrono::seconds(options.timeoutSeconds)),
          limit_(options.maxBytesPerSecond),
          maxConnections_(static_cast<std::size_t>(std::max(1, options.maxConnections))),
          queue_(std::make_shared<CompletionQueue>()) {
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
        const int ms = options.timeoutSeconds * 1000;
        WinHttpSetTimeouts(session_.get(), ms, ms, ms, ms);
        DWORD responseMs = static_cast<DWORD>(ms);
        WinHttpSetOption(session_.get(), WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &responseMs,
                         sizeof responseMs);
        // Never more requests at once than the caller's limit, so that none
        // waits inside WinHTTP for a connection while its time-out runs.
        DWORD connections = static_cast<DWORD>(maxConnections_);
        WinHttpSetOption(session_.get(), WINHTTP_OPTION_MAX_CONNS_PER_SERVER, &connections,
                         sizeof connections);
        WinHttpSetOption(session_.get(), WINHTTP_OPTION_MAX_CONNS_PER_1_0_SERVER, &connections,
                         sizeof connections);
        DWORD largestHead = kLargestHead;
        WinHttpSetOption(session_.get(), WINHTTP_OPTION_MAX_RESPONSE_HEADER_SIZE, &largestHead,
                         sizeof largestHead);
        // Over https, HTTP/2 lets the transfers share one connection as
        // streams. Windows before 10 (1607), and Wine, refuse the option and
        // keep HTTP/1.1 with several connections: nothing else changes.
        DWORD protocols = WINHTTP_PROTOCOL_FLAG_HTTP2;
        WinHttpSetOption(session_.get(), WINHTTP_OPTION_ENABLE_HTTP_PROTOCOL, &protocols, sizeof protocols);
    }

    ~WinHttpClient() override {
        // Each request's state goes with its HANDLE_CLOSING notification,
        // which may come later on a WinHTTP thread; the queue it reports to
        // stays alive as long as one of them holds it.
        for (auto& [id, transfer] : transfers_) CloseRequest(transfer);
        connections_.clear();
        session_.Close();
    }

    TransferId Start(const TransferRequest& request, BodySink& sink) override {
        const TransferId id = ++lastId_;
        Transfer& transfer = transfers_[id];
        transfer.url = Widen(request.url);
        transfer.from = request.from;
        transfer.ifRange = request.ifRange;
        transfer.sink = &sink;
        waiting_.push_back(id);
        LaunchWaiting();
        return id;
    }

    std::vector<std::pair<TransferId, TransferResult>> Wait(int timeoutMs) override {
        const auto started = Clock::now();
        const auto deadline = started + std::chrono::milliseconds(std::max(0, timeoutMs));
        // A fast server always has the next piece ready: hand back to the
        // caller at this pace so that the window gets its events.
        const auto handBack = std::min(deadline, started + std::chrono::milliseconds(20));
        LaunchWaiting();
        while (ended_.empty() && !transfers_.empty()) {
            ResumeThrottled();
            Completion completion;
            if (queue_->Take(completion)) {
                Advance(completion);
                LaunchWaiting();
                if (Clock::now() >= handBack) break;
                continue;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                std::min(deadline, ThrottledDue()) - Clock::now());
            if (left.count() <= 0) break;
            // Window messages end the wait too: a click or a repaint is
            // handled at once, however long the network keeps quiet.
            HANDLE event = queue_->event();
            const DWORD woke = MsgWaitForMultipleObjectsEx(1, &event, static_cast<DWORD>(left.count()),
                                                           QS_ALLINPUT, MWMO_INPUTAVAILABLE);
            // A wait cut short for a throttled transfer goes on.
            if (woke != WAIT_OBJECT_0 && (woke != WAIT_TIMEOUT || Clock::now() >= deadline)) break;
        }
        // WinHTTP's own time-outs do not cover every wait: Wine never times
        // out a server that accepts the request and does not answer.
        const auto now = Clock::now();
        std::vector<TransferId> silent;
        for (const auto& [id, transfer] : transfers_) {
            if (transfer.request && now - transfer.lastProgress >= timeout_) silent.push_back(id);
        }
        for (const TransferId id : silent) Finish(id, TransferOutcome::TimedOut);
        LaunchWaiting();
        std::vector<std::pair<TransferId, TransferResult>> ended;
        ended.swap(ended_);
        return ended;
    }

    void Cancel(TransferId id) override {
        const auto found = transfers_.find(id);
        if (found == transfers_.end()) return;
        CloseRequest(found->second);
        transfers_.erase(found);
        waiting_.erase(std::remove(waiting_.begin(), waiting_.end(), id), waiting_.end());
        LaunchWaiting();
    }

    std::size_t Running() const override { return transfers_.size(); }

private:
    std::size_t Active() const { return transfers_.size() - waiting_.size(); }

    void LaunchWaiting() {
        while (!waiting_.empty() && Active() < maxConnections_) {
            const TransferId id = waiting_.front();
            waiting_.pop_front();
            Launch(id);
        }
    }

    HINTERNET ConnectionTo(const Target& target) {
        // Connection handles are kept for the next transfers to the same
        // server; WinHTTP then reuses the open sockets (keep-alive).
        InetHandle& connection = connections_[ServerKey{Lower(target.host), target.port, target.secure}];
        if (!connection) connection = WinHttpConnect(session_.get(), target.host.c_str(), target.port, 0);
        return connection.get();
    }

    // Opens and sends the request of a transfer (again after a redirect).
    void Launch(TransferId id) {
        Transfer& transfer = transfers_.at(id);
        transfer.head = {};
        transfer.lastProgress = Clock::now();
        const std::optional<Target> target = Parse(transfer.url);
        if (!target)
            return Finish(
                id, transfer.redirects > 0 ? TransferOutcome::BadRedirect : TransferOutcome::Unreachable);
        HINTERNET connection = ConnectionTo(*target);
        if (!connection) return Finish(id, OutcomeOf(GetLastError()));
        // The path is sent as built: the caller has escaped what needs it
        // and the repository's "files\" prefix must stay a literal backslash.
        const DWORD flags = WINHTTP_FLAG_ESCAPE_DISABLE | (target->secure ? WINHTTP_FLAG_SECURE : 0);
        HINTERNET request = WinHttpOpenRequest(connection, L"GET", target->path.c_str(), nullptr,
                                               WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES, flags);
        if (!request) return Finish(id, OutcomeOf(GetLastError()));
        const std::uint64_t serial = ++lastSerial_;
        auto state = std::make_unique<RequestState>(queue_, serial);
        DWORD_PTR context = reinterpret_cast<DWORD_PTR>(state.get());
        if (!WinHttpSetOption(request, WINHTTP_OPTION_CONTEXT_VALUE, &context, sizeof context)) {
            WinHttpCloseHandle(request);
            return Finish(id, TransferOutcome::Interrupted);
        }
        // From here on the handle owns the state (see RequestState).
        transfer.request = request;
        transfer.state = state.release();
        transfer.serial = serial;
        requests_[serial] = id;
        DWORD features = WINHTTP_DISABLE_REDIRECTS | WINHTTP_DISABLE_COOKIES;
        WinHttpSetOption(request, WINHTTP_OPTION_DISABLE_FEATURE, &features, sizeof features);
        std::wstring headers;
        if (transfer.from > 0) {
            headers = L"Range: bytes=" + std::to_wstring(transfer.from) + L"-\r\n";
            // A file changed since the first answer comes back whole (200).
            if (!transfer.ifRange.empty()) headers += L"If-Range: " + Widen(transfer.ifRange) + L"\r\n";
        }
        if (!WinHttpSendRequest(request, headers.empty() ? WINHTTP_NO_ADDITIONAL_HEADERS : headers.c_str(),
                                static_cast<DWORD>(headers.size()), WINHTTP_NO_REQUEST_DATA, 0, 0, context)) {
            Finish(id, OutcomeOf(GetLastError()));
        }
    }

    void Advance(const Completion& completion) {
        const auto owner = requests_.find(completion.request);
        if (owner == requests_.end()) return;  // a request closed since
        const TransferId id = owner->second;
        Transfer& transfer = transfers_.at(id);
        transfer.lastProgress = Clock::now();
        switch (completion.status) {
            case WINHTTP_CALLBACK_STATUS_SENDREQUEST_COMPLETE:
                if (!WinHttpReceiveResponse(transfer.request, nullptr)) Finish(id, OutcomeOf(GetLastError()));
                return;
            case WINHTTP_CALLBACK_STATUS_HEADERS_AVAILABLE:
                OnHeaders(id, transfer);
                return;
            case WINHTTP_CALLBACK_STATUS_DATA_AVAILABLE:
                if (completion.bytes == 0) return EndOfBody(id, transfer);
                if (!WinHttpReadData(
                        transfer.request, transfer.state->buffer(),
                        std::min<DWORD>(completion.bytes, static_cast<DWORD>(limit_.PieceSize(kPieceSize))),
                        nullptr)) {
                    Finish(id, OutcomeOf(GetLastError()));
                }
                return;
            case WINHTTP_CALLBACK_STATUS_READ_COMPLETE:
                if (completion.bytes == 0) return EndOfBody(id, transfer);
                if (!BeginBody(transfer) ||
                    !transfer.sink->Write(transfer.state->buffer(), completion.bytes)) {
                    return Finish(id, TransferOutcome::SinkRefused);
                }
                transfer.received += completion.bytes;
                limit_.Received(completion.bytes, Clock::now());
                if (!limit_.MayReceive(Clock::now())) {
                    throttled_.push_back(id);
                    return;
                }
                AskForData(id, transfer);
                return;
            case WINHTTP_CALLBACK_STATUS_REQUEST_ERROR:
                Finish(id, OutcomeOf(completion.error));
                return;
            default:
                return;
        }
    }

    void OnHeaders(TransferId id, Transfer& transfer) {
        DWORD status = 0;
        DWORD size = sizeof status;
        if (!WinHttpQueryHeaders(transfer.request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                                 WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX)) {
            return Finish(id, TransferOutcome::BadResponse);
        }
        DWORD headSize = 0;
        WinHttpQueryHeaders(transfer.request, WINHTTP_QUERY_RAW_HEADERS_CRLF, WINHTTP_HEADER_NAME_BY_INDEX,
                            WINHTTP_NO_OUTPUT_BUFFER, &headSize, WINHTTP_NO_HEADER_INDEX);
        if (headSize / sizeof(wchar_t) > kLargestHead) return Finish(id, TransferOutcome::BadResponse);
        const std::optional<HeadReader> head = ReadHead(transfer.request);
        if (!head || !head->Consistent()) return Finish(id, TransferOutcome::BadResponse);
        transfer.head = head->Head();
        transfer.head.status = static_cast<long>(status);
        if (transfer.bodyHead) return JudgeConfirmation(id, transfer);
        if (IsRedirect(status)) {
            if (const auto location = Header(transfer.request, WINHTTP_QUERY_LOCATION)) {
                return Redirect(id, transfer, *location);
            }
        }
        // An error page must never end up in a game file: its body is not read.
        if (status >= 400) return Finish(id, TransferOutcome::HttpError);
        AskForData(id, transfer);
    }

    void Redirect(TransferId id, Transfer& transfer, const std::wstring& location) {
        if (++transfer.redirects > kMostRedirects) return Finish(id, TransferOutcome::TooManyRedirects);
        const std::wstring next = Resolve(transfer.url, location);
        if (!MayRedirect(Narrow(SchemeOf(transfer.url)), Narrow(SchemeOf(next)))) {
            return Finish(id, TransferOutcome::BadRedirect);
        }
        CloseRequest(transfer);
        transfer.url = next;
        Launch(id);
    }

    // The sink learns the head once, before the first byte or, for an empty
    // body, at its end.
    bool BeginBody(Transfer& transfer) {
        if (transfer.begun) return true;
        transfer.begun = true;
        return transfer.sink->Begin(transfer.head);
    }

    // The transfers the cap holds back ask for more in the order they were
    // held; a held transfer is not silent, it waits its turn.
    void ResumeThrottled() {
        while (!throttled_.empty() && limit_.MayReceive(Clock::now())) {
            const TransferId id = throttled_.front();
            throttled_.pop_front();
            const auto found = transfers_.find(id);
            if (found == transfers_.end() || !found->second.request) continue;
            found->second.lastProgress = Clock::now();
            AskForData(id, found->second);
        }
    }

    Clock::time_point ThrottledDue() {
        if (throttled_.empty()) return Clock::time_point::max();
        const auto now = Clock::now();
        return now + std::max(limit_.UntilAllowed(now), Clock::duration(std::chrono::milliseconds(1)));
    }

    void AskForData(TransferId id, Transfer& transfer) {
        if (!WinHttpQueryDataAvailable(transfer.request, nullptr)) Finish(id, OutcomeOf(GetLastError()));
    }

    void EndOfBody(TransferId id, Transfer& transfer) {
        // A connection that closes before the declared length is a cut body.
        if (transfer.head.length >= 0 &&
            transfer.received != static_cast<std::uint64_t>(transfer.head.length) &&
            !HasNoBody(transfer.head.status)) {
            return Finish(id, TransferOutcome::Interrupted);
        }
        if (!BeginBody(transfer)) return Finish(id, TransferOutcome::SinkRefused);
        if (transfer.head.chunked && !ChunkEndIsChecked() && transfer.head.status / 100 == 2) {
            return ConfirmLength(id, transfer);
        }
        Finish(id, TransferOutcome::Complete);
    }

    // Asks for the bytes past the end of the body, on the condition that the
    // file is the one it came from. A server that has none answers 416 with
    // the file's total: the body was whole. One that sends more shows that
    // it was cut. Any other answer leaves the end unproven.
    void ConfirmLength(TransferId id, Transfer& transfer) {
        transfer.bodyHead = transfer.head;
        transfer.from += transfer.received;
        transfer.ifRange = transfer.head.validator;
        CloseRequest(transfer);
        Launch(id);
    }

    void JudgeConfirmation(TransferId id, Transfer& transfer) {
        const ResponseHead answer = transfer.head;
        transfer.head = *transfer.bodyHead;
        if (answer.status == 206) return Finish(id, TransferOutcome::Interrupted);
        transfer.lengthConfirmed = answer.status == 416 && answer.rangeTotal >= 0 &&
                                   static_cast<std::uint64_t>(answer.rangeTotal) == transfer.from;
        Finish(id, TransferOutcome::Complete);
    }

    void Finish(TransferId id, TransferOutcome outcome) {
        Transfer& transfer = transfers_.at(id);
        TransferResult result;
        result.outcome = outcome;
        result.head = transfer.head;
        // WinHTTP ends a chunked body cut short with an error, never as a
        // clean end (but see ChunkEndIsChecked).
        result.bodyComplete = outcome == TransferOutcome::Complete &&
                              (IsFramed(result.head, ChunkEndIsChecked(), false) || transfer.lengthConfirmed);
        // Closing the request handle after a complete body returns its
        // connection to the session's pool for the next transfer.
        CloseRequest(transfer);
        transfers_.erase(id);
        waiting_.erase(std::remove(waiting_.begin(), waiting_.end(), id), waiting_.end());
        ended_.emplace_back(id, result);
    }

    void CloseRequest(Transfer& transfer) {
        if (!transfer.request) return;
        // Closing the handle abandons whatever WinHTTP is doing with it; its
        // state goes away with the HANDLE_CLOSING notification.
        requests_.erase(transfer.serial);
        WinHttpCloseHandle(transfer.request);
        transfer.request = nullptr;
        transfer.state = nullptr;
    }

    Clock::duration timeout_;
    RateLimit limit_;
    std::deque<TransferId> throttled_;  // held back by the cap, in the order held
    std::size_t maxConnections_;
    std::shared_ptr<CompletionQueue> queue_;
    InetHandle session_;
    std::map<ServerKey, InetHandle> connections_;
    TransferId lastId_ = 0;
    std::uint64_t lastSerial_ = 0;
    // std::map keeps each Transfer where it is while others come and go.
    std::map<TransferId, Transfer> transfers_;
    std::deque<TransferId> waiting_;                // started, waiting for a connection, in order
    std::map<std::uint64_t, TransferId> requests_;  // open request handles
    std::vector<std::pair<TransferId, TransferResult>> ended_;
};

}  // namespace

std::unique_ptr<HttpClient> MakeHttpClient(const HttpOptions& options) {
    // Certificates are checked against the system's store; a private
    // authority goes into that store (options.caFile serves Linux only).
    return std::make_unique<WinHttpClient>(options);
}
