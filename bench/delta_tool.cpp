// delta_tool: makes and applies deltas with the program's own codec, for the
// segmented delta benchmark (bench/segment_bench.py). Not part of the product.
//   delta_tool make OLD NEW DELTA [--level L] [--single] [--threads N]
//       writes the delta (segmented, or one patch-from frame with --single)
//       and prints "<delta bytes> <segments> <framed segments> <seconds>"
//   delta_tool apply OLD DELTA OUT [--threads N]
//       rebuilds OUT as the updater does and prints "<bytes> <sha256> <seconds>"
//   delta_tool object FILE OUT [--level L] [--threads N]
//       compresses FILE as update-repo does its objects (N of zstd's workers)
//       and prints "<bytes> <seconds>"
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "operator/encode/segmented_encode.h"
#include "operator/encode/zstd_encode.h"
#include "update/patch/segment_map.h"

namespace {

double Since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

std::string Option(int argc, char** argv, const char* name, const std::string& otherwise) {
    for (int k = 1; k + 1 < argc; ++k) {
        if (std::strcmp(argv[k], name) == 0) return argv[k + 1];
    }
    return otherwise;
}

bool Flag(int argc, char** argv, const char* name) {
    for (int k = 1; k < argc; ++k) {
        if (std::strcmp(argv[k], name) == 0) return true;
    }
    return false;
}

// How many segments the delta's map lists, and how many have a frame.
std::pair<std::size_t, std::size_t> Segments(const std::string& delta, std::uint64_t oldSize) {
    std::ifstream in(delta, std::ios::binary);
    char magic[4];
    in.read(magic, 4);
    if (std::memcmp(magic, "\x5B\x2A\x4D\x18", 4) != 0) return {1, 1};
    const SegmentMap map = ReadSegmentMap(in, oldSize, UINT64_MAX);
    std::size_t framed = 0;
    for (const Segment& segment : map.segments) framed += segment.Copied() ? 0 : 1;
    return {map.segments.size(), framed};
}

int Make(int argc, char** argv) {
    const std::string oldFile = argv[2], newFile = argv[3], delta = argv[4];
    const int level = std::stoi(Option(argc, argv, "--level", "19"));
    const unsigned threads =
        std::stoul(Option(argc, argv, "--threads", std::to_string(std::thread::hardware_concurrency())));
    std::ofstream out(delta, std::ios::binary | std::ios::trunc);
    const ByteSink sink = [&](const char* data, std::size_t size) {
        return static_cast<bool>(out.write(data, static_cast<std::streamsize>(size)));
    };
    const auto start = std::chrono::steady_clock::now();
    std::uint64_t size = 0;
    if (Flag(argc, argv, "--single")) {
        size = MakeDelta(oldFile, newFile, sink, level).size;
    } else {
        SegmentedDeltaOptions options;
        options.level = level;
        options.threads = threads;
        size = MakeSegmentedDelta(oldFile, newFile, delta + ".spill", sink, options)->size;
    }
    out.close();
    const double seconds = Since(start);
    const auto [segments, framed] = Segments(delta, std::filesystem::file_size(oldFile));
    std::printf("%llu %zu %zu %.3f\n", static_cast<unsigned long long>(size), segments, framed, seconds);
    return 0;
}

int Apply(int argc, char** argv) {
    const std::string oldFile = argv[2], delta = argv[3], output = argv[4];
    ApplyLimits limits = DefaultApplyLimits();
    limits.threads = std::stoul(Option(argc, argv, "--threads", std::to_string(limits.threads)));
    std::ofstream out(output, std::ios::binary | std::ios::trunc);
    std::ifstream in(delta, std::ios::binary);
    const auto start = std::chrono::steady_clock::now();
    const FileDigest digest = ApplyDelta(
        oldFile, in,
        [&](const char* data, std::size_t size) {
            return static_cast<bool>(out.write(data, static_cast<std::streamsize>(size)));
        },
        UINT64_MAX, limits);
    out.close();
    std::printf("%llu %s %.3f\n", static_cast<unsigned long long>(digest.size), Hex(digest.sha256).c_str(),
                Since(start));
    return 0;
}

int Object(int argc, char** argv) {
    const int level = std::stoi(Option(argc, argv, "--level", "19"));
    const unsigned threads =
        std::stoul(Option(argc, argv, "--threads", std::to_string(std::thread::hardware_concurrency())));
    std::ofstream out(argv[3], std::ios::binary | std::ios::trunc);
    const auto start = std::chrono::steady_clock::now();
    const FileDigest digest = CompressObject(
        argv[2],
        [&](const char* data, std::size_t size) {
            return static_cast<bool>(out.write(data, static_cast<std::streamsize>(size)));
        },
        level, threads);
    std::printf("%llu %.3f\n", static_cast<unsigned long long>(digest.size), Since(start));
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        if (argc >= 5 && std::strcmp(argv[1], "make") == 0) return Make(argc, argv);
        if (argc >= 5 && std::strcmp(argv[1], "apply") == 0) return Apply(argc, argv);
        if (argc >= 4 && std::strcmp(argv[1], "object") == 0) return Object(argc, argv);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "delta_tool: %s\n", error.what());
        return 1;
    }
    std::fprintf(stderr,
                 "usage: delta_tool make OLD NEW DELTA [--level L] [--single] [--threads N]\n"
                 "       delta_tool apply OLD DELTA OUT [--threads N]\n");
    return 2;
}
