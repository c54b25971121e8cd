// Adding a version to a repository from a build folder: the files that are
// new or changed since the published game go under files/, their names into
// the version's list, and the version into the index, last.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "operator/problem.h"
#include "operator/repository_folder.h"
#include "operator/signing.h"

struct PublishOptions {
    std::filesystem::path repository;
    long long version = 0;
    std::filesystem::path build;
    bool dryRun = false;
    bool allowEmpty = false;
    SigningOptions signing;  // no key files: an unsigned repository
};

enum class Change {
    New,       // no version lists it yet, or the extras dropped it since the last that did
    Changed,   // listed, and files/ holds other bytes
    Restored,  // listed, but missing under files/
};

struct PlannedFile {
    std::string path;  // UTF-8, "/" separated
    Change change = Change::New;
    std::uint64_t size = 0;
};

struct PublishPlan {
    std::vector<PlannedFile> files;  // by path
    std::size_t unchanged = 0;
    std::vector<std::string> gone;            // published, but no longer in the build
    bool replacesStrayList = false;           // the version's list exists without being indexed
    std::vector<Problem> repositoryProblems;  // the ones publishing would not repair
    std::vector<std::string> refusals;        // empty when the version can be published
};

// Compares the build with the repository; writes nothing.
PublishPlan PlanPublish(const PublishOptions& options, const RepositoryFolder& repository,
                        std::ostream& progress);

// Carries out an accepted plan: game files, the list, then (with a signing
// plan) the version metadata, the signatures and the top metadata, and the
// index last. Signing, returns the digest of the release metadata written.
std::optional<FileDigest> ApplyPublish(const PublishOptions& options, const RepositoryFolder& repository,
                                       const PublishPlan& plan, std::ostream& progress,
                                       const SigningPlan* signing = nullptr);

// The publish command: plan, report, then apply unless it is a dry run.
// Returns the exit status.
int Publish(const PublishOptions& options, std::ostream& out, std::ostream& err);
