// The one time format of the signed metadata, "2027-01-06T10:00:00Z": UTC, to
// the second, read and written as seconds since 1970-01-01T00:00:00Z without
// the system's time zone or locale.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

std::string FormatUtcTime(std::int64_t seconds);

// Exactly that shape, a real date and time from 1970 on; nothing otherwise.
std::optional<std::int64_t> ParseUtcTime(std::string_view text);
