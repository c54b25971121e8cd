// Conversions between the program's UTF-8 strings and the UTF-16 of the
// Windows API, for the Windows backends only.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>

inline std::wstring Widen(std::string_view text, UINT codePage = CP_UTF8) {
    if (text.empty()) return {};
    const int size = static_cast<int>(text.size());
    const int count = MultiByteToWideChar(codePage, 0, text.data(), size, nullptr, 0);
    if (count <= 0) return {};
    std::wstring wide(static_cast<std::size_t>(count), L'\0');
    MultiByteToWideChar(codePage, 0, text.data(), size, wide.data(), count);
    return wide;
}

inline std::string Narrow(std::wstring_view wide, UINT codePage = CP_UTF8) {
    if (wide.empty()) return {};
    const int size = static_cast<int>(wide.size());
    // Without best fit a character the code page lacks becomes "?", as on
    // Linux, instead of a look-alike ("Ω" would become "O"; a fullwidth
    // solidus a real "/").
    const DWORD flags = codePage == CP_UTF8 ? 0 : WC_NO_BEST_FIT_CHARS;
    const int count = WideCharToMultiByte(codePage, flags, wide.data(), size, nullptr, 0, nullptr, nullptr);
    if (count <= 0) return {};
    std::string text(static_cast<std::size_t>(count), '\0');
    WideCharToMultiByte(codePage, flags, wide.data(), size, text.data(), count, nullptr, nullptr);
    return text;
}
