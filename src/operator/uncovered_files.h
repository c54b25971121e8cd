// The files of a repository that nothing signed names. Players never fetch
// them, so they do no harm by themselves, but whoever can write to the
// server put them there (or an interrupted publish left them), and a later
// publish could take them for its own: the scheduled job names them.
#pragma once

#include <string>
#include <vector>

#include "operator/repository_folder.h"
#include "update/trust/signed_metadata.h"

// Every regular file, link or other non-folder below the repository's root
// that is neither a top metadata or signature file, the index, nor the
// list, version metadata or patch metadata of a version release signs, nor
// a game file, object or delta those name. Paths relative to the root, "/"
// separated, sorted. release must have been checked against the repository
// (its digests match) before.
std::vector<std::string> FilesNothingSignedNames(const RepositoryFolder& repository,
                                                 const RepositoryMetadata& release);
