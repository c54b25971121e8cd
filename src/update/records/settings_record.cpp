#include "update/records/settings_record.h"

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

void RecordFinishMarker(const std::string& value) {
    if (!WriteFinishMarker(value)) throw UpdateFailure(texts::CannotWrite(kSettingsName));
}
