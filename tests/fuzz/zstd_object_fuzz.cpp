// A compressed object as a server sends it (DecompressObject), under the
// limits of codec_support.h: its window is at most 2^kObjectWindowLog.
#include "codec_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const fuzz::CodecInput input = fuzz::ReadCodecInput(data, size);
    fuzz::CheckDecoding(
        input.rest, input.most, std::uint64_t{1} << kObjectWindowLog,
        [&](std::istream& frame, const ByteSink& sink) { return DecompressObject(frame, sink, input.most); });
    return 0;
}
