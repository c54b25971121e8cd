// The serials a game folder accepted, Config\updater.serial
// (RecordedSerials): read under the build's key set and under the key set
// the record names, what it gives is what FormatSerialRecord writes back,
// and a record that gives anything is exactly that text.
#include "fuzz_support.h"
#include "update/formats/number_text.h"
#include "update/formats/text_lines.h"
#include "update/trust/key_text.h"
#include "update/trust/serial_record.h"

namespace {

void CheckUnder(const std::string& text, const std::string& keySet) {
    const AcceptedSerials serials = RecordedSerials(text, keySet);
    const std::string written = FormatSerialRecord(keySet, serials);
    FUZZ_CHECK(RecordedSerials(written, keySet) == serials);
    if (serials != AcceptedSerials{}) FUZZ_CHECK(SplitLines(written) == SplitLines(text));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::string kBuildKeySet = [] {
        PublicKey key{};
        ParseHexBytes(
            "60fed4ba255a9d31c961eb74c6356d68c049b8923b61fa6ce669622e60f29fb6"
            "7903fe1008b8bc99a41ae9e95628bc64f2f1b20c2d7e9f5177a3c294d4462299",
            key);
        return KeySetName({key}, {});
    }();
    const std::string text(fuzz::Text(data, size));
    CheckUnder(text, kBuildKeySet);
    // The key set the record names, so that the fuzzer need not find a digest.
    const std::vector<std::string_view> lines = SplitLines(text);
    if (lines.size() >= 2) {
        std::string_view rest = lines[1];
        CheckUnder(text, std::string(fuzz::TakePart(rest, ' ')));
    }
    return 0;
}
