// Fetching repository files: small ones (the index, the lists, metadata)
// into memory, game files into staged copies beside their targets, several
// at once, with resume, polite retries and mirrors. This layer knows nothing
// of the window: it reports through a DownloadListener, and the update run
// decides what the player sees.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "storage/storage.h"
#include "transfer/download_job.h"
#include "transfer/http.h"

// The repository URL in use, ending in "/"; remote names are appended to it.
// The first mirror that answers, for the rest of the run.
extern std::string BaseUrl;

class DownloadListener {
public:
    virtual ~DownloadListener() = default;
    // Bytes of job k on disk so far, of total (-1 while unknown).
    virtual void Progress(std::size_t job, std::uint64_t done, std::int64_t total) = 0;
    // Job k is complete and checked.
    virtual void Finished(std::size_t job) = 0;
    // Optional job k failed for good (its staged body is left as it is).
    virtual void Failed(std::size_t /*job*/) {}
    // A staged body now has a validator and a total: a later run may ask
    // for the rest of it.
    virtual void Resumable(std::size_t job, const std::string& validator, std::int64_t total) = 0;
    // The server asked to come back later; seconds left before the next try.
    virtual void ServerBusy(int secondsLeft) = 0;
    // Handles window events now and then; may throw to stop everything.
    virtual void Idle() = 0;
    // Sleeps at most `seconds` while handling window events; may throw.
    virtual void Pause(double seconds) = 0;
};

struct DownloadSettings {
    std::vector<std::string> mirrors;  // repository URLs, each ending in "/"
    int parallel = 1;                  // transfers at once
    int timeoutSeconds = 60;           // without data before a transfer fails
    // Before a server has begun to answer (connection and first byte); past
    // it, the server is left like one that cannot be reached.
    int answerTimeoutSeconds = 10;
    // A small file (FetchTexts) must be whole within this, plus a second for
    // each KiB that has come, and while another mirror is left within a bound
    // set by its limit (SmallFileOverdue), or it fails like a server that
    // cannot serve it.
    int metadataDeadlineSeconds = 60;
    int retryPauseMs = 1000;
    std::string caFile;
    int wakeDescriptor = -1;              // see HttpOptions
    std::uint64_t maxBytesPerSecond = 0;  // the player's cap on all transfers together; 0: none
};

// Splits the compiled-in URL setting into mirrors: blanks, commas or
// semicolons separate them.
std::vector<std::string> SplitMirrors(std::string_view setting);

class Downloader {
public:
    explicit Downloader(DownloadSettings settings);
    ~Downloader();
    Downloader(const Downloader&) = delete;
    Downloader& operator=(const Downloader&) = delete;

    // A small repository file, whole, into memory. Refused beyond maxBytes.
    // Throws UpdateFailure with the French reason.
    std::string FetchText(const std::string& remote, std::size_t maxBytes, DownloadListener& listener);
    // Several small files at once, whole, in the order given. An optional
    // one that fails for good is reported to the listener and comes back
    // empty.
    std::vector<std::string> FetchTexts(const std::vector<TextRequest>& files, DownloadListener& listener);

    // The mirror in use, by its place in the settings' list.
    std::size_t Mirror() const;
    // Leaves the mirror in use for the next one, for the rest of the run;
    // false when it was the last.
    bool NextMirror();

    // Every job, at most `parallel` at once, started in order. Returns when
    // all are complete and checked; throws UpdateFailure at the first that
    // fails for good, after stopping the others. Staged bodies that are not
    // complete are left for the caller to keep or remove.
    // The staged copies go into `folder`, each one's own folder made through
    // `folders` when the copy is opened.
    void DownloadFiles(std::vector<DownloadJob>& jobs, DownloadListener& listener, GameFolder& folder,
                       MadeFolders& folders);

    // More transfers than the next fetch makes will follow it: the
    // connections they need may be opened while it runs (nothing is fetched
    // with them, and nothing is reported).
    void Prepare(int transfers);

private:
    struct State;
    std::unique_ptr<State> state_;
};

// The remote name as it goes into the request line: "\" and "/" stay raw
// (the repository's "files\" prefix is literal); blanks, controls, '#', '?',
// '%' and non-ASCII bytes are percent-encoded.
std::string EncodeRemoteName(std::string_view remote);

// The percentage shown for done of expected bytes: the integer part of
// (done / expected) * 100, with the quotient rounded to a double first.
int TransferPercent(std::uint64_t done, std::uint64_t expected);
