#include "transfer/download.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <map>
#include <random>

#include "failure.h"
#include "transfer/body.h"

std::string BaseUrl;

namespace {

using Clock = std::chrono::steady_clock;

// Attempts of one file that brought it no further, and attempts in all.
constexpr int kAttemptsWithoutProgress = 3;
constexpr int kAttemptsInAll = 8;
// The longest wait on the network. The wait also ends when data or window
// events arrive, so this only bounds the wake-ups of an idle run: each costs
// CPU for nothing, and over a slow network there are many.
constexpr int kWaitSliceMs = 100;
// Repaints and clicks are handled at this pace, not once per received piece.
constexpr auto kEventInterval = std::chrono::milliseconds(20);
// A server's Retry-After is honoured up to this long; backoffs stay below the second.
constexpr int kLongestRetryAfterSeconds = 120;
constexpr double kLongestBackoffSeconds = 30;

struct Verdict {
    bool done = false;
    bool retry = false;
    bool nextMirror = false;
    bool resume = false;
    int retryAfterSeconds = -1;
    std::string reason;
};

Verdict Fail(bool retry, std::string reason) {
    Verdict verdict;
    verdict.retry = retry;
    verdict.reason = std::move(reason);
    return verdict;
}

Verdict Judge(const TransferResult& result, Body& body, bool closed, const std::string& remote,
              const std::string& local, const std::optional<std::uint64_t>& expectedSize,
              ContentCheck* check) {
    const long status = result.head.status;
    switch (result.outcome) {
        case TransferOutcome::Complete: {
            if (!closed) return Fail(false, body.WriteFailure());
            if (status != 200 && status != 206) {
                return Fail(false,
                            "Le serveur a répondu " + std::to_string(status) + " pour " + remote + ".");
            }
            const bool sizeKnownGood = expectedSize && body.OnDisk() == *expectedSize;
            // Without a length or a final chunk, a body cut by a closed
            // connection looks complete: only a size we know proves it.
            if (!result.bodyComplete && !(sizeKnownGood && check)) {
                return Fail(false, "Le serveur n'a pas indiqué la taille de " + remote + ".");
            }
            if (result.head.status == 206 && body.Total() >= 0 &&
                body.OnDisk() != static_cast<std::uint64_t>(body.Total())) {
                return Fail(true, "Transfert incomplet: " + remote + ".");
            }
            if ((expectedSize && !sizeKnownGood) || (check && !check->Matches())) {
                return Fail(true, "Fichier altéré: " + local + ".");
            }
            Verdict verdict;
            verdict.done = true;
            return verdict;
        }
        case TransferOutcome::HttpError: {
            // A body kept from an earlier run may already be whole: there is
            // no range after its end. It is fetched again from the start.
            if (status == 416 && body.OnDisk() > 0) return Fail(true, "Transfert incomplet: " + remote + ".");
            Verdict verdict =
                Fail(status >= 500 || status == 429 || status == 408,
                     "Le serveur a répondu " + std::to_string(status) + " pour " + remote + ".");
            verdict.nextMirror = status >= 500;
            if (status == 503 || status == 429) verdict.retryAfterSeconds = result.head.retryAfterSeconds;
            return verdict;
        }
        case TransferOutcome::Unreachable: {
            Verdict verdict = Fail(true, "Serveur injoignable.");
            verdict.nextMirror = true;
            return verdict;
        }
        case TransferOutcome::TimedOut: {
            Verdict verdict = Fail(true, "Délai dépassé: " + remote + ".");
            verdict.resume = true;
            return verdict;
        }
        case TransferOutcome::SinkRefused:
            if (body.RetryFromStart()) return Fail(true, body.Reason());
            return Fail(false, body.Reason().empty() ? body.WriteFailure() : body.Reason());
        case TransferOutcome::TooManyRedirects:
            return Fail(false, "Trop de redirections pour " + remote + ".");
        case TransferOutcome::BadRedirect:
            return Fail(false, "Redirection refusée pour " + remote + ".");
        case TransferOutcome::BadResponse:
            return Fail(false, "Réponse invalide du serveur pour " + remote + ".");
        case TransferOutcome::Certificate:
            return Fail(false, "Certificat du serveur refusé.");
        case TransferOutcome::Interrupted:
        default: {
            Verdict verdict = Fail(true, "Transfert incomplet: " + remote + ".");
            verdict.resume = true;
            return verdict;
        }
    }
}

}  // namespace

struct Downloader::State {
    DownloadSettings settings;
    std::unique_ptr<HttpClient> client;
    std::size_t mirror = 0;
    std::mt19937 random{std::random_device{}()};

    // One unit of work for the loop: a game file or a small text.
    struct Work {
        std::string remote;
        std::string local;
        std::optional<std::uint64_t> expectedSize;
        ContentCheck* check = nullptr;
        std::function<std::unique_ptr<Body>(std::uint64_t from)> makeBody;
        std::uint64_t from = 0;
        std::string validator;
        int attempts = 0;
        int attemptsWithoutProgress = 0;
        std::uint64_t furthest = 0;  // the most of the body any attempt had on disk
        Clock::time_point notBefore{};
        bool busyServer = false;  // waiting because the server said so
        bool done = false;
    };

