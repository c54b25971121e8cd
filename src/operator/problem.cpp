#include "operator/problem.h"

void PrintProblems(const std::vector<Problem>& problems, std::ostream& out) {
    for (const Problem& problem : problems) out << problem.file << ": " << problem.message << "\n";
}
