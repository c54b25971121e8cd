// What makes a path fit for a repository: the updater must accept it, it must
// survive the trip through an ANSI list, and a Windows game folder must be able
// to hold it under exactly that name.
#pragma once

#include <optional>
#include <string>
#include <string_view>

// Why the updater, or a player's Windows file system, would mishandle this
// list entry (UTF-8, "/" or "\" separated); nothing when it is fine. Blank
// entries are the caller's business.
std::optional<std::string> EntryProblem(std::string_view entry);

// Why a build file (UTF-8 path relative to the build folder, "/" separated)
// cannot be published under its name; nothing when it can.
std::optional<std::string> BuildNameProblem(std::string_view path);

// The key under which Windows sees a name: letter case folded over the
// Windows-1252 letters. Meant for names that are representable in it.
std::string FoldCase(std::string_view entry);

// The text with every byte a terminal could take for a command written as
// \xHH: control characters (C0, DEL and C1, which some terminals obey in
// UTF-8 too) and bytes that are not well-formed UTF-8. Whatever a name
// holds, it then stays on its own line and cannot pass for the tool's own
// output. Every text from the repository goes out through it.
std::string Escaped(std::string_view text);

// Escaped and quoted, for a name inside a message.
std::string Shown(std::string_view text);
