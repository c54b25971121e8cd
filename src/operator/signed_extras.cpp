#include "operator/signed_extras.h"

#include <utility>

#include "operator/file_io.h"
#include "operator/signing.h"
#include "update/trust/signature_file.h"

namespace {

const std::string kIgnored =
    ": keyed updaters go on without the extras (files the new versions drop stay installed, packs go "
    "unused); update-repo sign writes them anew";

}  // namespace

std::optional<ReleaseExtras> PresentExtras(const RepositoryFolder& repository,
                                           const std::vector<PublicKey>& keys,
                                           std::vector<std::string>& refusals) {
    const auto bytes = ReadWholeFile(repository.root / kExtrasName);
    if (!bytes) return std::nullopt;
    const auto signatures = ReadWholeFile(repository.root / kExtrasSignatureName);
    auto extras = ParseReleaseExtras(*bytes);
    if (!extras || !signatures || !IsSignedBy(*bytes, *signatures, keys)) {
        if (!keys.empty()) {
            refusals.push_back(std::string(kExtrasName) +
                               " carries no valid signature by the given key(s), so the files it records as "
                               "dropped cannot be trusted: restore it and " +
                               kExtrasSignatureName +
                               " from a backup, or sign with a key that signed them; deleting both forgets "
                               "those removals");
        }
        return std::nullopt;
    }
    return extras;
}

std::string WriteSignedExtras(const RepositoryFolder& repository, ReleaseExtras extras,
                              const std::string& release, const std::vector<SigningKey>& keys,
                              const std::map<std::string, std::string>& oldSignatures) {
    extras.release = DigestOf(release);
    return WriteSignedFile(repository, kExtrasName, FormatReleaseExtras(extras), keys, oldSignatures);
}

void CheckExtras(const RepositoryFolder& repository, const std::vector<PublicKey>& keys,
                 std::size_t threshold, const std::string& releaseBytes, std::vector<Problem>& problems) {
    const auto bytes = ReadWholeFile(repository.root / kExtrasName);
    if (!bytes) return;
    const auto extras = ParseReleaseExtras(*bytes);
    if (!extras) {
        problems.push_back({kExtrasName, "malformed" + kIgnored, {}});
        return;
    }
    const auto signatures = ReadWholeFile(repository.root / kExtrasSignatureName);
    if (!signatures || !SignatureKeyIds(*signatures)) {
        problems.push_back(
            {kExtrasSignatureName, std::string(signatures ? "malformed" : "missing") + kIgnored, {}});
    } else if (!keys.empty() && CountSignedBy(*bytes, *signatures, keys) < threshold) {
        problems.push_back({kExtrasSignatureName, "short of the release keys' signatures" + kIgnored, {}});
    }
    if (extras->release != DigestOf(releaseBytes)) {
        problems.push_back(
            {kExtrasName, std::string("made for another ") + kReleaseMetadataName + kIgnored, {}});
    }
}
