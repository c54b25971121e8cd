#include "update/trust/serial_record.h"

#include <algorithm>

#include "update/formats/number_text.h"
#include "update/formats/text_lines.h"
#include "update/trust/key_text.h"
#include "update/trust/signed_metadata.h"

namespace {

constexpr const char* kHeader = "kestralon-serial 3";

std::string SortedIds(const std::vector<PublicKey>& keys) {
    std::vector<std::string> ids;
    for (const PublicKey& key : keys) ids.push_back(KeyId(key));
    std::sort(ids.begin(), ids.end());
    ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
    std::string joined;
    for (const std::string& id : ids) joined += (joined.empty() ? "" : ",") + id;
    return joined;
}

}  // namespace

std::string KeySetName(const std::vector<PublicKey>& releaseKeys, const std::vector<PublicKey>& freshKeys) {
    std::string joined = SortedIds(releaseKeys);
    if (!freshKeys.empty()) joined += ";" + SortedIds(freshKeys);
    return Hex(DigestOf(joined).sha256);
}

AcceptedSerials RecordedSerials(const std::string& text, const std::string& keySet) {
    const std::vector<std::string_view> lines = SplitLines(text);
    if (lines.size() != 2 || lines[0] != kHeader) return {};
    const std::vector<std::string_view> words = SplitFields(lines[1], ' ');
    if (words.size() != 3 || words[0] != keySet) return {};
    const auto release = ParseDecimal<std::uint64_t>(words[1]);
    const auto fresh = ParseDecimal<std::uint64_t>(words[2]);
    if (!release || !fresh) return {};
    return {*release, *fresh};
}

std::string FormatSerialRecord(const std::string& keySet, const AcceptedSerials& serials) {
    return std::string(kHeader) + "\n" + keySet + " " + std::to_string(serials.release) + " " +
           std::to_string(serials.fresh) + "\n";
}
