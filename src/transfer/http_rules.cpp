#include "transfer/http_rules.h"

#include <algorithm>
#include <cctype>
#include <charconv>

namespace {

std::string_view Trimmed(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() &&
           (text.back() == ' ' || text.back() == '\t' || text.back() == '\r' || text.back() == '\n'))
        text.remove_suffix(1);
    return text;
}

std::string Lower(std::string_view text) {
    std::string lower(text);
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return lower;
}

}  // namespace

std::int64_t HeaderNumber(std::string_view text) {
    // Digits only: from_chars also takes a minus, and "-0" would read as 0.
    if (text.empty() || text[0] < '0' || text[0] > '9') return -1;
    std::int64_t value = -1;
    const auto parsed = std::from_chars(text.data(), text.data() + text.size(), value);
    if (parsed.ec != std::errc() || parsed.ptr != text.data() + text.size() || value < 0) return -1;
    return value;
}

void ReadContentRange(std::string_view value, ResponseHead& head) {
    if (!value.starts_with("bytes ")) return;
    value.remove_prefix(6);
    // A 416's "bytes */1000": no range, only the file's total.
    if (value.starts_with("*/")) {
        head.rangeTotal = HeaderNumber(value.substr(2));
        return;
    }
    const auto dash = value.find('-');
    const auto slash = value.find('/');
    if (dash == std::string_view::npos || slash == std::string_view::npos || slash < dash) return;
    head.rangeStart = HeaderNumber(value.substr(0, dash));
    head.rangeTotal = HeaderNumber(value.substr(slash + 1));
}

void HeadReader::Line(std::string_view line) {
    line = Trimmed(line);
    if (line.starts_with("HTTP/")) {
        head_ = {};
        strongTag_.clear();
        lastModified_.clear();
        location_.clear();
        hasStatus_ = true;
        consistent_ = true;
        const auto blank = line.find(' ');
        if (blank == std::string_view::npos) return;
        const std::int64_t status = HeaderNumber(line.substr(blank + 1, 3));
        head_.status = status >= 0 ? static_cast<long>(status) : 0;
        return;
    }
    const auto colon = line.find(':');
    if (colon == std::string_view::npos || colon == 0) return;
    Header(Lower(line.substr(0, colon)), Trimmed(line.substr(colon + 1)));
}

void HeadReader::Header(std::string_view name, std::string_view value) {
    if (name == "content-length") {
        const std::int64_t length = HeaderNumber(value);
        if (head_.length >= 0 && length != head_.length) consistent_ = false;
        head_.length = length;
    } else if (name == "transfer-encoding") {
        head_.chunked = Lower(value).find("chunked") != std::string::npos;
    } else if (name == "content-range") {
        ReadContentRange(value, head_);
    } else if (name == "etag") {
        // A weak ETag may not guard a range.
        if (!value.starts_with("W/")) strongTag_ = value;
    } else if (name == "last-modified") {
        lastModified_ = value;
    } else if (name == "location") {
        location_ = value;
    } else if (name == "content-encoding") {
        head_.contentEncoding = value;
    } else if (name == "retry-after") {
        std::int64_t seconds = HeaderNumber(value);
        if (seconds < 0) {
            const auto until = secondsUntil_ ? secondsUntil_(std::string(value)) : std::nullopt;
            seconds = until ? std::max<std::int64_t>(*until, 0) : -1;
        }
        head_.retryAfterSeconds =
            seconds < 0 ? -1 : static_cast<int>(std::min(seconds, kLongestRetryAfterSeconds));
    }
}

ResponseHead HeadReader::Head() const {
    ResponseHead head = head_;
    head.validator = strongTag_.empty() ? lastModified_ : strongTag_;
    return head;
}

bool HasNoBody(long status) {
    return status == 204 || status == 304;
}

bool IsRedirect(long status) {
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

bool IsFramed(const ResponseHead& head, bool chunkEndChecked, bool streamEnds) {
    return head.length >= 0 || (head.chunked && chunkEndChecked) || streamEnds || HasNoBody(head.status);
}

bool MayFollow(std::string_view from, std::string_view location) {
    // A scheme is a letter, then letters, digits, "+", "-" or ".", then ":".
    std::size_t end = 0;
    while (end < location.size() &&
           (std::isalpha(static_cast<unsigned char>(location[end])) ||
            (end > 0 && (std::isdigit(static_cast<unsigned char>(location[end])) || location[end] == '+' ||
                         location[end] == '-' || location[end] == '.')))) {
        ++end;
    }
    if (end == 0 || end >= location.size() || location[end] != ':') return MayRedirect(from, from);
    return MayRedirect(from, Lower(location.substr(0, end)));
}

bool MayRedirect(std::string_view from, std::string_view to) {
    if (to != "http" && to != "https") return false;
    return !(from == "https" && to == "http");
}
