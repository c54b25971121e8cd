// The repository's present release against the operator's own record of
// it (operator_state.h). The server can delete signature files, put back an
// older signed release or lose its fresh metadata; only the record, kept off
// the server, tells those from what the operator signed last. Pure: the
// commands give what they found and get refusals and notes.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "operator/operator_state.h"

// A release metadata whose signatures the command checked.
struct PresentRelease {
    std::string channel;
    std::uint64_t serial = 0;
    FileDigest digest;
};

enum class ReleaseStanding {
    Recorded,     // the release recorded
    Later,        // a later serial than recorded: signed elsewhere, or not by the operator
    Unrecorded,   // signed, but the state has no record of its channel
    Older,        // a lower serial than recorded: an older release put back
    Replaced,     // the recorded serial with other bytes
    Deleted,      // no release metadata, yet the state records one
    NeverSigned,  // no release metadata and no record
};

ReleaseStanding JudgeRelease(const ChannelRecord* record, const std::optional<PresentRelease>& present);

// The flags that let an operator go on knowingly. Each is refused where its
// case does not arise, so that none can stay in a script and quietly turn
// the check off.
struct AnchorFlags {
    bool firstSigning = false;   // sign and publish only
    bool newState = false;       // no record of the channel: start one from the repository
    bool allowRollback = false;  // an older (or replaced) release, on purpose
    // A later release than recorded, which the operator signed from another
    // machine (sign and publish only: refresh records a later release)
    bool signedElsewhere = false;
};

struct AnchorVerdict {
    std::vector<std::string> refusals;
    std::vector<std::string> notes;
};

// What the standing means for `command` ("sign", "publish" or "refresh")
// with these flags. channel: the present release's, or the one to sign.
AnchorVerdict JudgeAnchor(ReleaseStanding standing, const StateFile& state, const std::string& channel,
                          const std::optional<PresentRelease>& present, const AnchorFlags& flags,
                          const std::string& command);

// The release serial a signing must at least pass: the present one and the
// recorded ones of both channels (when a signing changes the channel).
std::uint64_t SerialFloor(const StateFile& state, const std::optional<PresentRelease>& present,
                          const std::string& newChannel);
