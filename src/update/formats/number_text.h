// Numbers as the signed metadata writes them, one way each so that a file
// has exactly one spelling: plain decimal, and lowercase hex for bytes.
#pragma once

#include <charconv>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <system_error>

// Digits after an optional "-": no "+", no leading zero but for "0", no "-0".
bool IsPlainDecimal(std::string_view text);

// The value of plain decimal text, when it fits T.
template <class T>
std::optional<T> ParseDecimal(std::string_view text) {
    if (!IsPlainDecimal(text)) return std::nullopt;
    T value{};
    const auto parsed = std::from_chars(text.data(), text.data() + text.size(), value);
    if (parsed.ec != std::errc() || parsed.ptr != text.data() + text.size()) return std::nullopt;
    return value;
}

// Lowercase hex, two digits a byte.
std::string HexBytes(std::span<const std::uint8_t> bytes);

// Exactly two lowercase hex digits for each byte of out; false for anything
// else (out may then hold some of the bytes).
bool ParseHexBytes(std::string_view text, std::span<std::uint8_t> out);
