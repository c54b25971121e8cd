#include "transfer/download.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <fstream>
#include <memory>
#include <system_error>

#include "lifecycle/failure.h"
#include "lifecycle/window.h"
#include "storage/storage.h"
#include "transfer/http.h"

std::string BaseUrl;

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kAttempts = 3;
// How long one wait on the network may last before window events are handled.
constexpr int kWaitSliceMs = 20;
// Repaints and clicks are handled at this pace, not once per received piece.
constexpr auto kEventInterval = std::chrono::milliseconds(20);

// Kept from one transfer to the next, so they share one connection.
std::unique_ptr<HttpClient> sharedClient;

HttpClient& Client() {
    if (!sharedClient) sharedClient = MakeHttpClient(TRANSFER_TIMEOUT_SECONDS);
    return *sharedClient;
}

void StopIfClosed() {
    if (frmUpdate->Unloaded()) throw RunCancelled();
}

bool IsBlank(const std::string& text) {
    return text.find_first_not_of(' ') == std::string::npos;
}

bool IsSeparator(char c) {
    return c == '/' || c == '\\';
}

// Makes the folders of a local name such as data/maps/town.map. A file with
// a folder's name stops it; opening the target then fails and says so.
void PrepareFolders(const std::string& local) {
    const auto last = std::find_if(local.rbegin(), local.rend(), IsSeparator);
    if (last == local.rend()) return;
    const std::string folder = ProgramFolder() + "\\" + std::string(local.begin(), last.base() - 1);
    std::error_code error;
    if (std::filesystem::exists(NativePath(folder), error)) return;
    try {
        CreatePath(folder);
    } catch (const std::system_error&) {
        throw UpdateFailure("Impossible d'écrire " + local + ".");
    }
}

// The body on its way to disk, under a name beside the target. Removed
// unless it was put in place, so a failed or abandoned transfer leaves the
// installed file as it was and nothing else behind.
class TemporaryFile : public BodySink {
public:
    explicit TemporaryFile(const std::filesystem::path& target) : target_(target), temp_(target) {
        temp_ += ".~upd";
        out_.open(temp_, std::ios::binary | std::ios::trunc);
    }
    ~TemporaryFile() override {
        if (placed_) return;
        out_.close();
        std::error_code ignored;
        std::filesystem::remove(temp_, ignored);
    }
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;

    bool IsOpen() const { return out_.is_open(); }
    std::uint64_t Written() const { return written_; }

    bool Write(const char* data, std::size_t size) override {
        out_.write(data, static_cast<std::streamsize>(size));
        if (!out_) return false;
        written_ += size;
        return true;
    }

    // Replaces the target with the complete file; false when that fails.
    bool PutInPlace() {
        out_.close();
        if (out_.fail()) return false;
        try {
            ReplaceFile(temp_, target_);
        } catch (const std::system_error&) {
            return false;
        }
        placed_ = true;
        return true;
    }

private:
    std::filesystem::path target_;
    std::filesystem::path temp_;
    std::ofstream out_;
    std::uint64_t written_ = 0;
    bool placed_ = false;
};

// Shows the percentage only when the number changes.
class PercentField {
public:
    void Update(std::uint64_t done, std::int64_t expected) {
        if (expected <= 0) return;
        const int percent = TransferPercent(done, static_cast<std::uint64_t>(expected));
        if (percent == shown_) return;
        shown_ = percent;
        frmUpdate->SetText(Label4, std::to_string(percent) + "%");
    }

private:
    int shown_ = -1;
};

// Abandons the transfer when the wait is left by an exception.
class RunningTransfer {
public:
    RunningTransfer(HttpClient& client, const std::string& url, BodySink& sink) : client_(client) {
        client_.Start(url, sink);
    }
    ~RunningTransfer() { client_.Cancel(); }
    RunningTransfer(const RunningTransfer&) = delete;
    RunningTransfer& operator=(const RunningTransfer&) = delete;

private:
    HttpClient& client_;
};

struct Attempt {
    bool done = false;
    bool worthRetrying = false;
    std::string reason;
};

