// What to do after an attempt at a file failed: give up, try again after a
// pause, or move to the next mirror; and when a small file has had its time.
// The rules are pure functions of what happened, so that they read and test
// as tables; the transfer loop only applies the answers.
#pragma once

#include <cstdint>

// How an attempt failed, as far as trying again is concerned.
enum class Failure {
    Final,            // trying again cannot help: a 404, a refused certificate, a full disk
    Cut,              // the body broke off: the rest may be asked for
    TimedOut,         // nothing arrived for the time-out: the rest may be asked for
    StartOver,        // the part on disk cannot be continued (altered, a range that does
                      // not fit, nothing left past its end): the whole body again
    Altered,          // the body is not what the signed metadata describes: the whole
                      // body again, from another mirror if there is one
    RequestTimeout,   // 408: the server tired of waiting for the request
    ServerError,      // a 5xx answer other than 503
    ServerBusy,       // 503: another mirror, or the server's Retry-After
    TooManyRequests,  // 429: the server's Retry-After
    Unreachable,      // no connection could be made
    NoAnswer,         // connected (or still connecting) but no answer came in time
    Overdue,          // a small file was not whole in its time: another mirror, or given up
};

struct FailedAttempt {
    Failure failure = Failure::Final;
    int retryAfterSeconds = -1;       // the server's Retry-After; -1 when it sent none
    int attempts = 0;                 // at this file, this one included
    int attemptsWithoutProgress = 0;  // earlier ones that brought the file no further
    bool progressed = false;          // this one got further into the body than any before
    bool partKept = false;            // bytes are on disk with a validator to ask for the rest by
    bool mirrorLeft = false;          // another repository URL is left to try
    // The attempt went to a mirror the run has already left: its failure
    // says nothing of the mirror in use now.
    bool sentToEarlierMirror = false;
};

struct NextStep {
    enum class Kind { GiveUp, Retry, NextMirror };
    Kind kind = Kind::GiveUp;
    double pauseSeconds = 0;          // before the next try
    bool busyServer = false;          // the pause is the server's own: the player sees it count down
    bool resume = false;              // the next try asks for the rest, not the whole body
    int attemptsWithoutProgress = 0;  // the count once this attempt is added
};

// Backoff pauses are scaled by a factor drawn uniformly from this range, so
// that players cut off together do not all come back at the same moment.
inline constexpr double kLeastJitter = 0.5;
inline constexpr double kMostJitter = 1.5;

// `jitter` is the caller's draw from [kLeastJitter, kMostJitter];
// `retryPauseMs` the first backoff, before any doubling.
NextStep DecideAfterFailure(const FailedAttempt& attempt, int retryPauseMs, double jitter);

// Where one attempt at a small repository file (the index, a list, metadata,
// a signature) stands.
struct SmallFileClock {
    double elapsedSeconds = 0;  // since its request
    std::uint64_t come = 0;     // body bytes that have come
    // The most its body may have: its signed size, or its fixed limit.
    std::uint64_t mostBytes = 0;
    bool mirrorLeft = false;  // a mirror after the one it was asked of
    int deadlineSeconds = 60;
    std::uint64_t capBytesPerSecond = 0;  // the player's cap on all transfers together; 0: none
    int transfersAtOnce = 1;              // that may share the cap
};

// True once the file should have been whole. It always has the deadline
// plus a second for each KiB that came, so that a long file over a slow
// line, on the last mirror, is never cut. While another mirror is left, it
// must also be whole within a bound that no trickle can stretch: the
// deadline plus the time its known size takes at a floor rate that a real
// server beats over a slow line, a floor lowered to the cap's share.
bool SmallFileOverdue(const SmallFileClock& clock);
