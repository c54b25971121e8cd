// HttpClient on libcurl's multi interface: one multi handle drives every
// transfer, and curl_multi_poll sleeps on all their sockets for the caller's
// slice, so a stalled server costs no CPU. Connections stay in the multi
// handle's cache from one transfer to the next.
#include <arpa/inet.h>
#include <curl/curl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstring>
#include <ctime>
#include <map>
#include <optional>
#include <stdexcept>

#include "transfer/http.h"
#include "transfer/http_rules.h"
#include "transfer/rate_limit.h"

namespace {

// Seconds from now until an HTTP date, read by curl's own parser.
std::optional<std::int64_t> SecondsUntil(const std::string& date) {
    const time_t when = curl_getdate(date.c_str(), nullptr);
    if (when < 0) return std::nullopt;
    return static_cast<std::int64_t>(when) - static_cast<std::int64_t>(time(nullptr));
}

// The scheme of a URL, lower case.
std::string SchemeOf(const char* url) {
    const std::string_view text = url ? url : "";
    std::string scheme(text.substr(0, std::min(text.find("://"), text.size())));
    std::transform(scheme.begin(), scheme.end(), scheme.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return scheme;
}

struct Transfer {
    CURL* easy = nullptr;
    BodySink* sink = nullptr;
    RateLimit* limit = nullptr;
    bool paused = false;  // waiting for the cap to let it take more
    HeadReader reader{&SecondsUntil};
    std::string scheme;  // of the URL the last answer came from
    bool begun = false;
    bool sinkRefused = false;
    bool badResponse = false;  // its head contradicts itself
    bool badRedirect = false;  // a redirect the rules refuse (https to http)
};

class CurlHttpClient : public HttpClient {
public:
    explicit CurlHttpClient(const HttpOptions& options)
        : options_(options), limit_(options.maxBytesPerSecond) {
        static const CURLcode init = curl_global_init(CURL_GLOBAL_DEFAULT);
        if (init != CURLE_OK) throw std::runtime_error("curl_global_init");
        multi_ = curl_multi_init();
        if (!multi_) throw std::runtime_error("curl_multi_init");
        const long connections = std::max(1, options_.maxConnections);
        curl_multi_setopt(multi_, CURLMOPT_MAX_HOST_CONNECTIONS, connections);
        curl_multi_setopt(multi_, CURLMOPT_MAX_TOTAL_CONNECTIONS, connections);
        curl_multi_setopt(multi_, CURLMOPT_MAXCONNECTS, connections);
        curl_multi_setopt(multi_, CURLMOPT_PIPELINING, CURLPIPE_MULTIPLEX);
    }

    ~CurlHttpClient() override {
        for (auto& [id, transfer] : running_) Remove(transfer);
        for (const OpenedSocket& opened : opened_) ::close(opened.fd);
        for (CURL* easy : spare_) curl_easy_cleanup(easy);
        curl_multi_cleanup(multi_);
    }

    TransferId Start(const TransferRequest& request, BodySink& sink) override {
        const TransferId id = ++lastId_;
        Transfer& transfer = running_[id];
        transfer.sink = &sink;
        transfer.limit = &limit_;
        transfer.easy = TakeHandle();
        Configure(transfer, request);
        if (curl_multi_add_handle(multi_, transfer.easy) != CURLM_OK) {
            Remove(transfer);
            running_.erase(id);
            throw std::runtime_error("curl_multi_add_handle");
        }
        return id;
    }

    std::vector<std::pair<TransferId, TransferResult>> Wait(int timeoutMs) override {
        std::vector<std::pair<TransferId, TransferResult>> ended;
        if (running_.empty()) return ended;
        int stillRunning = 0;
        ResumePaused();
        curl_multi_perform(multi_, &stillRunning);
        if (!Collect(ended)) {
            curl_waitfd wake{options_.wakeDescriptor, CURL_WAIT_POLLIN, 0};
            const unsigned int extra = options_.wakeDescriptor >= 0 ? 1 : 0;
            curl_multi_poll(multi_, extra ? &wake : nullptr, extra, SliceFor(timeoutMs), nullptr);
            ResumePaused();
            curl_multi_perform(multi_, &stillRunning);
            Collect(ended);
        }
        return ended;
    }

    void Cancel(TransferId id) override {
        const auto found = running_.find(id);
        if (found == running_.end()) return;
        Remove(found->second);
        running_.erase(found);
    }

    std::size_t Running() const override { return running_.size(); }

    // Opens connections to the server of the last transfer for the ones to
    // come: plain TCP connects, handed to curl as already connected when it
    // opens a connection to that address. Over HTTP/2 the transfers share
    // the one connection already open.
    void Prepare(int connections) override {
        if (lastVersion_ >= CURL_HTTP_VERSION_2_0 || lastAddress_.empty()) return;
        const int wanted = std::clamp(connections, 0, std::max(1, options_.maxConnections) - 1);
        sockaddr_storage address{};
        socklen_t length = 0;
        auto* v4 = reinterpret_cast<sockaddr_in*>(&address);
        auto* v6 = reinterpret_cast<sockaddr_in6*>(&address);
        if (inet_pton(AF_INET, lastAddress_.c_str(), &v4->sin_addr) == 1) {
            v4->sin_family = AF_INET;
            v4->sin_port = htons(static_cast<std::uint16_t>(lastPort_));
            length = sizeof(sockaddr_in);
        } else if (inet_pton(AF_INET6, lastAddress_.c_str(), &v6->sin6_addr) == 1) {
            v6->sin6_family = AF_INET6;
            v6->sin6_port = htons(static_cast<std::uint16_t>(lastPort_));
            length = sizeof(sockaddr_in6);
        } else {
            return;
        }
        while (static_cast<int>(opened_.size()) < wanted) {
            const int fd =
                ::socket(address.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP);
            if (fd < 0) return;
            if (::connect(fd, reinterpret_cast<sockaddr*>(&address), length) != 0 && errno != EINPROGRESS) {
                ::close(fd);
                return;
            }
            opened_.push_back({fd, address, length});
        }
    }

private:
    // Transfers the cap paused take their turns, one after the other from
    // where the last round stopped, so that none waits behind the others.
    void ResumePaused() {
        if (!limit_.Capped() || running_.empty()) return;
        auto start = running_.upper_bound(lastResumed_);
        for (std::size_t k = 0; k < running_.size(); ++k, ++start) {
            if (start == running_.end()) start = running_.begin();
            Transfer& transfer = start->second;
            if (!transfer.paused) continue;
            if (!limit_.MayReceive(std::chrono::steady_clock::now())) return;
            transfer.paused = false;
            lastResumed_ = start->first;
            // curl may hand the kept data to OnBody from inside this call.
            curl_easy_pause(transfer.easy, CURLPAUSE_CONT);
        }
    }

    // A paused transfer is due once the cap lets it: the wait ends then.
    int SliceFor(int timeoutMs) {
        const bool anyPaused = std::any_of(running_.begin(), running_.end(),
                                           [](const auto& entry) { return entry.second.paused; });
        if (!anyPaused) return timeoutMs;
        const auto until = limit_.UntilAllowed(std::chrono::steady_clock::now());
        const auto ms = std::chrono::ceil<std::chrono::milliseconds>(until).count();
        return static_cast<int>(std::clamp<long long>(ms, 1, timeoutMs));
    }

    struct OpenedSocket {
        int fd;
        sockaddr_storage address;
        socklen_t length;
    };

    // A socket for a connection curl is about to make: one opened ahead to
    // that address if its connect has completed, else a new one. Those still
    // connecting stay for a later connection; those that failed go.
    static curl_socket_t OnOpenSocket(void* user, curlsocktype purpose, curl_sockaddr* address) {
        auto* self = static_cast<CurlHttpClient*>(user);
        for (auto it = self->opened_.begin(); purpose == CURLSOCKTYPE_IPCXN && it != self->opened_.end();) {
            if (it->length != address->addrlen ||
                std::memcmp(&it->address, &address->addr, it->length) != 0) {
                ++it;
                continue;
            }
            const int fd = it->fd;
            const Readiness readiness = StateOf(fd);
            if (readiness == Readiness::Connecting) {
                ++it;
                continue;
            }
            it = self->opened_.erase(it);
            if (readiness == Readiness::Ready) {
                self->connected_.push_back(fd);
                return fd;
            }
            ::close(fd);
        }
        return ::socket(address->family, address->socktype | SOCK_CLOEXEC, address->protocol);
    }

    static int OnSocketOptions(void* user, curl_socket_t fd, curlsocktype) {
        auto* self = static_cast<CurlHttpClient*>(user);
        const auto found = std::find(self->connected_.begin(), self->connected_.end(), fd);
        if (found == self->connected_.end()) return CURL_SOCKOPT_OK;
        self->connected_.erase(found);
        return CURL_SOCKOPT_ALREADY_CONNECTED;
    }

    enum class Readiness { Connecting, Ready, Failed };

    // Ready: connected, and the server has neither sent anything nor closed
    // it (a server closes connections that stay idle too long).
    static Readiness StateOf(int fd) {
        pollfd state{fd, static_cast<short>(POLLOUT | POLLIN | POLLRDHUP), 0};
        if (::poll(&state, 1, 0) < 0) return Readiness::Failed;
        if (state.revents == 0) return Readiness::Connecting;
        int error = 0;
        socklen_t size = sizeof error;
        const bool fine = state.revents == POLLOUT &&
                          ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) == 0 && error == 0;
        return fine ? Readiness::Ready : Readiness::Failed;
    }

    CURL* TakeHandle() {
        if (spare_.empty()) {
            CURL* easy = curl_easy_init();
            if (!easy) throw std::runtime_error("curl_easy_init");
            return easy;
        }
        CURL* easy = spare_.back();
        spare_.pop_back();
        curl_easy_reset(easy);
        return easy;
    }

    void Configure(Transfer& transfer, const TransferRequest& request) {
        CURL* easy = transfer.easy;
        curl_easy_setopt(easy, CURLOPT_URL, request.url.c_str());
        curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &CurlHttpClient::OnBody);
        curl_easy_setopt(easy, CURLOPT_WRITEDATA, &transfer);
        curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &CurlHttpClient::OnHeader);
        curl_easy_setopt(easy, CURLOPT_HEADERDATA, &transfer);
        curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 1L);
        curl_easy_setopt(easy, CURLOPT_MAXREDIRS, static_cast<long>(kMostRedirects));
        // An error page must never end up in a game file.
        curl_easy_setopt(easy, CURLOPT_FAILONERROR, 1L);
        curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT, static_cast<long>(options_.timeoutSeconds));
        // "No data for the time-out": under one byte a second for that long.
        curl_easy_setopt(easy, CURLOPT_LOW_SPEED_LIMIT, 1L);
        curl_easy_setopt(easy, CURLOPT_LOW_SPEED_TIME, static_cast<long>(options_.timeoutSeconds));
        curl_easy_setopt(easy, CURLOPT_BUFFERSIZE, static_cast<long>(limit_.PieceSize(kLargestPiece)));
        curl_easy_setopt(easy, CURLOPT_USERAGENT, "kestralon-updater");
        curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
        curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
        // Certificates are always checked; a private deployment may name its
        // own authorities at build time.
        curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 1L);
        curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 2L);
        if (!options_.caFile.empty()) curl_easy_setopt(easy, CURLOPT_CAINFO, options_.caFile.c_str());
        // Over https, transfers to one server share one HTTP/2 connection as
        // streams; waiting for it beats opening a connection per transfer.
        // Plain http never multiplexes: a transfer that waited would only
        // queue behind the one using the connection.
        curl_easy_setopt(easy, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_2TLS));
        curl_easy_setopt(easy, CURLOPT_PIPEWAIT, request.url.starts_with("https:") ? 1L : 0L);
        curl_easy_setopt(easy, CURLOPT_OPENSOCKETFUNCTION, &CurlHttpClient::OnOpenSocket);
        curl_easy_setopt(easy, CURLOPT_OPENSOCKETDATA, this);
        curl_easy_setopt(easy, CURLOPT_SOCKOPTFUNCTION, &CurlHttpClient::OnSocketOptions);
        curl_easy_setopt(easy, CURLOPT_SOCKOPTDATA, this);
        if (request.from > 0) {
            const std::string range = std::to_string(request.from) + "-";
            curl_easy_setopt(easy, CURLOPT_RANGE, range.c_str());
            // If-Range: a file changed since the first answer comes back whole (200).
            headers_[&transfer] = curl_slist_append(nullptr, ("If-Range: " + request.ifRange).c_str());
            curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headers_[&transfer]);
        }
    }

    void Remove(Transfer& transfer) {
        curl_multi_remove_handle(multi_, transfer.easy);
        const auto headers = headers_.find(&transfer);
        if (headers != headers_.end()) {
            curl_easy_setopt(transfer.easy, CURLOPT_HTTPHEADER, nullptr);
            curl_slist_free_all(headers->second);
            headers_.erase(headers);
        }
        spare_.push_back(transfer.easy);
        transfer.easy = nullptr;
    }

    // Moves the transfers curl reports as done into `ended`; true when any did.
    bool Collect(std::vector<std::pair<TransferId, TransferResult>>& ended) {
        bool any = false;
        int queued = 0;
        while (CURLMsg* message = curl_multi_info_read(multi_, &queued)) {
            if (message->msg != CURLMSG_DONE) continue;
            const auto found = std::find_if(running_.begin(), running_.end(), [&](const auto& entry) {
                return entry.second.easy == message->easy_handle;
            });
            if (found == running_.end()) continue;
            ended.emplace_back(found->first, Finish(found->second, message->data.result));
            curl_easy_getinfo(message->easy_handle, CURLINFO_HTTP_VERSION, &lastVersion_);
            char* address = nullptr;
            if (curl_easy_getinfo(message->easy_handle, CURLINFO_PRIMARY_IP, &address) == CURLE_OK &&
                address && *address) {
                lastAddress_ = address;
                curl_easy_getinfo(message->easy_handle, CURLINFO_PRIMARY_PORT, &lastPort_);
            }
            Remove(found->second);
            running_.erase(found);
            any = true;
        }
        return any;
    }

    static TransferResult Finish(Transfer& transfer, CURLcode code) {
        TransferResult result;
        result.head = transfer.reader.Head();
        curl_easy_getinfo(transfer.easy, CURLINFO_RESPONSE_CODE, &result.head.status);
        // An answer without a body still tells its sink what came.
        if (code == CURLE_OK && !transfer.begun && !transfer.sink->Begin(result.head)) {
            transfer.sinkRefused = true;
            code = CURLE_WRITE_ERROR;
        }
        result.outcome = Outcome(code, transfer);
        long version = 0;
        curl_easy_getinfo(transfer.easy, CURLINFO_HTTP_VERSION, &version);
        // curl itself fails a body cut short of its Content-Length or of its
        // final chunk. HTTP/2 streams mark their end.
        const bool framed = IsFramed(result.head, true, version >= CURL_HTTP_VERSION_2_0);
        result.bodyComplete = result.outcome == TransferOutcome::Complete && framed;
        return result;
    }

    static TransferOutcome Outcome(CURLcode code, const Transfer& transfer) {
        if (transfer.badResponse) return TransferOutcome::BadResponse;
        if (transfer.badRedirect) return TransferOutcome::BadRedirect;
        // An answer without a status line (HTTP/0.9) is no HTTP answer at
        // all; a redirect to a scheme curl may not follow ends the same way.
        if (code == CURLE_UNSUPPORTED_PROTOCOL && !transfer.reader.HasStatus())
            return TransferOutcome::BadResponse;
        switch (code) {
            case CURLE_OK:
                return TransferOutcome::Complete;
            case CURLE_HTTP_RETURNED_ERROR:
                return TransferOutcome::HttpError;
            case CURLE_COULDNT_RESOLVE_HOST:
            case CURLE_COULDNT_RESOLVE_PROXY:
            case CURLE_COULDNT_CONNECT:
                return TransferOutcome::Unreachable;
            case CURLE_OPERATION_TIMEDOUT:
                return TransferOutcome::TimedOut;
            case CURLE_WRITE_ERROR:
                return transfer.sinkRefused ? TransferOutcome::SinkRefused : TransferOutcome::Interrupted;
            case CURLE_TOO_MANY_REDIRECTS:
                return TransferOutcome::TooManyRedirects;
            case CURLE_UNSUPPORTED_PROTOCOL:
                return TransferOutcome::BadRedirect;
            case CURLE_WEIRD_SERVER_REPLY:
            case CURLE_BAD_CONTENT_ENCODING:
            // How curl 7 reports headers beyond its 100 KB limit.
            case CURLE_OUT_OF_MEMORY:
            case CURLE_FILESIZE_EXCEEDED:
                return TransferOutcome::BadResponse;
            case CURLE_PEER_FAILED_VERIFICATION:
            case CURLE_SSL_CERTPROBLEM:
            case CURLE_SSL_CACERT_BADFILE:
            case CURLE_SSL_CONNECT_ERROR:
            case CURLE_SSL_ISSUER_ERROR:
                return TransferOutcome::Certificate;
            default:
                return TransferOutcome::Interrupted;
        }
    }

    static std::size_t OnHeader(char* data, std::size_t size, std::size_t count, void* user) {
        auto* transfer = static_cast<Transfer*>(user);
        const std::size_t bytes = size * count;
        const std::string_view line(data, bytes);
        // Each answer of a redirect chain starts with its status line: the
        // hop that brought it must be one the rules allow.
        if (line.starts_with("HTTP/")) {
            char* url = nullptr;
            curl_easy_getinfo(transfer->easy, CURLINFO_EFFECTIVE_URL, &url);
            const std::string scheme = SchemeOf(url);
            if (!transfer->scheme.empty() && !MayRedirect(transfer->scheme, scheme)) {
                transfer->badRedirect = true;
                return 0;
            }
            transfer->scheme = scheme;
        }
        transfer->reader.Line(line);
        if (!transfer->reader.Consistent()) {
            transfer->badResponse = true;
            return 0;
        }
        // The end of a redirect's head: a hop the rules refuse is not taken.
        const HeadReader& reader = transfer->reader;
        if ((line == "\r\n" || line == "\n") && IsRedirect(reader.Head().status) &&
            !reader.Location().empty() && !MayFollow(transfer->scheme, reader.Location())) {
            transfer->badRedirect = true;
            return 0;
        }
        return bytes;
    }

    static std::size_t OnBody(char* data, std::size_t size, std::size_t count, void* user) {
        auto* transfer = static_cast<Transfer*>(user);
        const std::size_t bytes = size * count;
        if (!transfer->begun) {
            transfer->begun = true;
            ResponseHead head = transfer->reader.Head();
            curl_easy_getinfo(transfer->easy, CURLINFO_RESPONSE_CODE, &head.status);
            if (!transfer->sink->Begin(head)) {
                transfer->sinkRefused = true;
                return CURL_WRITEFUNC_ERROR;
            }
        }
        const auto now = std::chrono::steady_clock::now();
        if (!transfer->limit->MayReceive(now)) {
            transfer->paused = true;
            return CURL_WRITEFUNC_PAUSE;
        }
        if (!transfer->sink->Write(data, bytes)) {
            transfer->sinkRefused = true;
            return CURL_WRITEFUNC_ERROR;
        }
        transfer->limit->Received(bytes, now);
        return bytes;
    }

    static constexpr std::size_t kLargestPiece = 256 * 1024;

    HttpOptions options_;
    RateLimit limit_;
    TransferId lastResumed_ = 0;
    CURLM* multi_ = nullptr;
    TransferId lastId_ = 0;
    // std::map keeps each Transfer where it is while others come and go:
    // curl holds pointers to them.
    std::map<TransferId, Transfer> running_;
    std::map<Transfer*, curl_slist*> headers_;
    std::vector<CURL*> spare_;
    std::vector<OpenedSocket> opened_;  // connects started ahead, not handed to curl yet
    std::vector<int> connected_;        // handed to curl, which must not connect them again
    // Of the last transfer that ended: its HTTP version and where it went.
    long lastVersion_ = 0;
    std::string lastAddress_;
    long lastPort_ = 0;
};

}  // namespace

std::unique_ptr<HttpClient> MakeHttpClient(const HttpOptions& options) {
    return std::make_unique<CurlHttpClient>(options);
}
