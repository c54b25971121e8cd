// Checks a repository before players see it: locally, the files as the
// updater will read them; over HTTP, what the server really sends.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "operator/problem.h"
#include "operator/repository_folder.h"

// Every problem of the index, the lists and files/, in file order.
std::vector<Problem> CheckRepository(const RepositoryFolder& repository);

// Requests everything a player who updates from scratch requests, from
// baseUrl (ending in "/"), and compares it with the local files: status,
// length and bytes. With signedFiles, the signed metadata files too, as an
// updater with a key requests them. Progress goes to progress.
std::vector<Problem> CheckServer(const RepositoryFolder& repository, const std::string& baseUrl,
                                 int timeoutSeconds, bool signedFiles, std::ostream& progress);
