#include "operator/file_io.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <random>
#include <stdexcept>
#include <system_error>
#include <vector>

#include "storage/storage.h"

namespace {

constexpr std::size_t kPiece = 1 << 20;

// A name nobody else uses in that folder: the target's name, so a stray one
// tells whose it was, and a random tail, so two runs never share one.
fs::path TemporaryBeside(const fs::path& target) {
    static std::mt19937_64 random{std::random_device{}()};
    for (;;) {
        char tail[24];
        std::snprintf(tail, sizeof tail, ".~publish-%08x", static_cast<unsigned>(random() & 0xFFFFFFFFu));
        fs::path candidate = target;
        candidate += tail;
        std::error_code error;
        if (!fs::exists(fs::symlink_status(candidate, error))) return candidate;
    }
}

}  // namespace

fs::path Utf8Path(std::string_view utf8) {
    return fs::path(std::u8string(utf8.begin(), utf8.end()));
}

std::string PathText(const fs::path& path) {
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

bool IsInside(const fs::path& inner, const fs::path& outer) {
    std::error_code error;
    const fs::path a = fs::weakly_canonical(fs::absolute(inner, error), error);
    const fs::path b = fs::weakly_canonical(fs::absolute(outer, error), error);
    const auto [end, _] = std::mismatch(b.begin(), b.end(), a.begin(), a.end());
    // weakly_canonical keeps a trailing separator as an empty last part.
    return end == b.end() || (std::next(end) == b.end() && end->empty());
}

std::optional<std::string> ReadWholeFile(const fs::path& path) {
    std::error_code error;
    if (!fs::is_regular_file(path, error)) return std::nullopt;
    std::ifstream in(path, std::ios::binary);
    if (!in.is_open()) return std::nullopt;
    std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) return std::nullopt;
    return content;
}

bool SameContent(const fs::path& a, const fs::path& b) {
    std::error_code error;
    const auto sizeA = fs::file_size(a, error);
    if (error) return false;
    const auto sizeB = fs::file_size(b, error);
    if (error || sizeA != sizeB) return false;
    std::ifstream inA(a, std::ios::binary);
    std::ifstream inB(b, std::ios::binary);
    if (!inA.is_open() || !inB.is_open()) return false;
    std::vector<char> pieceA(kPiece);
    std::vector<char> pieceB(kPiece);
    for (;;) {
        inA.read(pieceA.data(), static_cast<std::streamsize>(pieceA.size()));
        inB.read(pieceB.data(), static_cast<std::streamsize>(pieceB.size()));
        const auto gotA = inA.gcount();
        if (gotA != inB.gcount()) return false;
        if (std::memcmp(pieceA.data(), pieceB.data(), static_cast<std::size_t>(gotA)) != 0) return false;
        if (gotA == 0 || !inA || !inB) return !inA.bad() && !inB.bad() && inA.eof() == inB.eof();
    }
}

PendingFile::PendingFile(const fs::path& target) : target_(target), temp_(TemporaryBeside(target)) {
    out_.open(temp_, std::ios::binary | std::ios::trunc);
    if (!out_.is_open()) throw std::runtime_error("cannot create " + PathText(temp_));
}

PendingFile::~PendingFile() {
    if (committed_) return;
    out_.close();
    std::error_code ignored;
    fs::remove(temp_, ignored);
}

void PendingFile::Write(std::string_view bytes) {
    Write(bytes.data(), bytes.size());
}

void PendingFile::Write(const char* data, std::size_t size) {
    out_.write(data, static_cast<std::streamsize>(size));
    if (!out_) throw std::runtime_error("cannot write " + PathText(temp_));
}

void PendingFile::Close() {
    if (!out_.is_open()) return;
    out_.close();
    if (out_.fail()) throw std::runtime_error("cannot write " + PathText(temp_));
}

void PendingFile::Commit() {
    Close();
    const fs::path folder = fs::absolute(target_).parent_path();
    const IoStatus moved =
        OpenFolder(folder)->Replace(PathText(temp_.filename()), PathText(target_.filename()));
    if (!moved.ok()) {
        throw std::runtime_error("cannot put " + PathText(target_) + " in place: " + moved.code().message());
    }
    committed_ = true;
}

void PendingFile::CommitDurably() {
    Close();
    std::error_code error;
    const std::unique_ptr<GameFolder> folder = OpenFolder(fs::absolute(target_, error).parent_path());
    const auto flush = [&](const fs::path& name) {
        const IoStatus flushed = folder->Flush({PathText(name.filename())});
        if (!flushed.ok()) throw std::runtime_error("cannot flush " + flushed.Text());
    };
    flush(temp_);
    Commit();
    flush(target_);
}

void CopyWhole(const fs::path& source, const fs::path& target,
               const std::function<void(std::uint64_t, std::uint64_t)>& progress) {
    std::ifstream in(source, std::ios::binary);
    if (!in.is_open()) throw std::runtime_error("cannot read " + PathText(source));
    std::error_code error;
    const std::uint64_t total = fs::file_size(source, error);
    if (error) throw std::runtime_error("cannot read " + PathText(source));
    PendingFile out(target);
    std::vector<char> piece(kPiece);
    std::uint64_t done = 0;
    while (in) {
        in.read(piece.data(), static_cast<std::streamsize>(piece.size()));
        const auto got = static_cast<std::size_t>(in.gcount());
        if (got == 0) break;
        out.Write(piece.data(), got);
        done += got;
        progress(done, total);
    }
    if (in.bad()) throw std::runtime_error("cannot read " + PathText(source));
    // A build file that changed size while it was copied would be published half old, half new.
    if (done != total) throw std::runtime_error(PathText(source) + " changed while it was copied");
    out.Commit();
}
