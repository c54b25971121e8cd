// Config\updater.serial: the highest serial this game folder has accepted,
// and the set of keys that signed it. A serial means something only under
// the keys that signed it, so a folder held back by one key set (a serial at
// its maximum, a key lost) starts afresh under a new set.
//
//   kestralon-serial 2
//   <key set> <serial>
//
// The key set is SHA-256 of the sorted key ids, comma-separated, in 64
// lowercase hex digits. The first format ("kestralon-serial 1", then the
// serial alone) predates key sets: it is read as belonging to the present
// set, so a folder keeps refusing replays when its updater is replaced.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "update/crypto.h"

std::string KeySetName(const std::vector<PublicKey>& keys);

// The serial recorded for keySet in text; 0 when text is another key set's,
// malformed or empty.
std::uint64_t RecordedSerial(const std::string& text, const std::string& keySet);

std::string FormatSerialRecord(const std::string& keySet, std::uint64_t serial);