    void SwitchMirror() {
        if (mirror + 1 >= settings.mirrors.size()) return;
        ++mirror;
        BaseUrl = settings.mirrors[mirror];
    }

    double Backoff(int failures) {
        const double base = settings.retryPauseMs / 1000.0 * std::pow(2.0, std::max(0, failures - 1));
        std::uniform_real_distribution<double> jitter(0.5, 1.5);
        return std::min(kLongestBackoffSeconds, base * jitter(random));
    }

    void Run(std::vector<Work>& work, DownloadListener* listener);
};

namespace {

// Cancels whatever is still running when the loop is left, by a failure or
// by the player closing the window.
struct InFlight {
    struct Entry {
        std::size_t work;
        std::unique_ptr<Body> body;
    };
    HttpClient& client;
    std::map<TransferId, Entry> entries;
    explicit InFlight(HttpClient& c) : client(c) {}
    ~InFlight() {
        for (auto& [id, entry] : entries) {
            client.Cancel(id);
            entry.body->Close();
        }
    }
};

}  // namespace

void Downloader::State::Run(std::vector<Work>& work, DownloadListener* listener) {
    const std::size_t parallel = static_cast<std::size_t>(std::max(1, settings.parallel));
    for (Work& item : work) item.furthest = item.from;
    InFlight inFlight(*client);
    std::size_t next = 0;
    std::size_t finished = 0;
    std::vector<std::size_t> waiting;  // failed once, to be tried again, in list order
    auto lastEvents = Clock::now();

    const auto start = [&](std::size_t w) {
        Work& item = work[w];
        std::unique_ptr<Body> body = item.makeBody(item.from);
        TransferRequest request{BaseUrl + EncodeRemoteName(item.remote), body->OnDisk(), item.validator};
        const TransferId id = client->Start(request, *body);
        inFlight.entries[id] = {w, std::move(body)};
        ++item.attempts;
    };

    while (finished < work.size()) {
        const auto now = Clock::now();
        // Files that failed come back first, so the list's order holds; one
        // at a time, a file is retried before the next one starts.
        while (inFlight.entries.size() < parallel) {
            const auto ready = std::find_if(waiting.begin(), waiting.end(),
                                            [&](std::size_t w) { return work[w].notBefore <= now; });
            if (ready != waiting.end()) {
                const std::size_t w = *ready;
                waiting.erase(ready);
                start(w);
            } else if (next < work.size() && (parallel > 1 || waiting.empty())) {
                start(next++);
            } else {
                break;
            }
        }

        if (inFlight.entries.empty()) {
            // Everything left waits for its next try.
            const auto earliest = std::min_element(
                waiting.begin(), waiting.end(),
                [&](std::size_t a, std::size_t b) { return work[a].notBefore < work[b].notBefore; });
            const double left =
                std::chrono::duration<double>(work[*earliest].notBefore - Clock::now()).count();
            if (left > 0) {
                if (work[*earliest].busyServer && listener) {
                    listener->ServerBusy(static_cast<int>(std::ceil(left)));
                }
                const double slice =
                    work[*earliest].busyServer ? std::min(left, left - std::floor(left) + 0.001) : left;
                if (listener) listener->Pause(std::max(0.001, slice));
            }
            continue;
        }

        std::uint64_t before = 0;
        for (const auto& [id, entry] : inFlight.entries) before += entry.body->Written();
        auto ended = client->Wait(kWaitSliceMs);
        std::uint64_t after = 0;
        for (const auto& [id, entry] : inFlight.entries) after += entry.body->Written();
        // A wake-up that brought no data was for the window (or the slice ran out).
        const bool quiet = ended.empty() && after == before;
        for (auto& [id, result] : ended) {
            auto found = inFlight.entries.find(id);
            if (found == inFlight.entries.end()) continue;
            InFlight::Entry entry = std::move(found->second);
            inFlight.entries.erase(found);
            Work& item = work[entry.work];
            const bool closed = entry.body->Close();
            const Verdict verdict =
                Judge(result, *entry.body, closed, item.remote, item.local, item.expectedSize, item.check);
            if (verdict.done) {
                item.done = true;
                ++finished;
                if (listener && !entry.body->Validator().empty() &&
                    entry.body->Validator() != item.validator) {
                    listener->Resumable(entry.work, entry.body->Validator());
                }
                if (listener) {
                    listener->Progress(entry.work, entry.body->OnDisk(), entry.body->Total());
                    listener->Finished(entry.work);
                }
                continue;
            }
            const std::uint64_t onDisk = entry.body->OnDisk();
            // Only a later attempt that got further than any before counts as
            // progress: a body that breaks off at the same place every time does not.
            const bool progressed = item.attempts > 1 && onDisk > item.furthest;
            item.furthest = std::max(item.furthest, onDisk);
            if (!entry.body->Validator().empty()) item.validator = entry.body->Validator();
            const bool canResume = verdict.resume && onDisk > 0 && !item.validator.empty();
            item.from = canResume ? onDisk : 0;
            if (!verdict.retry) throw UpdateFailure(verdict.reason);
            if (verdict.nextMirror && mirror + 1 < settings.mirrors.size()) {
                // Another server may do better, for the rest of the run.
                SwitchMirror();
                item.notBefore = Clock::now();
                item.busyServer = false;
                waiting.insert(std::upper_bound(waiting.begin(), waiting.end(), entry.work), entry.work);
                continue;
            }
            if (!progressed) ++item.attemptsWithoutProgress;
            if (item.attemptsWithoutProgress >= kAttemptsWithoutProgress || item.attempts >= kAttemptsInAll) {
                throw UpdateFailure(verdict.reason);
            }
            double pause = Backoff(item.attemptsWithoutProgress);
            item.busyServer = verdict.retryAfterSeconds >= 0;
            if (item.busyServer) pause = std::min(verdict.retryAfterSeconds, kLongestRetryAfterSeconds);
            item.notBefore = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                                std::chrono::duration<double>(pause));
            waiting.insert(std::upper_bound(waiting.begin(), waiting.end(), entry.work), entry.work);
        }

        if (listener) {
            for (const auto& [id, entry] : inFlight.entries) {
                Work& item = work[entry.work];
                // Once a body has a validator on disk, a later run may resume it.
                if (!entry.body->Validator().empty() && entry.body->Validator() != item.validator) {
                    item.validator = entry.body->Validator();
                    listener->Resumable(entry.work, item.validator);
                }
                if (entry.body->Written() == 0 && entry.body->Total() < 0) continue;
                listener->Progress(entry.work, entry.body->OnDisk(), entry.body->Total());
            }
            if (quiet || Clock::now() - lastEvents >= kEventInterval) {
                listener->Idle();
                lastEvents = Clock::now();
            }
        }
    }
}

