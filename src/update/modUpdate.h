// The update run: from the installed version to the newest one published.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

extern std::int16_t CurrentVersion;
extern std::int16_t NewestVersion;
// Versions newer than the installed one, in index order.
extern std::vector<std::int16_t> NewVersions;
// Entries to download, each once, first occurrence first.
extern std::vector<std::string> FileList;
extern std::int32_t FileCount;

// The repository URLs compiled in (the first, then mirrors), and the
// certificate authorities to trust for https instead of the system's.
extern std::string RepositoryUrls;
extern std::string CertificateAuthorities;
// Transfers at once (the build's setting).
extern int ParallelTransfers;
// The operator's public keys the repository must be signed with; empty for
// an unsigned repository.
extern std::string PublicKeys;

// Reads the installed version, fetches the index and the lists of the newer
// versions, downloads every listed file, records the newest version and sets
// UpdateDone. Throws UpdateFailure or RunCancelled when it stops early; the
// recorded version is then unchanged.
void RunUpdate();
