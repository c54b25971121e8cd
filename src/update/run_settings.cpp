#include "update/run_settings.h"

// The build defines these; the defaults let the portable core build alone.
#ifndef UPDATE_URL
#define UPDATE_URL ""
#endif
#ifndef PARALLEL_TRANSFERS
#define PARALLEL_TRANSFERS 8
#endif
#ifndef UPDATE_PUBLIC_KEY
#define UPDATE_PUBLIC_KEY ""
#endif
#ifndef UPDATE_RELEASE_THRESHOLD
#define UPDATE_RELEASE_THRESHOLD 1
#endif
#ifndef UPDATE_FRESHNESS_KEY
#define UPDATE_FRESHNESS_KEY ""
#endif
#ifndef UPDATE_CHANNEL
#define UPDATE_CHANNEL "live"
#endif
#ifndef UPDATE_CA_FILE
#define UPDATE_CA_FILE ""
#endif
#ifndef TRANSFER_TIMEOUT_SECONDS
#define TRANSFER_TIMEOUT_SECONDS 60
#endif
#ifndef ANSWER_TIMEOUT_SECONDS
#define ANSWER_TIMEOUT_SECONDS 10
#endif
#ifndef METADATA_DEADLINE_SECONDS
#define METADATA_DEADLINE_SECONDS 60
#endif
#ifndef RETRY_PAUSE_MS
#define RETRY_PAUSE_MS 1000
#endif

RunSettings CompiledSettings() {
    RunSettings settings;
    settings.repositoryUrls = UPDATE_URL;
    settings.caFile = UPDATE_CA_FILE;
    settings.parallelTransfers = PARALLEL_TRANSFERS;
    settings.publicKeys = UPDATE_PUBLIC_KEY;
    settings.releaseThreshold = UPDATE_RELEASE_THRESHOLD;
    settings.freshKeys = UPDATE_FRESHNESS_KEY;
    settings.channel = UPDATE_CHANNEL;
    settings.timeoutSeconds = TRANSFER_TIMEOUT_SECONDS;
    settings.answerTimeoutSeconds = ANSWER_TIMEOUT_SECONDS;
    settings.metadataDeadlineSeconds = METADATA_DEADLINE_SECONDS;
    settings.retryPauseMs = RETRY_PAUSE_MS;
    return settings;
}
