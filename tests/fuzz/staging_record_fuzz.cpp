// The staging record earlier runs leave in the game folder, updater.staging
// (ReadStagingRecord). A fuzzer never forges a SHA-256, so each input is read
// as it is and once more with each line that is just "sum" made the right
// "sum" line of its piece: the lines behind the sums are fuzzed too. A record
// read names only staged names the updater gives the entries they belong
// to, and written again as a run writes it, it reads back the same.
#include <sstream>

#include "fuzz_support.h"
#include "update/records/working_records.h"

namespace {

std::string Sealed(std::string_view text) {
    std::string sealed, piece;
    for (bool header = true; !text.empty(); header = false) {
        const bool ended = text.find('\n') != std::string_view::npos;
        const std::string_view line = fuzz::TakePart(text, '\n');
        if (!header && line == "sum") {
            sealed += SumLine(piece);
            piece.clear();
        } else {
            sealed += line;
            if (!header) piece.append(line).append("\n");
        }
        if (ended) sealed += '\n';
    }
    return sealed;
}

// The record as StagingRecord::Start writes it: one piece, a "file" line
// for each staged name and a "valid" line when it has a validator.
std::string WrittenAgain(const std::map<std::string, StagedFile>& named) {
    std::string piece;
    for (const auto& [staged, what] : named) {
        piece += "file\t" + staged + '\t' + what.entry + '\n';
        if (!what.validator.empty())
            piece += "valid\t" + staged + '\t' + what.validator + '\t' + std::to_string(what.total) + '\n';
    }
    return std::string(kStagingHeader) + "\n" + piece + SumLine(piece) + "\n";
}

// A total without a validator tells nothing: a body needs both to be continued.
bool Same(const StagedFile& a, const StagedFile& b) {
    return a.entry == b.entry && a.validator == b.validator && (a.validator.empty() || a.total == b.total);
}

void Check(const std::string& text) {
    std::istringstream in(text);
    const std::optional<std::map<std::string, StagedFile>> named = ReadStagingRecord(in);
    if (!named) return;
    for (const auto& [staged, what] : *named) {
        FUZZ_CHECK(IsStagedNameOf(staged, what.entry));
        FUZZ_CHECK(what.validator.find_first_of("\t\n") == std::string::npos);
    }
    std::istringstream again(WrittenAgain(*named));
    const std::optional<std::map<std::string, StagedFile>> reread = ReadStagingRecord(again);
    FUZZ_CHECK(reread && reread->size() == named->size());
    for (const auto& [staged, what] : *named)
        FUZZ_CHECK(reread->count(staged) && Same(reread->at(staged), what));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text = fuzz::Text(data, size);
    Check(std::string(text));
    Check(Sealed(text));
    return 0;
}
