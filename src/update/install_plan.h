// What an update will fetch and move, decided before the first game file is
// fetched: which files need a transfer, which are already in place, which
// staged bodies earlier runs left can be resumed or used whole, and whether
// the game folder and the disk can take them all.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "storage/storage.h"
#include "transfer/download.h"
#include "update/patch/patch_rebuild.h"
#include "update/records/staging.h"
#include "update/removals.h"
#include "update/trust/pack_index.h"
#include "update/trust/trust.h"

// An installed file the update removes: it holds exactly the signed content.
struct PlannedRemoval {
    std::string entry;
    std::string backup;  // where the commit sets it aside
    FileDigest content;
};

struct InstallPlan {
    // Every file shown, in list order (blank entries are not shown): its
    // number in the file list (from 1).
    std::vector<std::int32_t> numbers;
    // The files to fetch, and each one's place among the files shown.
    std::vector<DownloadJob> jobs;
    std::vector<std::size_t> placeOfJob;
    // Places of files that need no transfer.
    std::vector<std::size_t> inPlace;
    // Whole bodies a killed run left that need only their move: staged name, entry.
    std::vector<std::pair<std::string, std::string>> leftWhole;
    // Files that travel compressed or as deltas; their jobs are among jobs.
    std::vector<PatchedFile> patched;
    // The jobs that serve a patched file, in job order: job -> patched file.
    // Only those: an update of a million files fetched whole holds none.
    std::vector<std::pair<std::size_t, std::size_t>> patchedJobs;

    // The parts of the pack the files come from, when they come from one:
    // the first jobs of the plan, each serving the patched files packed in it.
    struct Part {
        std::string staged;
        FileDigest digest;
        std::optional<std::size_t> job;    // none: an earlier run verified it
        std::vector<std::size_t> members;  // patched files
    };
    std::vector<Part> parts;
    std::vector<std::size_t> partOfJob;  // the first jobs: job -> part

    // The patched file job k serves, if any.
    std::optional<std::size_t> PatchedOfJob(std::size_t k) const;
    // Installed files the newest version no longer has, set aside by the
    // commit like replaced ones, and gone once the version is recorded.
    std::vector<PlannedRemoval> removals;
    // The part job k fetches, if any.
    std::optional<std::size_t> PartOfJob(std::size_t k) const;
    // A repair's files that something is in the way of (a folder where the
    // file goes, a file where its folder goes): their positions in the file
    // list. The others are repaired without them.
    std::vector<std::size_t> blocked;
};

// Plans the install of every entry of fileList, and the removal of the
// files due that hold exactly a signed content (reached through folders,
// never through a link; anything else there stays). An entry due for
// removal that a version before the drop lists is not fetched; a needed
// content that a file to remove holds is copied from it rather than
// fetched. With a pack (its index checked), the entries it carries as
// members come from its parts; the others travel as the trust's offer
// says. Throws UpdateFailure for an entry the game folder cannot take as a
// file, and when the disk cannot take the update. Nothing is written: the
// folders are made as files arrive.
InstallPlan PlanInstall(GameFolder& folder, const std::vector<std::string>& fileList,
                        const IsListed& isListed, StagingRecord& staging, const RepositoryTrust& trust,
                        const std::vector<DueRemoval>& due = {}, const PackIndex* pack = nullptr);

// A repair's plan: the files at these positions of fileList, installed
// wrong or missing, fetched again as the installed version's objects (whole
// when the server has none), but those the game folder cannot take as files
// (plan.blocked); and the removal of the files due that hold exactly a
// signed content, as an update's.
InstallPlan PlanRepair(GameFolder& folder, const std::vector<std::string>& fileList,
                       const std::vector<std::size_t>& damaged, const IsListed& isListed,
                       StagingRecord& staging, const RepositoryTrust& trust,
                       const std::vector<DueRemoval>& due = {});

// The removals of a run that installs nothing: the files due that hold
// exactly a signed content, as PlanInstall plans them.
InstallPlan PlanRemovalsOnly(GameFolder& folder, const std::vector<DueRemoval>& due, StagingRecord& staging,
                             const IsListed& isListed);

// Whether the installed file holds exactly one of the removal's contents,
// as PlanInstall decides it. Throws UpdateFailure as PlanInstall does.
bool HoldsDroppedContent(GameFolder& folder, const DueRemoval& due);

// The jobs of the first way of patched file k (appended to plan.jobs), with
// their staged names (recorded by the next Flush()); what an earlier run
// verified of that way is taken instead of fetched.
void AddWayJobs(InstallPlan& plan, std::size_t k, StagingRecord& staging, const IsListed& isListed);

// The signed digest of job k, staged under that name, when it fetches a
// compressed object, a delta or a part (not a whole file).
std::optional<FileDigest> ArtifactDigest(const InstallPlan& plan, std::size_t k, const std::string& staged);

// The commit's moves: the removals, the whole leftovers, the fetched whole
// files, then the rebuilt ones.
std::vector<CommitMove> CommitMoves(const InstallPlan& plan);

// The files to remove were read when the run was planned: each is looked at
// again right before the commit, and one that is no longer exactly as
// signed (the player changed it meanwhile) stays where it is. Throws
// UpdateFailure for one that cannot be read.
void RecheckRemovals(GameFolder& folder, InstallPlan& plan);

// The whole leftovers were checked when the run was planned, minutes before
// the commit moves them: each is checked again, a regular file with the
// signed bytes, right before. Throws UpdateFailure for one that changed.
void RecheckLeftovers(GameFolder& folder, const InstallPlan& plan, const RepositoryTrust& trust);