Attempt Failed(bool worthRetrying, std::string reason) {
    return {false, worthRetrying, std::move(reason)};
}

Attempt Judge(const TransferResult& result, std::uint64_t received, std::int64_t expected,
              const std::string& remote, const std::string& local) {
    const std::string refused =
        "Le serveur a répondu " + std::to_string(result.status) + " pour " + remote + ".";
    switch (result.outcome) {
        case TransferOutcome::Complete:
            if (result.status < 200 || result.status > 299) return Failed(false, refused);
            if (expected >= 0 && received != static_cast<std::uint64_t>(expected)) {
                return Failed(true, "Transfert incomplet: " + remote + ".");
            }
            return {true, false, {}};
        case TransferOutcome::HttpError:
            return Failed(result.status >= 500, refused);
        case TransferOutcome::Unreachable:
            return Failed(true, "Serveur injoignable.");
        case TransferOutcome::TimedOut:
            return Failed(true, "Délai dépassé: " + remote + ".");
        case TransferOutcome::SinkRefused:
            return Failed(false, "Impossible d'écrire " + local + ".");
        case TransferOutcome::Interrupted:
        default:
            return Failed(true, "Transfert incomplet: " + remote + ".");
    }
}

Attempt TransferOnce(const std::string& url, const std::string& remote, const std::string& local) {
    TemporaryFile file(LocalPath(local));
    if (!file.IsOpen()) return Failed(false, "Impossible d'écrire " + local + ".");

    HttpClient& client = Client();
    PercentField percent;
    {
        RunningTransfer transfer(client, url, file);
        auto lastEvents = Clock::now();
        while (!client.Wait(kWaitSliceMs)) {
            percent.Update(file.Written(), client.ExpectedSize());
            if (Clock::now() - lastEvents >= kEventInterval) {
                frmUpdate->ProcessEvents();
                StopIfClosed();
                lastEvents = Clock::now();
            }
        }
    }
    const std::int64_t expected = client.ExpectedSize();
    Attempt attempt = Judge(client.Result(), file.Written(), expected, remote, local);
    if (!attempt.done) return attempt;
    if (!file.PutInPlace()) return Failed(false, "Impossible d'écrire " + local + ".");
    percent.Update(file.Written(), expected);
    // A body without a declared length has no percentage while it arrives.
    if (expected < 0) frmUpdate->SetText(Label4, "100%");
    return attempt;
}

void PauseBeforeRetry() {
    const auto until = Clock::now() + std::chrono::milliseconds(RETRY_PAUSE_MS);
    for (auto now = Clock::now(); now < until; now = Clock::now()) {
        frmUpdate->WaitEvents(std::chrono::duration<double>(until - now).count());
        StopIfClosed();
    }
}

}  // namespace

std::string EncodeRemoteName(std::string_view remote) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(remote.size());
    for (const char ch : remote) {
        const auto b = static_cast<unsigned char>(ch);
        if (b <= 0x20 || b >= 0x7F || ch == '#' || ch == '?' || ch == '%') {
            out += '%';
            out += kHex[b >> 4];
            out += kHex[b & 0x0F];
        } else {
            out += ch;
        }
    }
    return out;
}

int TransferPercent(std::uint64_t done, std::uint64_t expected) {
    const double quotient = static_cast<double>(done) / static_cast<double>(expected);
    return static_cast<int>(std::floor(quotient * 100.0));
}

void CloseTransfers() {
    sharedClient.reset();
}

void DownloadFile(const std::string& remote, const std::string& local) {
    if (IsBlank(local)) return;
    const std::string url = BaseUrl + EncodeRemoteName(remote);
    PrepareFolders(local);
    for (int attempt = 1;; ++attempt) {
        const Attempt result = TransferOnce(url, remote, local);
        if (result.done) break;
        if (!result.worthRetrying || attempt == kAttempts) throw UpdateFailure(result.reason);
        PauseBeforeRetry();
    }
    frmUpdate->ProcessEvents();
    StopIfClosed();
    frmUpdate->SetText(L3, "Téléchargement " + remote + "!");
}
