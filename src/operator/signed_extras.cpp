#include "operator/signed_extras.h"

#include <stdexcept>
#include <string>
#include <utility>

#include "operator/file_io.h"
#include "operator/signing.h"
#include "update/trust/signature_file.h"

namespace {

const std::string kIgnored =
    ": keyed updaters go on without the extras (files the new versions drop stay installed, packs go "
    "unused); restore them from the signed state, since sign, publish --key and refresh refuse them";

}  // namespace

std::optional<ReleaseExtras> PresentExtras(const RepositoryFolder& repository,
                                           const std::vector<PublicKey>& keys, std::size_t threshold,
                                           const std::optional<FileDigest>& release,
                                           std::vector<Problem>& problems) {
    const auto bytes = ReadWholeFile(repository.root / kExtrasName);
    if (!bytes) return std::nullopt;
    auto extras = ParseReleaseExtras(*bytes);
    if (!extras) {
        problems.push_back({kExtrasName, "malformed", {}});
        return std::nullopt;
    }
    const std::size_t before = problems.size();
    const auto signatures = ReadWholeFile(repository.root / kExtrasSignatureName);
    if (!signatures || !SignatureKeyIds(*signatures)) {
        problems.push_back({kExtrasSignatureName, signatures ? "malformed" : "missing", {}});
    } else if (const std::size_t count = CountSignedBy(*bytes, *signatures, keys);
               !keys.empty() && count < threshold) {
        problems.push_back({kExtrasSignatureName,
                            "short of the release keys' signatures: " + std::to_string(count) +
                                " valid by the given key(s), " + std::to_string(threshold) + " needed",
                            {}});
    }
    if (!release || extras->release != *release) {
        problems.push_back({kExtrasName,
                            std::string(release ? "made for another " : "made for a ") +
                                kReleaseMetadataName + (release ? "" : " the repository does not have"),
                            {}});
    }
    if (problems.size() != before) return std::nullopt;
    return extras;
}

std::string UntrustedExtras() {
    return std::string(kExtrasName) +
           " is not what the release keys signed for the present release (listed above), so what it records "
           "cannot be trusted: keyed updaters delete the files it records as dropped. Restore it and " +
           kExtrasSignatureName +
           " from a backup of the signed state; or delete both, which forgets those removals (players keep "
           "the files dropped versions no longer list)";
}

std::string WriteSignedExtras(const RepositoryFolder& repository, ReleaseExtras extras,
                              const std::string& release, const std::vector<SigningKey>& keys,
                              const std::map<std::string, std::string>& oldSignatures) {
    extras.release = DigestOf(release);
    const std::string text = FormatReleaseExtras(extras);
    if (text.size() > kLargestExtras) {
        throw std::runtime_error(std::string(kExtrasName) + " would take " + std::to_string(text.size()) +
                                 " bytes, past the " + std::to_string(kLargestExtras) +
                                 " keyed updaters read: they would go on without its removals and packs");
    }
    return WriteSignedFile(repository, kExtrasName, text, keys, oldSignatures);
}

void CheckExtras(const RepositoryFolder& repository, const std::vector<PublicKey>& keys,
                 std::size_t threshold, const std::string& releaseBytes, std::vector<Problem>& problems) {
    const std::size_t before = problems.size();
    PresentExtras(repository, keys, threshold, DigestOf(releaseBytes), problems);
    for (std::size_t k = before; k < problems.size(); ++k) problems[k].message += kIgnored;
}
