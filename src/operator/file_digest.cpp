#include "operator/file_digest.h"

#include <fstream>
#include <optional>
#include <stdexcept>

#include "operator/file_io.h"

FileDigest DigestOfFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    const std::optional<FileDigest> digest = in.is_open() ? DigestOfStream(in) : std::nullopt;
    if (!digest) throw std::runtime_error("cannot read " + PathText(path));
    return *digest;
}
