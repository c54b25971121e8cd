#include "transfer/retry_policy.h"

#include <algorithm>
#include <cmath>

namespace {

// Attempts of one file that brought it no further, and attempts in all.
constexpr int kAttemptsWithoutProgress = 3;
constexpr int kAttemptsInAll = 8;
// A server's Retry-After is honoured up to this long; backoffs stay below the second.
constexpr int kLongestRetryAfterSeconds = 120;
constexpr double kLongestBackoffSeconds = 30;
// Every attempt without progress doubles the pause.
constexpr double kBackoffGrowth = 2;
constexpr double kMillisecondsPerSecond = 1000;
// A small file's deadline grows by a second for each KiB that has come, so
// that a long list over a slow line, or under the player's cap shared by
// several transfers, is not cut, while a trickle is.
constexpr double kBytesPerExtraSecond = 1024;
// While another mirror is left, a small file also has one more deadline for
// each 4 MiB it may have: 68 KiB/s at the default 60 s, which one transfer
// over a line of a megabit still beats (files at once over a slower line may
// be cut, and come from the next mirror). The largest fixed limits (4 MiB)
// give a server that trickles padding twice the deadline at most, instead of
// the hours the per-KiB allowance alone would wait. The floor follows the
// deadline, which says how patient the build is with a mirror.
constexpr double kBytesPerDeadline = 4.0 * 1024 * 1024;

// The rest of the body may be asked for, if the part on disk can be trusted.
bool LeavesAPart(Failure failure) {
    return failure == Failure::Cut || failure == Failure::TimedOut || failure == Failure::NoAnswer;
}

// The fault is the server's: another mirror may do better. A mirror that
// serves altered files is left too, so that one bad mirror cannot stop
// every player while the others hold what was signed.
bool BlamesTheServer(Failure failure) {
    return failure == Failure::ServerError || failure == Failure::ServerBusy ||
           failure == Failure::Unreachable || failure == Failure::NoAnswer || failure == Failure::Altered ||
           failure == Failure::Overdue;
}

// The server may say when to come back.
bool MayCarryRetryAfter(Failure failure) {
    return failure == Failure::ServerBusy || failure == Failure::TooManyRequests;
}

double Backoff(int failures, int retryPauseMs, double jitter) {
    const double base =
        retryPauseMs / kMillisecondsPerSecond * std::pow(kBackoffGrowth, std::max(0, failures - 1));
    return std::min(kLongestBackoffSeconds, base * jitter);
}

}  // namespace

NextStep DecideAfterFailure(const FailedAttempt& attempt, int retryPauseMs, double jitter) {
    NextStep step;
    step.attemptsWithoutProgress = attempt.attemptsWithoutProgress;
    if (attempt.failure == Failure::Final) return step;
    if (BlamesTheServer(attempt.failure) && attempt.sentToEarlierMirror) {
        // The run has already left that mirror: the file goes to the one in
        // use now, at once, and the failure counts against neither.
        step.kind = NextStep::Kind::Retry;
        step.resume = LeavesAPart(attempt.failure) && attempt.partKept;
        return step;
    }
    if (BlamesTheServer(attempt.failure) && attempt.mirrorLeft) {
        // Not the file's fault: the switch costs it no attempt without progress.
        step.kind = NextStep::Kind::NextMirror;
        return step;
    }
    // A server that took the whole deadline over a small file would take it
    // again: asking it once more only makes the player wait longer.
    if (attempt.failure == Failure::Overdue) return step;
    if (!attempt.progressed) ++step.attemptsWithoutProgress;
    if (step.attemptsWithoutProgress >= kAttemptsWithoutProgress || attempt.attempts >= kAttemptsInAll) {
        return step;
    }
    step.kind = NextStep::Kind::Retry;
    step.resume = LeavesAPart(attempt.failure) && attempt.partKept;
    if (MayCarryRetryAfter(attempt.failure) && attempt.retryAfterSeconds >= 0) {
        step.busyServer = true;
        step.pauseSeconds = std::min(attempt.retryAfterSeconds, kLongestRetryAfterSeconds);
        return step;
    }
    step.pauseSeconds = Backoff(step.attemptsWithoutProgress, retryPauseMs, jitter);
    return step;
}

bool SmallFileOverdue(const SmallFileClock& clock) {
    const double deadline = clock.deadlineSeconds;
    if (clock.elapsedSeconds >= deadline + static_cast<double>(clock.come) / kBytesPerExtraSecond)
        return true;
    if (!clock.mirrorLeft) return false;
    const double most = static_cast<double>(clock.mostBytes);
    double forSize = most / kBytesPerDeadline * deadline;
    // Under the player's cap, each transfer may get no more than its share.
    if (clock.capBytesPerSecond > 0) {
        const double share =
            static_cast<double>(clock.capBytesPerSecond) / std::max(1, clock.transfersAtOnce);
        forSize = std::max(forSize, most / share);
    }
    return clock.elapsedSeconds >= deadline + forSize;
}
