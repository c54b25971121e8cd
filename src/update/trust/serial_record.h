// Config\updater.serial: the highest serials this game folder has accepted,
// and the set of keys that signed them. A serial means something only under
// the keys that signed it, so a folder held back by one key set (a serial at
// its maximum, a key lost or stolen) starts afresh under a new set.
//
//   kestralon-serial 3
//   <key set> <release serial> <fresh serial>
//
// The key set is SHA-256, in 64 lowercase hex digits, of the sorted release
// key ids, comma-separated, followed when the build has freshness keys of
// their own by ";" and their sorted ids. The earlier shapes
// ("kestralon-serial 1" and "2") counted the serial of qoro_update_infos.meta,
// which this updater does not read: they hold nothing back.
#pragma once

#include <compare>
#include <cstdint>
#include <string>
#include <vector>

#include "update/trust/crypto.h"

// Release metadata and fresh metadata are ordered by the release serial
// first: a freshness key can hold a release back, never a later release.
struct AcceptedSerials {
    std::uint64_t release = 0;
    std::uint64_t fresh = 0;
    auto operator<=>(const AcceptedSerials&) const = default;
};

std::string KeySetName(const std::vector<PublicKey>& releaseKeys, const std::vector<PublicKey>& freshKeys);

// The serials recorded for keySet in text; zeros when text is another key
// set's, an earlier shape, malformed or empty.
AcceptedSerials RecordedSerials(const std::string& text, const std::string& keySet);

std::string FormatSerialRecord(const std::string& keySet, const AcceptedSerials& serials);
