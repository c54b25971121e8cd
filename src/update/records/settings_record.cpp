#include "update/records/settings_record.h"

#include "failure.h"
#include "update/formats/repository.h"

std::int16_t InstalledVersion(GameFolder& folder) {
    const std::string text = folder.ReadIni("VERSION", "Game");
    const auto version = ToVersion(LeadingNumber(text));
    if (!version) throw UpdateFailure("Version invalide: " + Printable(text) + ".");
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

void RecordFinishMarker(GameFolder& folder, const std::string& value) {
    if (!WriteFinishMarker(folder, value).ok())
        throw UpdateFailure(std::string("Impossible d'écrire ") + kSettingsName + ".");
}
