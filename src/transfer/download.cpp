#include "transfer/download.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <functional>
#include <map>
#include <random>
#include <unordered_map>

#include "failure.h"
#include "player_texts.h"
#include "transfer/body.h"
#include "transfer/check_worker.h"
#include "transfer/retry_policy.h"

std::string BaseUrl;

namespace {

using Clock = std::chrono::steady_clock;

// The longest wait on the network. The wait also ends when data or window
// events arrive, so this only bounds the wake-ups of an idle run: each costs
// CPU for nothing, and over a slow network there are many.
constexpr int kWaitSliceMs = 100;
// Repaints and clicks are handled at this pace, not once per received piece.
constexpr auto kEventInterval = std::chrono::milliseconds(20);
// A complete body whose check has not read it all back yet is waited for
// this long at most; past it, the body is set aside until the check catches
// up, and the other transfers go on.
constexpr auto kCheckGrace = std::chrono::milliseconds(2);
// A transfer that has brought less than this over a whole stall window (or a
// later attempt that got less than this further than any before) makes no
// real progress: a trickle of a few bytes a second would take days.
constexpr std::uint64_t kLeastBytesPerWindow = 1024;
constexpr int kLongestStallWindowSeconds = 30;
// A pause always lasts a little, and a countdown's slice ends just past the
// shown second, so that the next number is due when the pause returns.
constexpr double kShortestPauseSeconds = 0.001;

// One unit of work for the loop: a game file or a small text.
struct Work {
    // Both shown in messages; owned by the caller's jobs or names.
    const std::string* remote = nullptr;
    std::string_view local;
    std::optional<std::uint64_t> expectedSize;
    ContentCheck* check = nullptr;
    std::function<std::unique_ptr<Body>(std::uint64_t from)> makeBody;
    std::uint64_t from = 0;
    // Of the answer the part on disk came from: only the rest of that same
    // file may continue it.
    std::string validator;
    std::int64_t total = -1;
    int attempts = 0;
    int attemptsWithoutProgress = 0;
    std::uint64_t furthest = 0;  // the most of the body any attempt had on disk
    Clock::time_point notBefore{};
    bool busyServer = false;      // waiting because the server said so
    bool optional = false;        // its last failure is reported, not thrown
    bool deadline = false;        // a small file: whole within the metadata deadline, or failed
    std::uint64_t mostBytes = 0;  // a small file's limit: its signed size, or a fixed one
};

// What one attempt came to: a complete and checked body (no failure), or how
// it failed, with the reason shown if it is the last attempt.
struct Judgement {
    std::optional<Failure> failure;
    std::string reason;

