// The extras of a release (update/trust/extras.h) on the operator's side:
// carried from one signing to the next, written beside the release
// metadata they are bound to, and checked by verify.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "operator/problem.h"
#include "operator/repository_folder.h"
#include "operator/signing_key.h"
#include "update/trust/extras.h"

// The present extras when the given keys signed them; nothing when there
// are none. Present but not signed by those keys: a refusal, since what they
// record (the files versions dropped) would otherwise be lost or forged.
std::optional<ReleaseExtras> PresentExtras(const RepositoryFolder& repository,
                                           const std::vector<PublicKey>& keys,
                                           std::vector<std::string>& refusals);

// Writes the extras bound to the release metadata text release, after
// their signatures (the present ones kept beside them while they change).
// Returns the final signature file.
std::string WriteSignedExtras(const RepositoryFolder& repository, ReleaseExtras extras,
                              const std::string& release, const std::vector<SigningKey>& keys,
                              const std::map<std::string, std::string>& oldSignatures);

// The extras' problems, when there are extras: signatures short of the
// release keys (not checked when keys is empty), malformed, or bound to
// another release metadata than releaseBytes.
void CheckExtras(const RepositoryFolder& repository, const std::vector<PublicKey>& keys,
                 std::size_t threshold, const std::string& releaseBytes, std::vector<Problem>& problems);
