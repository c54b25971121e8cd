#include "update/records/settings_record.h"

#include <algorithm>

#include "failure.h"
#include "player_texts.h"
#include "update/formats/repository.h"

std::int16_t InstalledVersion(GameFolder& folder) {
    const std::string text = folder.ReadIni("VERSION", "Game");
    const auto version = ToVersion(LeadingNumber(text));
    if (!version) throw UpdateFailure(texts::BadVersion(Printable(text)));
    return *version;
}

std::string SettingsText(std::int16_t version) {
    return (version < 0 ? "" : " ") + std::to_string(version);
}

IoStatus WriteVersion(GameFolder& folder, std::int16_t version) {
    return folder.WriteIni("VERSION", "Game", SettingsText(version));
}

IoStatus WriteFinishMarker(GameFolder& folder, const std::string& value) {
    return folder.WriteIni("UPDATER", "Fin", value);
}

std::uint64_t BandwidthCap(GameFolder& folder) {
    return BandwidthCapOf(folder.ReadIni("UPDATER", "DebitMax"));
}

std::uint64_t BandwidthCapOf(const std::string& text) {
    // A cap that large is no cap: it also keeps the product in range.
    constexpr double kLargestKiB = 1e9;
    const double kib = LeadingNumber(text);
    if (!(kib > 0)) return 0;
    return static_cast<std::uint64_t>(std::clamp(kib, 1.0, kLargestKiB)) * 1024;
}

void RecordFinishMarker(GameFolder& folder, const std::string& value) {
    const IoStatus written = WriteFinishMarker(folder, value);
    if (!written.ok()) throw UpdateFailure(texts::WriteRefused(kSettingsName, IsDiskFull(written)));
}