    bool Complete() const { return !failure; }
};

Judgement Complete() {
    return {};
}

Judgement Failed(Failure failure, std::string reason) {
    return {failure, std::move(reason)};
}

Judgement GiveUp(std::string reason) {
    return Failed(Failure::Final, std::move(reason));
}

// An answer that arrived to its end: kept only when whole and as expected.
Judgement JudgeEndedAnswer(const TransferResult& result, const Body& body, bool closed, const Work& item) {
    const long status = result.head.status;
    if (!closed) return GiveUp(body.WriteFailure());
    if (status != 200 && status != 206) return GiveUp(texts::ServerAnswered(status, *item.remote));
    const bool sizeKnownGood = item.expectedSize && body.OnDisk() == *item.expectedSize;
    // Without a length or a final chunk, a body cut by a closed connection
    // looks complete: only a size we know proves it.
    if (!result.bodyComplete && !(sizeKnownGood && item.check)) {
        return GiveUp(texts::NoLength(*item.remote));
    }
    if (status == 206 && body.Total() >= 0 && body.OnDisk() != static_cast<std::uint64_t>(body.Total())) {
        return Failed(Failure::StartOver, texts::TransferCut(*item.remote));
    }
    if ((item.expectedSize && !sizeKnownGood) || (item.check && !item.check->Matches())) {
        return Failed(Failure::Altered, texts::Altered(item.local));
    }
    return Complete();
}

Judgement JudgeErrorStatus(long status, const Body& body, const std::string& remote) {
    // A body kept from an earlier run may already be whole: there is no
    // range after its end. It is fetched again from the start.
    if (status == 416 && body.OnDisk() > 0) return Failed(Failure::StartOver, texts::TransferCut(remote));
    const std::string reason = texts::ServerAnswered(status, remote);
    if (status == 503) return Failed(Failure::ServerBusy, reason);
    if (status == 429) return Failed(Failure::TooManyRequests, reason);
    if (status >= 500) return Failed(Failure::ServerError, reason);
    if (status == 408) return Failed(Failure::RequestTimeout, reason);
    return GiveUp(reason);
}

Judgement JudgeRefusedBody(const Body& body) {
    if (body.Altered()) return Failed(Failure::Altered, body.Reason());
    if (body.RetryFromStart()) return Failed(Failure::StartOver, body.Reason());
    return GiveUp(body.Reason().empty() ? body.WriteFailure() : body.Reason());
}

// `closed`: the body's copy was closed without a write error.
Judgement Judge(const TransferResult& result, const Body& body, bool closed, const Work& item) {
    switch (result.outcome) {
        case TransferOutcome::Complete:
            return JudgeEndedAnswer(result, body, closed, item);
        case TransferOutcome::HttpError:
            return JudgeErrorStatus(result.head.status, body, *item.remote);
        case TransferOutcome::Unreachable:
            return Failed(Failure::Unreachable, texts::Unreachable());
        case TransferOutcome::TimedOut:
            return Failed(Failure::TimedOut, texts::TimedOut(*item.remote));
        case TransferOutcome::SinkRefused:
            return JudgeRefusedBody(body);
        case TransferOutcome::TooManyRedirects:
            return GiveUp(texts::TooManyRedirects(*item.remote));
        case TransferOutcome::BadRedirect:
            return GiveUp(texts::RedirectRefused(*item.remote));
        case TransferOutcome::BadResponse:
            return GiveUp(texts::BadResponse(*item.remote));
        case TransferOutcome::Certificate:
            return GiveUp(texts::CertificateRefused());
        case TransferOutcome::Interrupted:
        default:
            return Failed(Failure::Cut, texts::TransferCut(*item.remote));
    }
}

// Passes every report of small files on; an optional one that failed is
// emptied first, so that no part of it is taken for it.
class TextListener : public DownloadListener {
public:
    TextListener(DownloadListener& listener, std::vector<std::string>& texts)
        : listener_(listener), texts_(texts) {}
    void Progress(std::size_t job, std::uint64_t done, std::int64_t total) override {
        listener_.Progress(job, done, total);
    }
    void Finished(std::size_t job) override { listener_.Finished(job); }
    void Failed(std::size_t job) override {
        texts_[job].clear();
        listener_.Failed(job);
    }
    void Resumable(std::size_t job, const std::string& validator, std::int64_t total) override {
        listener_.Resumable(job, validator, total);
    }
    void ServerBusy(int secondsLeft) override { listener_.ServerBusy(secondsLeft); }
    void Idle() override { listener_.Idle(); }
    void Pause(double seconds) override { listener_.Pause(seconds); }

private:
    DownloadListener& listener_;
    std::vector<std::string>& texts_;
};

// Cancels whatever is still running when the loop is left, by a failure or
// by the player closing the window.
struct InFlight {
    struct Entry {
        std::size_t work;
        std::unique_ptr<Body> body;
        std::size_t mirror = 0;  // the mirror the request went to
        Clock::time_point started;
        // The stall window: when it began and what the body had then.
        Clock::time_point windowStart;
        std::uint64_t windowBytes = 0;
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

struct Downloader::State {
    DownloadSettings settings;
    std::unique_ptr<HttpClient> client;
    std::size_t mirror = 0;
    std::mt19937 random{std::random_device{}()};

    bool MirrorLeft() const { return mirror + 1 < settings.mirrors.size(); }

    void SwitchMirror() {
        if (!MirrorLeft()) return;
        ++mirror;
        BaseUrl = settings.mirrors[mirror];
    }

    double Jitter() {
        std::uniform_real_distribution<double> jitter(kLeastJitter, kMostJitter);
        return jitter(random);
    }

