// HttpClient on libcurl's multi interface: curl_multi_poll sleeps on the
// sockets for the caller's slice, so a stalled server costs no CPU.
#include <curl/curl.h>

#include <stdexcept>

#include "transfer/http.h"

namespace {

class CurlHttpClient : public HttpClient {
public:
    explicit CurlHttpClient(int timeoutSeconds) : timeoutSeconds_(timeoutSeconds) {
        static const CURLcode init = curl_global_init(CURL_GLOBAL_DEFAULT);
        if (init != CURLE_OK) throw std::runtime_error("curl_global_init");
        multi_ = curl_multi_init();
        easy_ = curl_easy_init();
        if (!multi_ || !easy_) throw std::runtime_error("curl init");
    }

    ~CurlHttpClient() override {
        Cancel();
        curl_easy_cleanup(easy_);
        curl_multi_cleanup(multi_);
    }

    void Start(const std::string& url, BodySink& sink) override {
        Cancel();
        sink_ = &sink;
        result_ = {};
        curl_easy_reset(easy_);
        curl_easy_setopt(easy_, CURLOPT_URL, url.c_str());
        curl_easy_setopt(easy_, CURLOPT_WRITEFUNCTION, &CurlHttpClient::OnBody);
        curl_easy_setopt(easy_, CURLOPT_WRITEDATA, this);
        curl_easy_setopt(easy_, CURLOPT_FOLLOWLOCATION, 1L);
        curl_easy_setopt(easy_, CURLOPT_MAXREDIRS, 10L);
        // An error page must never end up in a game file.
        curl_easy_setopt(easy_, CURLOPT_FAILONERROR, 1L);
        curl_easy_setopt(easy_, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(easy_, CURLOPT_CONNECTTIMEOUT, static_cast<long>(timeoutSeconds_));
        // "No data for the time-out": under one byte a second for that long.
        curl_easy_setopt(easy_, CURLOPT_LOW_SPEED_LIMIT, 1L);
        curl_easy_setopt(easy_, CURLOPT_LOW_SPEED_TIME, static_cast<long>(timeoutSeconds_));
        curl_easy_setopt(easy_, CURLOPT_BUFFERSIZE, 256L * 1024L);
        curl_easy_setopt(easy_, CURLOPT_USERAGENT, "kestralon-updater");
        curl_easy_setopt(easy_, CURLOPT_PROTOCOLS_STR, "http,https");
        curl_easy_setopt(easy_, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
        if (curl_multi_add_handle(multi_, easy_) != CURLM_OK) {
            throw std::runtime_error("curl_multi_add_handle");
        }
        running_ = true;
    }

    bool Wait(int timeoutMs) override {
        if (!running_) return true;
        int stillRunning = 0;
        curl_multi_perform(multi_, &stillRunning);
        if (stillRunning) {
            curl_multi_poll(multi_, nullptr, 0, timeoutMs, nullptr);
            curl_multi_perform(multi_, &stillRunning);
        }
        int queued = 0;
        while (CURLMsg* message = curl_multi_info_read(multi_, &queued)) {
            if (message->msg == CURLMSG_DONE && message->easy_handle == easy_) {
                Finish(message->data.result);
            }
        }
        return !running_;
    }

    std::int64_t ExpectedSize() const override {
        curl_off_t length = -1;
        if (curl_easy_getinfo(easy_, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length) != CURLE_OK) {
            return -1;
        }
        return length;
    }

    TransferResult Result() const override { return result_; }

    void Cancel() override {
        if (!running_) return;
        curl_multi_remove_handle(multi_, easy_);
        running_ = false;
    }

private:
    static std::size_t OnBody(char* data, std::size_t size, std::size_t count, void* self) {
        auto* client = static_cast<CurlHttpClient*>(self);
        const std::size_t bytes = size * count;
        if (!client->sink_->Write(data, bytes)) {
            client->sinkRefused_ = true;
            return 0;
        }
        return bytes;
    }

    void Finish(CURLcode code) {
        long status = 0;
        curl_easy_getinfo(easy_, CURLINFO_RESPONSE_CODE, &status);
        result_.status = status;
        result_.outcome = Outcome(code);
        sinkRefused_ = false;
        curl_multi_remove_handle(multi_, easy_);
        running_ = false;
    }

    TransferOutcome Outcome(CURLcode code) const {
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
                return sinkRefused_ ? TransferOutcome::SinkRefused : TransferOutcome::Interrupted;
            default:
                return TransferOutcome::Interrupted;
        }
    }

    int timeoutSeconds_;
    CURLM* multi_ = nullptr;
    CURL* easy_ = nullptr;
    BodySink* sink_ = nullptr;
    bool running_ = false;
    bool sinkRefused_ = false;
    TransferResult result_;
};

}  // namespace

std::unique_ptr<HttpClient> MakeHttpClient(int timeoutSeconds) {
    return std::make_unique<CurlHttpClient>(timeoutSeconds);
}
