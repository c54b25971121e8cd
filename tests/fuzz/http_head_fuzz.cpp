// An answer's head as a server sends it, read line by line (HeadReader),
// with its Content-Range (ReadContentRange), numbers (HeaderNumber) and the
// redirect it asks for (MayFollow). An input is one byte for the scheme the
// request used (even: http, odd: https), then the head's lines.
#include <limits>

#include "fuzz_support.h"
#include "transfer/http_rules.h"

namespace {

bool IsDigits(std::string_view text) {
    return !text.empty() && text.find_first_not_of("0123456789") == std::string_view::npos;
}

// Any time from far in the past to far ahead, or no date at all, so that
// what the backends' own date parsers may return is covered.
std::optional<std::int64_t> AnyDate(const std::string& text) {
    if (text.empty() || text[0] == 'x') return std::nullopt;
    if (text[0] == '+') return std::numeric_limits<std::int64_t>::max();
    if (text[0] == '-') return std::numeric_limits<std::int64_t>::min();
    std::uint64_t seconds = 0;
    for (const char c : text) seconds = seconds * 131 + static_cast<unsigned char>(c);
    return static_cast<std::int64_t>(seconds);
}

std::string Lower(std::string_view text) {
    std::string lower(text);
    for (char& c : lower) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c | 0x20 : c);
    return lower;
}

void CheckNumber(std::string_view text) {
    const std::int64_t number = HeaderNumber(text);
    FUZZ_CHECK(number >= -1);
    if (number >= 0) FUZZ_CHECK(IsDigits(text) && HeaderNumber(std::to_string(number)) == number);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::string_view from = data[0] % 2 == 0 ? "http" : "https";
    std::string_view rest = fuzz::Text(data + 1, size - 1);
    HeadReader reader(&AnyDate);
    while (!rest.empty()) {
        const std::string_view line = fuzz::TakePart(rest, '\n');
        reader.Line(line);
        CheckNumber(line);
        ResponseHead range;
        ReadContentRange(line, range);
        FUZZ_CHECK(range.rangeStart >= -1 && range.rangeTotal >= -1);
        if (range.rangeStart >= 0 || range.rangeTotal >= 0) FUZZ_CHECK(line.starts_with("bytes "));
    }
    const ResponseHead head = reader.Head();
    FUZZ_CHECK(head.status >= 0 && head.status <= 999);
    FUZZ_CHECK(head.length >= -1 && head.rangeStart >= -1 && head.rangeTotal >= -1);
    FUZZ_CHECK(head.retryAfterSeconds >= -1 && head.retryAfterSeconds <= kLongestRetryAfterSeconds);
    if (!reader.HasStatus()) FUZZ_CHECK(head.status == 0);
    // Never from https back to http, never to any other scheme.
    const std::string location = Lower(reader.Location());
    if (MayFollow(from, reader.Location())) {
        FUZZ_CHECK(!(from == "https" && location.starts_with("http:")));
        for (const char* scheme : {"file:", "ftp:", "data:", "ldap:", "gopher:", "dict:", "smb:", "scp:"})
            FUZZ_CHECK(!location.starts_with(scheme));
    }
    return 0;
}