    class Loop;
    // Makes the work item of one job or text when it is first started, so
    // that thousands of waiting jobs cost nothing but their place.
    using MakeWork = std::function<Work(std::size_t)>;
    void Run(std::size_t count, const MakeWork& make, DownloadListener* listener);
};

// One call's transfers, driven on the caller's thread until all are complete
// or one fails for good.
class Downloader::State::Loop {
public:
    Loop(State& state, std::size_t count, const MakeWork& make, DownloadListener* listener);
    void Run();

private:
    // What one wait on the network brought.
    struct Wake {
        std::vector<std::pair<TransferId, TransferResult>> ended;
        bool quiet = false;  // no data: the wake-up was for the window, or the slice ran out
    };

    // A complete body whose check is still reading it back.
    struct Checking {
        InFlight::Entry entry;
        TransferResult result;
    };

    void StartReady();
    void Start(std::size_t w);
    void PauseUntilNextTry();
    void WaitForChecks();
    Wake Wait();
    std::uint64_t WrittenInFlight() const;
    void Collect(TransferId id, const TransferResult& result);
    void Settle(const InFlight::Entry& entry, const TransferResult& result, bool closed);
    void SettleChecked();
    void EnforceDeadlines();
    std::optional<Judgement> Overdue(InFlight::Entry& entry, Clock::time_point now);
    SmallFileClock ClockOf(const InFlight::Entry& entry, const Work& item, Clock::time_point now) const;
    void Finish(const InFlight::Entry& entry);
    void ApplyPolicy(const InFlight::Entry& entry, const Judgement& judgement, int retryAfterSeconds);
    void ReportProgress();
    void NoteResumable(const InFlight::Entry& entry);
    void PaceEvents(bool quiet);

    State& state_;
    Work& Item(std::size_t w);

