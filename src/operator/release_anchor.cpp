#include "operator/release_anchor.h"

#include <algorithm>

#include "operator/file_io.h"
#include "update/trust/signature_file.h"

namespace {

std::string Serial(std::uint64_t serial) {
    return "release serial " + std::to_string(serial);
}

std::string Digest(const FileDigest& digest) {
    return "SHA-256 " + Hex(digest.sha256);
}

// "<state> records release serial N of channel C (SHA-256 …)" for this repository.
std::string Records(const StateFile& state, const std::string& channel, const ChannelRecord& record) {
    return PathText(state.path) + " records " + Serial(record.releaseSerial) + " of channel " + channel +
           " (" + Digest(record.release) + ") for this repository";
}

std::string Deleted(const StateFile& state, const std::string& channel, const ChannelRecord& record) {
    return std::string(kReleaseMetadataName) + " is missing, but " + Records(state, channel, record) +
           ": the signed metadata was deleted, and what the repository holds now cannot be told from what "
           "was signed. Restore " +
           kReleaseMetadataName + " and " + kReleaseSignatureName +
           " with those bytes from a backup; or, having checked every file under files/ against your "
           "builds, sign it again with --first-signing (" +
           Serial(record.releaseSerial + 1) + " then)";
}

std::string NeverSigned(const StateFile& state, const std::string& channel) {
    return "the repository has no " + std::string(kReleaseMetadataName) + " and " + PathText(state.path) +
           " has no record of its channel " + channel +
           ": a first signing vouches for every file the repository holds. If it was signed before "
           "(signature files deleted, a state file elsewhere), restore them or give that state file with "
           "--state; if this is its first signing (a new repository, or one published so far without a "
           "key), check what it holds against your builds and go on with --first-signing";
}

std::string Unrecorded(const StateFile& state, const PresentRelease& present) {
    return PathText(state.path) +
           (state.exists ? " has no record of this repository's channel "
                         : " does not exist, so there is no record of this repository's channel ") +
           present.channel + " (it holds " + Serial(present.serial) +
           "): a lost state file, another machine, or the first run of this update-repo; without the record "
           "an older release put back on the server cannot be told from the last one signed. Copy the state "
           "file from the machine that ran last (or give it with --state); or, having checked with "
           "update-repo verify --public-key that the repository holds the latest release, go on with "
           "--new-state";
}

std::string Older(const StateFile& state, const PresentRelease& present, const ChannelRecord& record) {
    return std::string(kReleaseMetadataName) + " has " + Serial(present.serial) +
           ", older than the last that " + Records(state, present.channel, record) +
           ": an older release was put back on the server (players who saw the later one refuse it, new "
           "players would install its content). Restore the recorded release and what it covers from a "
           "backup; or, to serve the older release again on purpose, go on with --allow-rollback";
}

std::string Replaced(const StateFile& state, const PresentRelease& present, const ChannelRecord& record) {
    return std::string(kReleaseMetadataName) + " has the " + Serial(present.serial) + " that " +
           PathText(state.path) + " records for channel " + present.channel + ", but other bytes (" +
           Digest(present.digest) + ", recorded " + Digest(record.release) +
           "): two signings with one serial (two machines with copies of one state?) or a release put back. "
           "Check that the repository holds the release you mean to serve, then go on with --allow-rollback";
}

std::string Later(const StateFile& state, const std::string& channel, const PresentRelease& present,
                  const ChannelRecord& record) {
    return std::string(kReleaseMetadataName) + " has " + Serial(present.serial) +
           ", later than the last that " + Records(state, channel, record) +
           ": signed with another copy of the keys or of the state file, or by someone else";
}

// A signing vouches anew for what the release covers: a release the
// operator did not sign (whoever holds enough keys, or a state restored
// from an old backup) must not pass for theirs unnoticed.
std::string LaterWayOut() {
    return ". If you signed it elsewhere, check it (update-repo verify --public-key KEYS --threshold N) "
           "and go on with --signed-elsewhere; otherwise restore the recorded release and what it covers "
           "from a backup";
}

// Each flag is refused where its case does not arise.
void RefuseNeedlessFlags(ReleaseStanding standing, const std::string& channel, const StateFile& state,
                         const AnchorFlags& flags, AnchorVerdict& verdict) {
    const bool noRelease = standing == ReleaseStanding::Deleted || standing == ReleaseStanding::NeverSigned;
    if (flags.firstSigning && !noRelease) {
        verdict.refusals.push_back("--first-signing is for a repository without " +
                                   std::string(kReleaseMetadataName) + "; this one has it: leave it out");
    }
    const ChannelRecord* record = state.Find(channel);
    if (flags.newState && record) {
        verdict.refusals.push_back(
            "--new-state is for a state without a record of the channel, but " +
            Records(state, channel, *record) +
            ": leave it out (to start that record anew, delete its line from the state file first)");
    }
    if (flags.signedElsewhere && standing != ReleaseStanding::Later) {
        verdict.refusals.push_back(
            "--signed-elsewhere is for a release later than the one recorded; the repository holds no such "
            "release: leave it out");
    }
    const bool rollback = standing == ReleaseStanding::Older || standing == ReleaseStanding::Replaced;
    if (flags.allowRollback && !rollback) {
        verdict.refusals.push_back(
            "--allow-rollback is for a release older than the one recorded; the repository holds no such "
            "release: leave it out");
    }
}

}  // namespace

