// One game file to fetch, as the update run hands it to the downloader, and
// the check its body goes through as it streams to disk.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

// Checks a body as it streams to disk: fed every byte in order, asked once
// at the end. Made by the caller (the update run owns the digests).
class ContentCheck {
public:
    virtual ~ContentCheck() = default;
    virtual void Restart() = 0;  // the body starts over from its first byte
    virtual void Update(const char* data, std::size_t size) = 0;
    virtual bool Matches() = 0;  // the whole body has been fed
};

// One game file to fetch into `staged`.
struct DownloadJob {
    std::string remote;  // appended to BaseUrl; also shown in messages
    std::string local;   // the list entry, shown in messages
    std::filesystem::path staged;
    std::optional<std::uint64_t> expectedSize;
    // Present for a signed repository; fed the body as it arrives.
    std::unique_ptr<ContentCheck> check;
    // A partial body left by an earlier attempt (or run): its length, and the
    // validator and total of the answer it came from.
    std::uint64_t resumeFrom = 0;
    std::string validator;
    std::int64_t resumeTotal = -1;
};