    const std::size_t count_;
    const MakeWork& make_;
    std::unordered_map<std::size_t, Work> active_;  // started and not finished
    DownloadListener* listener_;
    const std::size_t parallel_;
    const int atOnce_;  // transfers of this call that may be in flight together
    const Clock::duration answerTimeout_;
    const Clock::duration stallWindow_;
    InFlight inFlight_;
    std::vector<Checking> checking_;  // counted with the transfers in flight
    std::size_t next_ = 0;
    std::size_t finished_ = 0;
    std::vector<std::size_t> waiting_;  // failed once, to be tried again, in list order
    Clock::time_point lastEvents_ = Clock::now();
};

Downloader::State::Loop::Loop(State& state, std::size_t count, const MakeWork& make,
                              DownloadListener* listener)
    : state_(state),
      count_(count),
      make_(make),
      listener_(listener),
      parallel_(static_cast<std::size_t>(std::max(1, state.settings.parallel))),
      atOnce_(static_cast<int>(std::max<std::size_t>(1, std::min(parallel_, count)))),
      answerTimeout_(std::chrono::seconds(state.settings.answerTimeoutSeconds)),
      stallWindow_(std::chrono::seconds(std::min(kLongestStallWindowSeconds, state.settings.timeoutSeconds))),
      inFlight_(*state.client) {}

void Downloader::State::Loop::Run() {
    while (finished_ < count_) {
        StartReady();
        if (!inFlight_.entries.empty()) {
            const Wake wake = Wait();
            for (const auto& [id, result] : wake.ended) Collect(id, result);
            EnforceDeadlines();
            if (listener_) {
                ReportProgress();
                PaceEvents(wake.quiet);
            }
        } else if (!checking_.empty()) {
            WaitForChecks();
        } else {
            PauseUntilNextTry();
        }
        SettleChecked();
    }
}

// Files that failed come back first, so the list's order holds; one at a
// time, a file is retried before the next one starts.
void Downloader::State::Loop::StartReady() {
    const auto now = Clock::now();
    while (inFlight_.entries.size() + checking_.size() < parallel_) {
        const auto ready = std::find_if(waiting_.begin(), waiting_.end(),
                                        [&](std::size_t w) { return Item(w).notBefore <= now; });
        if (ready != waiting_.end()) {
            const std::size_t w = *ready;
            waiting_.erase(ready);
            Start(w);
        } else if (next_ < count_ && (parallel_ > 1 || waiting_.empty())) {
            Start(next_++);
        } else {
            return;
        }
    }
}

void Downloader::State::Loop::Start(std::size_t w) {
    Work& item = Item(w);
    std::unique_ptr<Body> body = item.makeBody(item.from);
    body->ContinuePart(item.validator, item.total);
    TransferRequest request{BaseUrl + EncodeRemoteName(*item.remote), body->OnDisk(), item.validator};
    const TransferId id = state_.client->Start(request, *body);
    const auto now = Clock::now();
    inFlight_.entries[id] = {w, std::move(body), state_.mirror, now, now, 0};
    ++item.attempts;
}

// Everything left waits for its next try.
void Downloader::State::Loop::PauseUntilNextTry() {
    const auto earliest =
        std::min_element(waiting_.begin(), waiting_.end(),
                         [&](std::size_t a, std::size_t b) { return Item(a).notBefore < Item(b).notBefore; });
    const Work& item = Item(*earliest);
    const double left = std::chrono::duration<double>(item.notBefore - Clock::now()).count();
    if (left <= 0) return;
    if (item.busyServer && listener_) listener_->ServerBusy(static_cast<int>(std::ceil(left)));
    const double slice =
        item.busyServer ? std::min(left, left - std::floor(left) + kShortestPauseSeconds) : left;
    if (listener_) listener_->Pause(std::max(kShortestPauseSeconds, slice));
}

// No transfer is in flight; checks are catching up (and failed files may be
// waiting for their next try).
void Downloader::State::Loop::WaitForChecks() {
    checking_.front().entry.body->CheckPending(kEventInterval);
    if (listener_) listener_->Idle();
}

Downloader::State::Loop::Wake Downloader::State::Loop::Wait() {
    const std::uint64_t before = WrittenInFlight();
    Wake wake;
    // A check catching up does not wake the wait: it is looked at in slices.
    const int slice = checking_.empty() ? kWaitSliceMs : static_cast<int>(kEventInterval.count());
    wake.ended = state_.client->Wait(slice);
    wake.quiet = wake.ended.empty() && WrittenInFlight() == before;
    return wake;
}

std::uint64_t Downloader::State::Loop::WrittenInFlight() const {
    std::uint64_t written = 0;
    for (const auto& [id, entry] : inFlight_.entries) written += entry.body->Written();
    return written;
}

void Downloader::State::Loop::Collect(TransferId id, const TransferResult& result) {
    auto found = inFlight_.entries.find(id);
    if (found == inFlight_.entries.end()) return;
    InFlight::Entry entry = std::move(found->second);
    inFlight_.entries.erase(found);
    const bool closed = entry.body->Close();
    if (result.outcome == TransferOutcome::Complete && closed && entry.body->CheckPending(kCheckGrace)) {
        checking_.push_back({std::move(entry), result});
        return;
    }
    Settle(entry, result, closed);
}

// `closed`: the body's copy was closed without a write error. A checked
// body's copy must also have been read back whole.
void Downloader::State::Loop::Settle(const InFlight::Entry& entry, const TransferResult& result,
                                     bool closed) {
    const Judgement judgement =
        Judge(result, *entry.body, closed && entry.body->ReadBack(), Item(entry.work));
    if (judgement.Complete()) return Finish(entry);
    ApplyPolicy(entry, judgement, result.head.retryAfterSeconds);
}

void Downloader::State::Loop::SettleChecked() {
    for (std::size_t k = 0; k < checking_.size();) {
        if (checking_[k].entry.body->CheckPending(std::chrono::milliseconds(0))) {
            ++k;
            continue;
        }
        const Checking checked = std::move(checking_[k]);
        checking_.erase(checking_.begin() + static_cast<std::ptrdiff_t>(k));
        Settle(checked.entry, checked.result, true);
    }
}

// A server that has not begun to answer in time is left like one that
// cannot be reached; a body that trickles in is stalled; a small file that
// is not whole in its time is overdue, however it trickles: the progress
// rule alone would let a server stretch a 1 MiB index over hours.
void Downloader::State::Loop::EnforceDeadlines() {
    const auto now = Clock::now();
    std::vector<std::pair<TransferId, Judgement>> overdue;
    for (auto& [id, entry] : inFlight_.entries) {
        if (auto judgement = Overdue(entry, now)) overdue.emplace_back(id, std::move(*judgement));
    }
    for (auto& [id, judgement] : overdue) {
        const auto found = inFlight_.entries.find(id);
        state_.client->Cancel(id);
        const InFlight::Entry entry = std::move(found->second);
        inFlight_.entries.erase(found);
        entry.body->Close();
        ApplyPolicy(entry, judgement, -1);
    }
}

std::optional<Judgement> Downloader::State::Loop::Overdue(InFlight::Entry& entry, Clock::time_point now) {
    const Work& item = Item(entry.work);
    const std::string& remote = *item.remote;
    if (item.deadline && SmallFileOverdue(ClockOf(entry, item, now))) {
        return Failed(Failure::Overdue, texts::TimedOut(remote));
    }
    if (!entry.body->Begun()) {
        if (now - entry.started < answerTimeout_) return std::nullopt;
        return Failed(Failure::NoAnswer, texts::TimedOut(remote));
    }
    if (now - entry.windowStart < stallWindow_) return std::nullopt;
    if (entry.body->Written() - entry.windowBytes < kLeastBytesPerWindow) {
        return Failed(Failure::TimedOut, texts::TimedOut(remote));
    }
    entry.windowStart = now;
    entry.windowBytes = entry.body->Written();
    return std::nullopt;
}

SmallFileClock Downloader::State::Loop::ClockOf(const InFlight::Entry& entry, const Work& item,
                                                Clock::time_point now) const {
    SmallFileClock clock;
    clock.elapsedSeconds = std::chrono::duration<double>(now - entry.started).count();
    clock.come = entry.body->Written();
    clock.mostBytes = item.mostBytes;
    // Its own mirror's place, not the one in use: a file still asked of a
    // mirror the run has left has a better one to go to.
    clock.mirrorLeft = entry.mirror + 1 < state_.settings.mirrors.size();
    clock.deadlineSeconds = state_.settings.metadataDeadlineSeconds;
    clock.capBytesPerSecond = state_.settings.maxBytesPerSecond;
    clock.transfersAtOnce = atOnce_;
    return clock;
}

void Downloader::State::Loop::Finish(const InFlight::Entry& entry) {
    ++finished_;
    if (listener_) {
        NoteResumable(entry);
        listener_->Progress(entry.work, entry.body->OnDisk(), entry.body->Total());
        listener_->Finished(entry.work);
    }
    active_.erase(entry.work);
}

void Downloader::State::Loop::ApplyPolicy(const InFlight::Entry& entry, const Judgement& judgement,
                                          int retryAfterSeconds) {
    Work& item = Item(entry.work);
    const std::uint64_t onDisk = entry.body->OnDisk();
    FailedAttempt attempt;
    attempt.failure = *judgement.failure;
    attempt.retryAfterSeconds = retryAfterSeconds;
    attempt.attempts = item.attempts;
    attempt.attemptsWithoutProgress = item.attemptsWithoutProgress;
    // Only a later attempt that got further than any before counts as
    // progress: a body that breaks off at the same place every time, or
    // trickles a few bytes further each time, does not.
    attempt.progressed = item.attempts > 1 && onDisk >= item.furthest + kLeastBytesPerWindow;
    item.furthest = std::max(item.furthest, onDisk);
    // What is on disk now came from this answer, if it was taken.
    if (entry.body->Accepted()) {
        item.validator = entry.body->Validator();
        item.total = entry.body->Total();
    }
    attempt.partKept = onDisk > 0 && !item.validator.empty() && item.total >= 0;
    attempt.mirrorLeft = state_.MirrorLeft();
    attempt.sentToEarlierMirror = entry.mirror < state_.mirror;

    NextStep step = DecideAfterFailure(attempt, state_.settings.retryPauseMs, state_.Jitter());
    // A compressed form that is not what was signed is not fetched again
    // from the same server: the file's next way is surer.
    if (item.optional && attempt.failure == Failure::Altered && step.kind != NextStep::Kind::NextMirror) {
        step.kind = NextStep::Kind::GiveUp;
    }
    if (step.kind == NextStep::Kind::GiveUp) {
        if (!item.optional) throw UpdateFailure(judgement.reason);
        // The caller has another way to the same file.
        ++finished_;
        if (listener_) listener_->Failed(entry.work);
        active_.erase(entry.work);
        return;
    }
    // Another server may do better, for the rest of the run.
    if (step.kind == NextStep::Kind::NextMirror) state_.SwitchMirror();
    item.from = step.resume ? onDisk : 0;
    item.attemptsWithoutProgress = step.attemptsWithoutProgress;
    item.busyServer = step.busyServer;
    item.notBefore = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                        std::chrono::duration<double>(step.pauseSeconds));
    waiting_.insert(std::upper_bound(waiting_.begin(), waiting_.end(), entry.work), entry.work);
}

void Downloader::State::Loop::ReportProgress() {
    for (const auto& [id, entry] : inFlight_.entries) {
        NoteResumable(entry);
        if (entry.body->Written() == 0 && entry.body->Total() < 0) continue;
        listener_->Progress(entry.work, entry.body->OnDisk(), entry.body->Total());
    }
}

// Once a body on disk has a validator and a total, a later attempt or run
// may ask for the rest of it.
void Downloader::State::Loop::NoteResumable(const InFlight::Entry& entry) {
    Work& item = Item(entry.work);
    const Body& body = *entry.body;
    if (!body.Accepted() || body.Validator().empty() || body.Total() < 0) return;
    if (body.Validator() == item.validator && body.Total() == item.total) return;
    item.validator = body.Validator();
    item.total = body.Total();
    listener_->Resumable(entry.work, item.validator, item.total);
}

void Downloader::State::Loop::PaceEvents(bool quiet) {
    if (!quiet && Clock::now() - lastEvents_ < kEventInterval) return;
    listener_->Idle();
    lastEvents_ = Clock::now();
}

void Downloader::State::Run(std::size_t count, const MakeWork& make, DownloadListener* listener) {
    Loop(*this, count, make, listener).Run();
}

Work& Downloader::State::Loop::Item(std::size_t w) {
    auto found = active_.find(w);
    if (found == active_.end()) {
        found = active_.emplace(w, make_(w)).first;
        found->second.furthest = found->second.from;
    }
    return found->second;
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
    options.maxBytesPerSecond = state_->settings.maxBytesPerSecond;
    state_->client = MakeHttpClient(options);
    BaseUrl = state_->settings.mirrors.empty() ? std::string() : state_->settings.mirrors.front();
}

Downloader::~Downloader() = default;

std::size_t Downloader::Mirror() const {
    return state_->mirror;
}

bool Downloader::NextMirror() {
    if (!state_->MirrorLeft()) return false;
    state_->SwitchMirror();
    return true;
}

std::string Downloader::FetchText(const std::string& remote, std::size_t maxBytes,
                                  DownloadListener& listener) {
    return FetchTexts({{remote, maxBytes, {}}}, listener).front();
}

std::vector<std::string> Downloader::FetchTexts(const std::vector<TextRequest>& files,
                                                DownloadListener& listener) {
    std::vector<std::string> texts(files.size());
    TextListener textListener(listener, texts);
    state_->Run(
        files.size(),
        [&](std::size_t k) {
            Work item;
            item.remote = &files[k].name;
            item.local = files[k].name;
            item.optional = files[k].optional;
            item.deadline = true;
            item.mostBytes = files[k].limit;
            item.makeBody = [&, k](std::uint64_t) {
                return std::make_unique<MemoryBody>(files[k], texts[k]);
            };
            return item;
        },
        &textListener);
    return texts;
}

void Downloader::DownloadFiles(std::vector<DownloadJob>& jobs, DownloadListener& listener, GameFolder& folder,
                               MadeFolders& folders) {
    // Made for the first body with a check; every body goes before it does.
    std::optional<CheckWorker> worker;
    state_->Run(
        jobs.size(),
        [&](std::size_t k) {
            const DownloadJob& job = jobs[k];
            Work item;
            item.remote = &job.remote;
            item.local = job.Local();
            item.expectedSize = job.expectedSize;
            item.check = job.check.get();
            if (job.resume) {
                item.from = job.resume->from;
                item.validator = job.resume->validator;
                item.total = job.resume->total;
            }
            item.optional = job.optional;
            item.makeBody = [&job, &folder, &folders, &worker](std::uint64_t from) -> std::unique_ptr<Body> {
                if (job.check && !worker) worker.emplace();
                return std::make_unique<StagedBody>(job, from, folder, folders, worker ? &*worker : nullptr);
            };
            return item;
        },
        &listener);
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
