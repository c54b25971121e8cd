// Lines and fields of the program's own small text files: the signed
// metadata, the staging record and the commit journal. Their lines end in
// "\n"; one "\r" before it is dropped, so a file that went through a Windows
// editor reads the same. (The repository's lists and index have line rules of
// their own: repository.h.)
#pragma once

#include <optional>
#include <string_view>
#include <vector>

// The lines of text. The last one needs no "\n", and a final "\n" starts no
// empty line: an empty text has no line.
std::vector<std::string_view> SplitLines(std::string_view text);

// The same lines, but nothing when the text is empty or its last line has no
// "\n": a file cut while being written is not taken for a whole one.
std::optional<std::vector<std::string_view>> SplitEndedLines(std::string_view text);

// Moves the field before the next separator from rest into field. False, and
// both unchanged, when rest holds no separator.
bool TakeField(std::string_view& rest, char separator, std::string_view& field);

// Every field between separators, empty ones included: n separators make
// n + 1 fields.
std::vector<std::string_view> SplitFields(std::string_view line, char separator);
