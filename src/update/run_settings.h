// What an update run is given: where the repository is, how to reach it and
// which keys it must be signed with. The program runs with the settings its
// build compiled in; test and benchmark drivers pass their own.
#pragma once

#include <string>

struct RunSettings {
    // The repository URL, or several (the first, then mirrors, tried in
    // order) separated by blanks, commas or semicolons.
    std::string repositoryUrls;
    // Certificate authorities (a PEM file) to trust for https instead of the
    // system's; empty: the system's.
    std::string caFile;
    int parallelTransfers = 1;  // transfers at once
    // The operator's release keys, which sign what the repository holds
    // ("key1,key2"); empty for an unsigned repository.
    std::string publicKeys;
    // How many distinct release keys must sign.
    int releaseThreshold = 1;
    // The keys that sign only the serial and the expiry of what the release
    // keys signed; empty: the release keys do that too.
    std::string freshKeys;
    // The channel the release metadata must name (a test repository signed
    // with the same keys names another).
    std::string channel = "live";
    int timeoutSeconds = 60;  // without data (or a connection) before a transfer fails
    // For a server to begin to answer (connection and first byte) before
    // the run leaves it for the next mirror.
    int answerTimeoutSeconds = 10;
    // For a small repository file (the index, a list, metadata, signatures)
    // to be whole, plus a second for each KiB it brought; past it, the run
    // leaves the server for the next mirror.
    int metadataDeadlineSeconds = 60;
    int retryPauseMs = 1000;  // the first pause before a failed transfer is tried again
    // Instead of updating: check every installed file against the installed
    // version's signed metadata and fetch again those that differ.
    bool repair = false;
};

// The settings this build was configured with.
RunSettings CompiledSettings();
