// A compressed object as a server sends it (DecompressObject), under the
// limits of codec_support.h: its window is at most 2^kObjectWindowLog.
#include <sstream>

#include "codec_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const fuzz::CodecInput input = fuzz::ReadCodecInput(data, size);
    fuzz::CheckDecoding(input.most, std::uint64_t{1} << kObjectWindowLog, [&](const ByteSink& sink) {
        std::istringstream frame{std::string(input.rest)};
        return DecompressObject(frame, sink, input.most);
    });
    return 0;
}
