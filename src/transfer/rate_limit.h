// The cap a player may set on the bandwidth the updater takes, shared by
// every transfer at once: a token bucket that both HTTP backends consult
// before they take more of a body. A backend that may not receive leaves
// the bytes in the socket, and the server's TCP slows down to the cap.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

class RateLimit {
public:
    using Clock = std::chrono::steady_clock;

    // 0: no cap.
    explicit RateLimit(std::uint64_t bytesPerSecond, Clock::time_point now = Clock::now());

    bool Capped() const { return rate_ > 0; }
    // Whether a transfer may take more now. A piece taken may leave the
    // bucket in debt; the next one waits until it is paid.
    bool MayReceive(Clock::time_point now);
    void Received(std::size_t bytes, Clock::time_point now);
    // How long until MayReceive() is true (zero when it already is).
    Clock::duration UntilAllowed(Clock::time_point now);
    // The largest piece a backend should ask for at once: small enough that
    // one piece never overshoots the cap by much over a second.
    std::size_t PieceSize(std::size_t uncapped) const;

private:
    void Refill(Clock::time_point now);

    std::uint64_t rate_;  // bytes a second
    double tokens_;       // bytes that may be taken now; negative: in debt
    double burst_;        // the most tokens saved up while idle
    Clock::time_point last_;
};

// The smallest cap honoured, in bytes a second: below it a transfer would
// seem stalled to the time-outs long before a file arrives.
inline constexpr std::uint64_t kLeastCapBytesPerSecond = 16 * 1024;
