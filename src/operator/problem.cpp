#include "operator/problem.h"

#include "operator/names.h"

void PrintProblems(const std::vector<Problem>& problems, std::ostream& out) {
    for (const Problem& problem : problems) {
        out << Escaped(problem.file) << ": " << Escaped(problem.message) << "\n";
    }
}
