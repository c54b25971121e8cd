// The extras of a release (update/trust/extras.h) on the operator's side:
// carried from one signing to the next, written beside the release
// metadata they are bound to, and checked by verify.
#pragma once

#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "operator/problem.h"
#include "operator/repository_folder.h"
#include "operator/signing_key.h"
#include "update/trust/extras.h"

// The present extras when the release keys signed them for the present
// release: at least threshold valid signatures by keys (not counted when
// keys is empty), and bound to release (its digest, and so its channel;
// none: the repository has no release metadata). Nothing when there are
// none; nothing either, with problems saying why, when they are not so:
// what they record would be carried into the next signing, and keyed
// updaters delete the files recorded as dropped.
std::optional<ReleaseExtras> PresentExtras(const RepositoryFolder& repository,
                                           const std::vector<PublicKey>& keys, std::size_t threshold,
                                           const std::optional<FileDigest>& release,
                                           std::vector<Problem>& problems);

// What the commands that sign or refresh say when PresentExtras found
// problems: the file, and the ways out.
std::string UntrustedExtras();

// Writes the extras bound to the release metadata text release, after
// their signatures (the present ones kept beside them while they change).
// Returns the final signature file.
std::string WriteSignedExtras(const RepositoryFolder& repository, ReleaseExtras extras,
                              const std::string& release, const std::vector<SigningKey>& keys,
                              const std::map<std::string, std::string>& oldSignatures);

// The extras' problems, when there are extras (PresentExtras), each with
// what keyed updaters do about them.
void CheckExtras(const RepositoryFolder& repository, const std::vector<PublicKey>& keys,
                 std::size_t threshold, const std::string& releaseBytes, std::vector<Problem>& problems);
