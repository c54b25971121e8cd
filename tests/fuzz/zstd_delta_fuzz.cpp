// A delta as a server sends it, applied to an installed file (ApplyDelta),
// under the limits of codec_support.h: its window is at most the old file's
// size plus kDeltaGrowthBytes. After `most`, an input holds the old file's
// size (2 bytes, little-endian), the old file, then the delta.
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "codec_support.h"

namespace {

// The old file is a real file, as the updater maps one, in a folder of this
// process's own that goes when the process ends.
const std::filesystem::path& OldFile() {
    static const std::filesystem::path folder =
        std::filesystem::temp_directory_path() / ("fuzz-delta-" + std::to_string(getpid()));
    static const std::filesystem::path file = [] {
        std::filesystem::create_directories(folder);
        std::atexit([] {
            std::error_code ignored;
            std::filesystem::remove_all(folder, ignored);
        });
        return folder / "old.bin";
    }();
    return file;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::CodecInput input = fuzz::ReadCodecInput(data, size);
    if (input.rest.size() < 2) return 0;
    const std::size_t oldSize = std::min<std::size_t>(
        static_cast<unsigned char>(input.rest[0]) | static_cast<unsigned char>(input.rest[1]) << 8,
        input.rest.size() - 2);
    const std::string_view old = input.rest.substr(2, oldSize);
    const std::string_view delta = input.rest.substr(2 + oldSize);
    {
        std::ofstream out(OldFile(), std::ios::binary | std::ios::trunc);
        out.write(old.data(), static_cast<std::streamsize>(old.size()));
    }
    fuzz::CheckDecoding(delta, input.most, old.size() + kDeltaGrowthBytes,
                        [&](std::istream& frame, const ByteSink& sink) {
                            return ApplyDelta(OldFile(), frame, sink, input.most);
                        });
    return 0;
}
