#include "update/serial_record.h"

#include <algorithm>

#include "update/key_text.h"
#include "update/number_text.h"
#include "update/signed_metadata.h"
#include "update/text_lines.h"

namespace {

constexpr const char* kFirstHeader = "kestralon-serial 1";
constexpr const char* kHeader = "kestralon-serial 2";

std::uint64_t SerialOf(std::string_view text) {
    return ParseDecimal<std::uint64_t>(text).value_or(0);
}

}  // namespace

std::string KeySetName(const std::vector<PublicKey>& keys) {
    std::vector<std::string> ids;
    for (const PublicKey& key : keys) ids.push_back(KeyId(key));
    std::sort(ids.begin(), ids.end());
    ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
    std::string joined;
    for (const std::string& id : ids) joined += (joined.empty() ? "" : ",") + id;
    return Hex(DigestOf(joined).sha256);
}

std::uint64_t RecordedSerial(const std::string& text, const std::string& keySet) {
    const std::vector<std::string_view> lines = SplitLines(text);
    if (lines.size() != 2) return 0;
    if (lines[0] == kFirstHeader) return SerialOf(lines[1]);
    std::string_view rest = lines[1];
    std::string_view recordedSet;
    if (lines[0] != kHeader || !TakeField(rest, ' ', recordedSet) || recordedSet != keySet) return 0;
    return SerialOf(rest);
}

std::string FormatSerialRecord(const std::string& keySet, std::uint64_t serial) {
    return std::string(kHeader) + "\n" + keySet + " " + std::to_string(serial) + "\n";
}
