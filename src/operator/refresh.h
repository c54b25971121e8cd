// The scheduled job of a signed repository: renews the fresh metadata (its
// serial and short expiry) with a freshness key, which may live on the
// server, after checking that the whole repository is what the release keys
// signed. It never signs content: a planted file or version is named and
// nothing is written. What it refreshed last is kept in the operator's
// state file (operator_state.h), off the repository: an older release put
// back on the server, or fresh metadata deleted or edited there, is refused
// instead of renewed.
#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <ostream>
#include <vector>

#include "update/trust/crypto.h"

struct RefreshOptions {
    std::vector<std::filesystem::path> keyFiles;  // freshness keys
    std::vector<PublicKey> releaseKeys;           // the release keys the content must be signed by
    std::size_t threshold = 1;                    // how many of them
    std::optional<long long> expiresInDays;
    bool dropOtherKeys = false;
    std::optional<std::filesystem::path> stateFile;  // none: beside the first key file
    bool newState = false;                           // no record of the channel: start one
    bool allowRollback = false;                      // refresh an older release on purpose
    // The fresh metadata is missing or unverified: go on from the fresh
    // serial the state records for this very release.
    bool freshFromState = false;
};

// The refresh command. Returns the exit status.
int Refresh(const std::filesystem::path& repository, const RefreshOptions& options, std::ostream& out,
            std::ostream& err);
