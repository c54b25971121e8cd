#include "operator/file_digest.h"

#include <fstream>
#include <stdexcept>
#include <vector>

#include "operator/file_io.h"

namespace {

constexpr std::size_t kPiece = 1 << 20;

}  // namespace

FileDigest DigestOfFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in.is_open()) throw std::runtime_error("cannot read " + PathText(path));
    Sha256 hash;
    std::vector<char> piece(kPiece);
    std::uint64_t size = 0;
    while (in) {
        in.read(piece.data(), static_cast<std::streamsize>(piece.size()));
        const auto got = static_cast<std::size_t>(in.gcount());
        hash.Update(piece.data(), got);
        size += got;
    }
    if (in.bad()) throw std::runtime_error("cannot read " + PathText(path));
    return {size, hash.Finish()};
}
