#include "update/records/settings_record.h"

#include <algorithm>

#include "failure.h"
#include "player_texts.h"
#include "storage/storage.h"
#include "update/formats/repository.h"

std::int16_t InstalledVersion() {
    const std::string text = ReadIni(SettingsFile(), "VERSION", "Game");
    const auto version = ToVersion(LeadingNumber(text));
    if (!version) throw UpdateFailure(texts::BadVersion(Printable(text)));
    return *version;
}

std::string SettingsText(std::int16_t version) {
    return (version < 0 ? "" : " ") + std::to_string(version);
}

bool WriteVersion(std::int16_t version) {
    return WriteIni("VERSION", "Game", SettingsText(version), SettingsFile());
}

bool WriteFinishMarker(const std::string& value) {
    return WriteIni("UPDATER", "Fin", value, SettingsFile());
}

std::uint64_t BandwidthCap() {
    return BandwidthCapOf(ReadIni(SettingsFile(), "UPDATER", "DebitMax"));
}

std::uint64_t BandwidthCapOf(const std::string& text) {
    // A cap that large is no cap: it also keeps the product in range.
    constexpr double kLargestKiB = 1e9;
    const double kib = LeadingNumber(text);
    if (!(kib > 0)) return 0;
    return static_cast<std::uint64_t>(std::clamp(kib, 1.0, kLargestKiB)) * 1024;
}

void RecordFinishMarker(const std::string& value) {
    if (!WriteFinishMarker(value)) throw UpdateFailure(texts::CannotWrite(kSettingsName));
}