ReleaseStanding JudgeRelease(const ChannelRecord* record, const std::optional<PresentRelease>& present) {
    if (!present) return record ? ReleaseStanding::Deleted : ReleaseStanding::NeverSigned;
    if (!record) return ReleaseStanding::Unrecorded;
    if (present->serial > record->releaseSerial) return ReleaseStanding::Later;
    if (present->serial < record->releaseSerial) return ReleaseStanding::Older;
    return present->digest == record->release ? ReleaseStanding::Recorded : ReleaseStanding::Replaced;
}

AnchorVerdict JudgeAnchor(ReleaseStanding standing, const StateFile& state, const std::string& channel,
                          const std::optional<PresentRelease>& present, const AnchorFlags& flags,
                          const std::string& command) {
    AnchorVerdict verdict;
    RefuseNeedlessFlags(standing, channel, state, flags, verdict);
    const ChannelRecord* record = state.Find(channel);
    switch (standing) {
        case ReleaseStanding::Recorded:
            break;
        case ReleaseStanding::Later:
            if (command == "refresh" || flags.signedElsewhere) {
                verdict.notes.push_back(Later(state, channel, *present, *record) + "; recorded from now on");
            } else {
                verdict.refusals.push_back(Later(state, channel, *present, *record) + LaterWayOut());
            }
            break;
        case ReleaseStanding::Unrecorded:
            if (!flags.newState) verdict.refusals.push_back(Unrecorded(state, *present));
            break;
        case ReleaseStanding::Older:
        case ReleaseStanding::Replaced:
            if (flags.allowRollback) {
                verdict.notes.push_back(
                    command == "refresh"
                        ? "refresh goes on from " + Serial(present->serial) +
                              " as --allow-rollback asks: players who saw a later release refuse it until a "
                              "release signing passes that one"
                        : command +
                              " signs what the repository holds with a serial above the recorded one, as "
                              "--allow-rollback asks: every player takes it for the latest release");
            } else {
                verdict.refusals.push_back(standing == ReleaseStanding::Older
                                               ? Older(state, *present, *record)
                                               : Replaced(state, *present, *record));
            }
            break;
        case ReleaseStanding::Deleted:
            if (!flags.firstSigning) verdict.refusals.push_back(Deleted(state, channel, *record));
            break;
        case ReleaseStanding::NeverSigned:
            if (!flags.firstSigning) verdict.refusals.push_back(NeverSigned(state, channel));
            break;
    }
    return verdict;
}

std::uint64_t SerialFloor(const StateFile& state, const std::optional<PresentRelease>& present,
                          const std::string& newChannel) {
    std::uint64_t floor = present ? present->serial : 0;
    for (const std::string& channel : {present ? present->channel : newChannel, newChannel}) {
        if (const ChannelRecord* record = state.Find(channel)) floor = std::max(floor, record->releaseSerial);
    }
    return floor;
}
