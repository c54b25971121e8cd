#include "operator/encode/encode_checks.h"

#include <zstd.h>
#include <zstd_errors.h>

#include <stdexcept>
#include <system_error>

namespace fs = std::filesystem;

std::string NameOf(const fs::path& path) {
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

CodecError Unreadable(const fs::path& file) {
    return CodecError(CodecError::Kind::Unreadable, "The file " + NameOf(file) + " could not be read.");
}

std::uint64_t SizeOf(const fs::path& file) {
    std::error_code error;
    if (!fs::is_regular_file(file, error)) throw Unreadable(file);
    const std::uint64_t size = fs::file_size(file, error);
    if (error) throw Unreadable(file);
    return size;
}

void CheckLevel(int level) {
    const ZSTD_bounds bounds = ZSTD_cParam_getBounds(ZSTD_c_compressionLevel);
    if (level < 1 || level > bounds.upperBound) {
        throw std::invalid_argument("Compression level " + std::to_string(level) + " is not between 1 and " +
                                    std::to_string(bounds.upperBound) + ".");
    }
}

void Check(std::size_t status, const fs::path& file) {
    if (!ZSTD_isError(status)) return;
    switch (ZSTD_getErrorCode(status)) {
        case ZSTD_error_memory_allocation:
            throw CodecError(CodecError::Kind::NoMemory,
                             "Not enough memory to compress " + NameOf(file) + ".");
        case ZSTD_error_srcSize_wrong:
            throw CodecError(CodecError::Kind::Unreadable,
                             "The file " + NameOf(file) + " changed size while it was compressed.");
        default:
            throw std::runtime_error("zstd could not compress " + NameOf(file) + ": " +
                                     ZSTD_getErrorName(status) + ".");
    }
}
