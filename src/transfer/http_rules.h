// The rules of HTTP that both backends apply the same way: how an answer's
// headers are read, which answers frame their body, which redirects may be
// followed. One place, so that the two builds cannot drift apart.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "transfer/http.h"

// Redirects followed for one request before it counts as a loop.
inline constexpr int kMostRedirects = 10;
// Retry-After is read up to a day; longer is as good as "not today".
inline constexpr std::int64_t kLongestRetryAfterSeconds = 24 * 3600;

// A whole decimal number; -1 for anything else.
std::int64_t HeaderNumber(std::string_view text);
// "bytes 100-199/1000" into head.rangeStart and head.rangeTotal ("*": -1);
// a 416's "bytes */1000" gives the total alone.
void ReadContentRange(std::string_view value, ResponseHead& head);

// Reads one answer's head line by line, as it arrives. Every answer of a
// redirect chain starts again with its status line; only the last one's
// headers count.
class HeadReader {
public:
    // Seconds from now until an HTTP date; nothing when the text is not one.
    // Each backend reads dates with its platform's own parser.
    using DateReader = std::function<std::optional<std::int64_t>(const std::string&)>;
    explicit HeadReader(DateReader secondsUntil) : secondsUntil_(std::move(secondsUntil)) {}

    // One line of the head, with or without its line end: the status line
    // ("HTTP/1.1 200 OK") or a header ("Name: value").
    void Line(std::string_view line);

    // True once a status line has been read.
    bool HasStatus() const { return hasStatus_; }
    // False when the headers contradict each other (two different
    // Content-Length values): nobody can tell where such a body ends.
    bool Consistent() const { return consistent_; }
    // The head as read: the validator is a strong ETag, else Last-Modified.
    ResponseHead Head() const;
    // The Location header of the answer, as sent.
    const std::string& Location() const { return location_; }

private:
    void Header(std::string_view name, std::string_view value);

    DateReader secondsUntil_;
    ResponseHead head_;
    std::string strongTag_;
    std::string lastModified_;
    std::string location_;
    bool hasStatus_ = false;
    bool consistent_ = true;
};

// Statuses whose answers have no body whatever their headers say.
bool HasNoBody(long status);
bool IsRedirect(long status);

// True when the answer's own framing marks where its body ends: a
// Content-Length, a final chunk (when the backend tells a cut chunked body
// from a whole one: chunkEndChecked), the end of an HTTP/2 stream
// (streamEnds), or a status without a body. A body that merely stops when
// the connection closes proves nothing.
bool IsFramed(const ResponseHead& head, bool chunkEndChecked, bool streamEnds);

// Whether a redirect from a URL with scheme `from` to one with scheme `to`
// (lower case) may be followed: http and https only, and never from https
// back to http, which would hand the rest of the transfer to anyone on the way.
bool MayRedirect(std::string_view from, std::string_view to);
// The same for a Location header as sent: a relative one keeps the scheme.
bool MayFollow(std::string_view from, std::string_view location);
