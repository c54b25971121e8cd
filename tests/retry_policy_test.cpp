// What the downloader does after a failed attempt, as a table: what happened
// to the attempt, and the step it leads to; and when a small file is overdue.
#include <gtest/gtest.h>

#include <utility>

#include "transfer/retry_policy.h"

namespace {

using Kind = NextStep::Kind;

struct Expected {
    Kind kind = Kind::GiveUp;
    double pauseLow = 0;   // the pause when the jitter draws kLeastJitter
    double pauseHigh = 0;  // ... and when it draws kMostJitter
    bool busyServer = false;
    bool resume = false;
    int withoutProgress = 0;  // attempts without progress, this one included
};

struct Row {
    const char* what;
    FailedAttempt attempt;
    Expected expected;
    int retryPauseMs = 1000;
};

TEST(RetryPolicy, DecidesTheNextStepFromWhatHappened) {
    const Row rows[] = {
        {"cut, part kept with a validator",
         {.failure = Failure::Cut, .attempts = 1, .partKept = true},
         {.kind = Kind::Retry, .pauseLow = 0.5, .pauseHigh = 1.5, .resume = true, .withoutProgress = 1}},
        {"cut, no validator to resume by",
         {.failure = Failure::Cut, .attempts = 1},
         {.kind = Kind::Retry, .pauseLow = 0.5, .pauseHigh = 1.5, .withoutProgress = 1}},
        {"timed out a second time: the pause doubles",
         {.failure = Failure::TimedOut, .attempts = 2, .attemptsWithoutProgress = 1, .partKept = true},
         {.kind = Kind::Retry, .pauseLow = 1, .pauseHigh = 3, .resume = true, .withoutProgress = 2}},
        {"further than ever: not counted, and nothing reset",
         {.failure = Failure::TimedOut, .attempts = 3, .attemptsWithoutProgress = 2, .progressed = true},
         {.kind = Kind::Retry, .pauseLow = 1, .pauseHigh = 3, .withoutProgress = 2}},
        {"further than ever before any failure: the first pause",
         {.failure = Failure::Cut, .attempts = 2, .progressed = true, .partKept = true},
         {.kind = Kind::Retry, .pauseLow = 0.5, .pauseHigh = 1.5, .resume = true, .withoutProgress = 0}},
        {"5xx with a mirror left: switch at once, not counted",
         {.failure = Failure::ServerError, .attempts = 2, .attemptsWithoutProgress = 1, .mirrorLeft = true},
         {.kind = Kind::NextMirror, .withoutProgress = 1}},
        {"5xx on the last mirror",
         {.failure = Failure::ServerError, .attempts = 1},
         {.kind = Kind::Retry, .pauseLow = 0.5, .pauseHigh = 1.5, .withoutProgress = 1}},
        {"503 with a mirror left: its Retry-After is not waited for",
         {.failure = Failure::ServerBusy, .retryAfterSeconds = 5, .attempts = 1, .mirrorLeft = true},
         {.kind = Kind::NextMirror}},
        {"503 on the last mirror waits its Retry-After",
         {.failure = Failure::ServerBusy, .retryAfterSeconds = 5, .attempts = 1},
         {.kind = Kind::Retry, .pauseLow = 5, .pauseHigh = 5, .busyServer = true, .withoutProgress = 1}},
        {"503's Retry-After is honoured up to two minutes",
         {.failure = Failure::ServerBusy, .retryAfterSeconds = 600, .attempts = 1},
         {.kind = Kind::Retry, .pauseLow = 120, .pauseHigh = 120, .busyServer = true, .withoutProgress = 1}},
        {"503 with Retry-After 0",
         {.failure = Failure::ServerBusy, .retryAfterSeconds = 0, .attempts = 1},
         {.kind = Kind::Retry, .busyServer = true, .withoutProgress = 1}},
        {"503 without Retry-After backs off",
         {.failure = Failure::ServerBusy, .attempts = 2, .attemptsWithoutProgress = 1},
         {.kind = Kind::Retry, .pauseLow = 1, .pauseHigh = 3, .withoutProgress = 2}},
        {"429 waits its Retry-After, even with a mirror left",
         {.failure = Failure::TooManyRequests, .retryAfterSeconds = 7, .attempts = 1, .mirrorLeft = true},
         {.kind = Kind::Retry, .pauseLow = 7, .pauseHigh = 7, .busyServer = true, .withoutProgress = 1}},
        {"429 without Retry-After backs off",
         {.failure = Failure::TooManyRequests, .attempts = 1},
         {.kind = Kind::Retry, .pauseLow = 0.5, .pauseHigh = 1.5, .withoutProgress = 1}},
        {"408 backs off and asks for the whole body",
         {.failure = Failure::RequestTimeout, .attempts = 1, .partKept = true, .mirrorLeft = true},
         {.kind = Kind::Retry, .pauseLow = 0.5, .pauseHigh = 1.5, .withoutProgress = 1}},
        {"404 and its like give up at once",
         {.failure = Failure::Final, .attempts = 1, .partKept = true, .mirrorLeft = true},
         {.kind = Kind::GiveUp}},
        {"416 with bytes on disk: the whole body again",
         {.failure = Failure::StartOver, .attempts = 1, .partKept = true},
         {.kind = Kind::Retry, .pauseLow = 0.5, .pauseHigh = 1.5, .withoutProgress = 1}},
        {"altered with a mirror left: switch at once, not counted",
         {.failure = Failure::Altered, .attempts = 1, .partKept = true, .mirrorLeft = true},
         {.kind = Kind::NextMirror}},
        {"altered on the last mirror: the whole body again after a pause",
         {.failure = Failure::Altered, .attempts = 1, .partKept = true},
         {.kind = Kind::Retry, .pauseLow = 0.5, .pauseHigh = 1.5, .withoutProgress = 1}},
        {"altered a third time on the last mirror gives up",
         {.failure = Failure::Altered, .attempts = 3, .attemptsWithoutProgress = 2, .partKept = true},
         {.kind = Kind::GiveUp, .withoutProgress = 3}},
        {"altered, sent to a mirror the run has left: at once to the one in use, not counted",
         {.failure = Failure::Altered,
          .attempts = 2,
          .attemptsWithoutProgress = 1,
          .partKept = true,
          .mirrorLeft = true,
          .sentToEarlierMirror = true},
         {.kind = Kind::Retry, .withoutProgress = 1}},
        {"unreachable with a mirror left",
         {.failure = Failure::Unreachable, .attempts = 1, .mirrorLeft = true},
         {.kind = Kind::NextMirror}},
        {"unreachable on the last mirror",
         {.failure = Failure::Unreachable, .attempts = 1},
         {.kind = Kind::Retry, .pauseLow = 0.5, .pauseHigh = 1.5, .withoutProgress = 1}},
        {"a mirror left is tried whatever the counters say",
         {.failure = Failure::Unreachable, .attempts = 8, .attemptsWithoutProgress = 2, .mirrorLeft = true},
         {.kind = Kind::NextMirror, .withoutProgress = 2}},
        {"the third attempt without progress gives up",
         {.failure = Failure::Cut, .attempts = 3, .attemptsWithoutProgress = 2, .partKept = true},
         {.kind = Kind::GiveUp, .withoutProgress = 3}},
        {"the same, even when the server asked to come back",
         {.failure = Failure::ServerBusy,
          .retryAfterSeconds = 5,
          .attempts = 3,
          .attemptsWithoutProgress = 2},
         {.kind = Kind::GiveUp, .withoutProgress = 3}},
        {"the seventh attempt, further than ever, is tried again",
         {.failure = Failure::Cut, .attempts = 7, .attemptsWithoutProgress = 1, .progressed = true},
         {.kind = Kind::Retry, .pauseLow = 0.5, .pauseHigh = 1.5, .withoutProgress = 1}},
        {"the eighth attempt gives up, further than ever or not",
         {.failure = Failure::Cut, .attempts = 8, .attemptsWithoutProgress = 1, .progressed = true},
         {.kind = Kind::GiveUp, .withoutProgress = 1}},
        {"503 from a mirror the run has left: at once to the one in use, not counted",
         {.failure = Failure::ServerBusy,
          .retryAfterSeconds = 5,
          .attempts = 1,
          .mirrorLeft = true,
          .sentToEarlierMirror = true},
         {.kind = Kind::Retry}},
        {"unreachable, sent to a mirror the run has left, now on the last one",
         {.failure = Failure::Unreachable,
          .attempts = 2,
          .attemptsWithoutProgress = 1,
          .sentToEarlierMirror = true},
         {.kind = Kind::Retry, .withoutProgress = 1}},
        {"a cut from a mirror the run has left is the file's own failure",
         {.failure = Failure::Cut, .attempts = 1, .partKept = true, .sentToEarlierMirror = true},
         {.kind = Kind::Retry, .pauseLow = 0.5, .pauseHigh = 1.5, .resume = true, .withoutProgress = 1}},
        {"no answer in time with a mirror left: left like an unreachable one",
         {.failure = Failure::NoAnswer, .attempts = 1, .mirrorLeft = true},
         {.kind = Kind::NextMirror}},
        {"no answer in time on the last mirror",
         {.failure = Failure::NoAnswer, .attempts = 1},
         {.kind = Kind::Retry, .pauseLow = 0.5, .pauseHigh = 1.5, .withoutProgress = 1}},
        {"a small file not whole in its time, a mirror left: the next, not counted",
         {.failure = Failure::Overdue, .attempts = 1, .attemptsWithoutProgress = 1, .mirrorLeft = true},
         {.kind = Kind::NextMirror, .withoutProgress = 1}},
        {"a small file not whole in its time on the last mirror: given up at once",
         {.failure = Failure::Overdue, .attempts = 1},
         {.kind = Kind::GiveUp}},
        {"a small file overdue from a mirror the run has left: at once to the one in use",
         {.failure = Failure::Overdue, .attempts = 1, .sentToEarlierMirror = true},
         {.kind = Kind::Retry}},
        {"the backoff stops at 30 s",
         {.failure = Failure::Cut, .attempts = 2, .attemptsWithoutProgress = 1},
         {.kind = Kind::Retry, .pauseLow = 20, .pauseHigh = 30, .withoutProgress = 2},
         20000},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        const NextStep low = DecideAfterFailure(row.attempt, row.retryPauseMs, kLeastJitter);
        const NextStep high = DecideAfterFailure(row.attempt, row.retryPauseMs, kMostJitter);
        EXPECT_EQ(low.kind, row.expected.kind);
        EXPECT_EQ(high.kind, row.expected.kind);
        EXPECT_DOUBLE_EQ(low.pauseSeconds, row.expected.pauseLow);
        EXPECT_DOUBLE_EQ(high.pauseSeconds, row.expected.pauseHigh);
        EXPECT_EQ(low.busyServer, row.expected.busyServer);
        EXPECT_EQ(low.resume, row.expected.resume);
        EXPECT_EQ(low.attemptsWithoutProgress, row.expected.withoutProgress);
    }
}

TEST(SmallFileDeadline, HoldsAMirrorNoLongerThanItsBoundWhileAnotherIsLeft) {
    constexpr std::uint64_t kKiB = 1024, kMiB = 1024 * kKiB, kTrickle = 1178;  // a little over a KiB a second
    // Seconds, bytes come, most bytes, a mirror left, deadline, cap, transfers at once: overdue or not.
    const std::pair<SmallFileClock, bool> rows[] = {
        {{59, 0, 4 * kKiB, true}, false},
        {{60, 0, 4 * kKiB, false}, true},
        {{600, 600 * kTrickle, 16 * kMiB, false}, false},  // the last mirror: the allowance alone
        {{119, 119 * kTrickle, 4 * kMiB, true}, false},
        {{121, 121 * kTrickle, 4 * kMiB, true}, true},
        {{62, 62 * kTrickle, 100 * kKiB, true}, true},
        {{71, 10 * kKiB, 4 * kMiB, true}, true},  // a slower trickle meets the allowance first
        {{139, 139 * kKiB, kMiB, true, 60, 100 * kKiB, 8}, false},
        {{139, 139 * kKiB, kMiB, true, 60, 10 * kMiB, 1}, true},
        {{5.1, 6 * kKiB, kMiB, true, 4}, true},
    };
    for (const auto& [clock, overdue] : rows) {
        EXPECT_EQ(SmallFileOverdue(clock), overdue)
            << clock.elapsedSeconds << " s, " << clock.mostBytes << " bytes";
    }
}

}  // namespace
