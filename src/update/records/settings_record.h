// What the updater keeps in the client settings file it shares with the
// game: the installed version ([VERSION] Game) and the finish marker
// ([UPDATER] Fin); and the one setting a player may add, the cap on the
// bandwidth the updater takes ([UPDATER] DebitMax). Every read and write of
// them goes through here.
#pragma once

#include <cstdint>
#include <string>

#include "storage/storage.h"

// The installed version. Throws UpdateFailure when the recorded text is not a
// 16-bit version number.
std::int16_t InstalledVersion(GameFolder& folder);

// The version text written to the settings file: the sign position first.
std::string SettingsText(std::int16_t version);

// Writes [VERSION] Game.
IoStatus WriteVersion(GameFolder& folder, std::int16_t version);

// Writes [UPDATER] Fin.
IoStatus WriteFinishMarker(GameFolder& folder, const std::string& value);
// The same, for a run that must stop when it cannot: throws UpdateFailure.
void RecordFinishMarker(GameFolder& folder, const std::string& value);

// [UPDATER] DebitMax: the most the updater may receive, in kibibytes a
// second (Ko/s), read as the leading number of the text like [VERSION]
// Game. In bytes a second; 0 (no cap) when the key is absent, empty, not a
// number, or not above 0.
std::uint64_t BandwidthCap(GameFolder& folder);
// The same, of the key's text.
std::uint64_t BandwidthCapOf(const std::string& text);
