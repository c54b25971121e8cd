// What the checks of a repository find: one fault of one file, in words an
// operator can act on.
#pragma once

#include <ostream>
#include <string>
#include <vector>

struct Problem {
    std::string file;     // the repository file (or URL) at fault
    std::string message;  // what is wrong and what it does to players
    std::string missing;  // for a listed game file missing under files/: its entry
};

// "file: message", one line each, escaped (names.h).
void PrintProblems(const std::vector<Problem>& problems, std::ostream& out);
