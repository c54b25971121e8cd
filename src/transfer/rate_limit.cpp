#include "transfer/rate_limit.h"

#include <algorithm>

namespace {

// The bucket holds at most this long a share of the cap: a transfer that
// waited may catch up a little, never by a burst that shows over a second.
constexpr double kBurstSeconds = 0.1;
constexpr std::size_t kLeastPiece = 4 * 1024;

}  // namespace

RateLimit::RateLimit(std::uint64_t bytesPerSecond, Clock::time_point now)
    : rate_(bytesPerSecond == 0 ? 0 : std::max(bytesPerSecond, kLeastCapBytesPerSecond)),
      tokens_(static_cast<double>(rate_) * kBurstSeconds),
      burst_(static_cast<double>(rate_) * kBurstSeconds),
      last_(now) {}

void RateLimit::Refill(Clock::time_point now) {
    if (now <= last_) return;
    const double seconds = std::chrono::duration<double>(now - last_).count();
    tokens_ = std::min(burst_, tokens_ + seconds * static_cast<double>(rate_));
    last_ = now;
}

bool RateLimit::MayReceive(Clock::time_point now) {
    if (!Capped()) return true;
    Refill(now);
    return tokens_ > 0;
}

void RateLimit::Received(std::size_t bytes, Clock::time_point now) {
    if (!Capped()) return;
    Refill(now);
    tokens_ -= static_cast<double>(bytes);
}

RateLimit::Clock::duration RateLimit::UntilAllowed(Clock::time_point now) {
    if (MayReceive(now)) return Clock::duration::zero();
    // Just past the moment the debt is paid, so that the wake-up finds it paid.
    const double seconds = (-tokens_ + 1) / static_cast<double>(rate_);
    return std::chrono::ceil<Clock::duration>(std::chrono::duration<double>(seconds));
}

std::size_t RateLimit::PieceSize(std::size_t uncapped) const {
    if (!Capped()) return uncapped;
    return std::clamp(static_cast<std::size_t>(burst_), kLeastPiece, uncapped);
}
