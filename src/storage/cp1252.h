// Conversions between UTF-8 and Windows-1252.
#pragma once

#include <string>
#include <string_view>

std::string Cp1252ToUtf8(std::string_view ansi);
// Characters outside Windows-1252 become "?", as Windows does.
std::string Utf8ToCp1252(std::string_view utf8);