std::vector<std::string> SplitMirrors(std::string_view setting) {
    std::vector<std::string> mirrors;
    std::size_t start = 0;
    while (start < setting.size()) {
        const std::size_t end = setting.find_first_of(" \t,;", start);
        const std::string_view part =
            setting.substr(start, end == std::string_view::npos ? end : end - start);
        if (!part.empty()) mirrors.emplace_back(part);
        if (end == std::string_view::npos) break;
        start = end + 1;
    }
    return mirrors;
}

Downloader::Downloader(DownloadSettings settings) : state_(std::make_unique<State>()) {
    state_->settings = std::move(settings);
    HttpOptions options;
    options.timeoutSeconds = state_->settings.timeoutSeconds;
    options.maxConnections = std::max(1, state_->settings.parallel);
    options.caFile = state_->settings.caFile;
    options.wakeDescriptor = state_->settings.wakeDescriptor;
    state_->client = MakeHttpClient(options);
    BaseUrl = state_->settings.mirrors.empty() ? std::string() : state_->settings.mirrors.front();
}

Downloader::~Downloader() = default;

std::string Downloader::FetchText(const std::string& remote, std::size_t maxBytes,
                                  DownloadListener& listener) {
    return FetchTexts({{remote, maxBytes}}, listener).front();
}

std::vector<std::string> Downloader::FetchTexts(const std::vector<std::pair<std::string, std::size_t>>& files,
                                                DownloadListener& listener) {
    std::vector<std::string> texts(files.size());
    std::vector<State::Work> work(files.size());
    for (std::size_t k = 0; k < files.size(); ++k) {
        const auto& [remote, limit] = files[k];
        work[k].remote = remote;
        work[k].local = remote;
        work[k].makeBody = [&, k](std::uint64_t) {
            return std::make_unique<MemoryBody>(files[k].first, files[k].second, texts[k]);
        };
    }
    state_->Run(work, &listener);
    return texts;
}

void Downloader::DownloadFiles(std::vector<DownloadJob>& jobs, DownloadListener& listener) {
    std::vector<State::Work> work;
    work.reserve(jobs.size());
    for (std::size_t k = 0; k < jobs.size(); ++k) {
        DownloadJob& job = jobs[k];
        State::Work item;
        item.remote = job.remote;
        item.local = job.local;
        item.expectedSize = job.expectedSize;
        item.check = job.check.get();
        item.from = job.resumeFrom;
        item.validator = job.validator;
        item.makeBody = [&job](std::uint64_t from) -> std::unique_ptr<Body> {
            return std::make_unique<StagedBody>(job, from);
        };
        work.push_back(std::move(item));
    }
    state_->Run(work, &listener);
}

void Downloader::Prepare(int transfers) {
    state_->client->Prepare(transfers);
}

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
