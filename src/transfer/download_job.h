// What the update run hands the downloader: small files to fetch into
// memory, and game files to fetch to disk with the check each body goes
// through as it streams.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

// Checks a body as it streams to disk: fed every byte in order, asked once
// at the end. Made by the caller (the update run owns the digests). Fed on
// the thread that reads staged copies back (check_worker.h), and used by
// one thread at a time.
class ContentCheck {
public:
    virtual ~ContentCheck() = default;
    virtual void Restart() = 0;  // the body starts over from its first byte
    virtual void Update(const char* data, std::size_t size) = 0;
    virtual bool Matches() = 0;  // the whole body has been fed
};

// A small repository file to fetch into memory, refused past `limit` bytes;
// while another mirror is left, the limit also sets how long it may take.
// `tooLong` is the reason shown then; when empty, a generic one. A file with
// a signed size is fetched with that size as its limit, and the caller's
// reason for one that passes it. An optional file's failure is reported,
// not thrown: the run can do without it.
struct TextRequest {
    std::string name;
    std::size_t limit = 0;
    std::string tooLong;
    bool optional = false;
};

// One game file to fetch into `staged`. Thousands of jobs may wait at once:
// each holds as little as it can.
// A partial body left by an earlier attempt (or run): its length, and the
// validator and total of the answer it came from.
struct ResumePoint {
    std::uint64_t from = 0;
    std::string validator;
    std::int64_t total = -1;
};

struct DownloadJob {
    // Appended to BaseUrl, and shown in messages; it ends with the list
    // entry, which messages show too.
    std::string remote;
    std::size_t entryFrom = 0;  // where the entry starts in remote
    std::string staged;         // the staged copy, relative to the game folder
    std::optional<std::uint64_t> expectedSize;
    // Present for a signed repository; fed the body as it arrives.
    std::unique_ptr<ContentCheck> check;
    // A partial body left by an earlier run, when there is one: held apart,
    // as most jobs have none and a list may hold a million jobs.
    std::unique_ptr<ResumePoint> resume;
    // A compressed form of the file (an object, a delta): remote does not
    // end with the entry, which is kept here for messages. Its failure is
    // reported to the listener, not thrown: the file has another way.
    std::string entry;
    bool optional = false;

    std::string_view Local() const {
        return entry.empty() ? std::string_view(remote).substr(entryFrom) : std::string_view(entry);
    }
};
