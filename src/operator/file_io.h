// Files of a repository and of a build folder: whole reads, exact content
// comparison, and writes that appear all at once.
#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace fs = std::filesystem;

// Names are UTF-8 inside the tool on every platform.
fs::path Utf8Path(std::string_view utf8);
std::string PathText(const fs::path& path);

// True when inner is outer or lies below it, links and ".." resolved.
bool IsInside(const fs::path& inner, const fs::path& outer);

// The whole file, or nothing when it is not a readable regular file.
std::optional<std::string> ReadWholeFile(const fs::path& path);

// True when both regular files hold exactly the same bytes.
bool SameContent(const fs::path& a, const fs::path& b);

// A file written under a temporary name in its target's folder and moved over
// the target by Commit(), so a reader (nginx, a player) sees either the old
// file or the new one, never a part. Dropped without Commit(), the temporary
// file is removed. Throws std::runtime_error naming the file on any failure.
class PendingFile {
public:
    explicit PendingFile(const fs::path& target);
    ~PendingFile();
    PendingFile(const PendingFile&) = delete;
    PendingFile& operator=(const PendingFile&) = delete;

    void Write(std::string_view bytes);
    void Write(const char* data, std::size_t size);
    void Commit();
    // Commit(), with the bytes on disk before the rename and the rename on
    // disk before it returns: for a record that must survive a power loss
    // whole, old or new.
    void CommitDurably();

private:
    void Close();

    fs::path target_;
    fs::path temp_;
    std::ofstream out_;
    bool committed_ = false;
};

// Copies source over target through a PendingFile. progress(done, total) is
// called after each piece.
void CopyWhole(const fs::path& source, const fs::path& target,
               const std::function<void(std::uint64_t, std::uint64_t)>& progress);
