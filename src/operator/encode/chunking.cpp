#include "operator/encode/chunking.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <fstream>

#include "update/patch/zstd_codec.h"

namespace {

// 256 fixed pseudo-random words (splitmix64 from a fixed seed): the gear
// hash adds one for each byte. Only update-repo chunks, so they may change
// with any release; they must not change within one run.
constexpr std::array<std::uint64_t, 256> MakeGear() {
    std::array<std::uint64_t, 256> gear{};
    std::uint64_t state = 0x6b657374726c6f6eull;
    for (std::uint64_t& word : gear) {
        state += 0x9e3779b97f4a7c15ull;
        std::uint64_t z = state;
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
        word = z ^ (z >> 31);
    }
    return gear;
}
constexpr std::array<std::uint64_t, 256> kGear = MakeGear();

// The top `bits` bits: after the shifts, they depend on the last 64 bytes.
constexpr std::uint64_t TopBits(int bits) {
    return bits <= 0 ? 0 : ~std::uint64_t{0} << (64 - bits);
}

}  // namespace

std::size_t ChunkLength(const unsigned char* data, std::size_t size, const ChunkSizes& sizes) {
    if (size <= sizes.least) return size;
    const std::size_t end = std::min(size, sizes.most);
    const std::size_t normal = std::min(std::max(sizes.average, sizes.least), end);
    // FastCDC's normalized chunking: harder to end before the average size,
    // easier after it, so that most chunks come close to it.
    const int bits = std::bit_width(std::max<std::size_t>(sizes.average, 1)) - 1;
    const std::uint64_t hard = TopBits(bits + 2), easy = TopBits(bits - 2);
    std::uint64_t hash = 0;
    std::size_t at = sizes.least;
    for (; at < normal; ++at) {
        hash = (hash << 1) + kGear[data[at]];
        if ((hash & hard) == 0) return at + 1;
    }
    for (; at < end; ++at) {
        hash = (hash << 1) + kGear[data[at]];
        if ((hash & easy) == 0) return at + 1;
    }
    return end;
}

std::vector<Chunk> ChunkFile(const std::filesystem::path& file, const ChunkSizes& sizes) {
    std::ifstream in(file, std::ios::binary);
    const auto unreadable = [&] {
        const std::u8string name = file.u8string();
        return CodecError(CodecError::Kind::Unreadable,
                          "The file " + std::string(name.begin(), name.end()) + " could not be read.");
    };
    if (!in.is_open()) throw unreadable();
    std::vector<unsigned char> buffer(std::max<std::size_t>(8 << 20, 2 * sizes.most));
    std::vector<Chunk> chunks;
    Sha256 hash;
    std::size_t held = 0;
    std::uint64_t offset = 0;
    bool ended = false;
    while (!ended || held > 0) {
        if (!ended && held < sizes.most) {
            in.read(reinterpret_cast<char*>(buffer.data() + held),
                    static_cast<std::streamsize>(buffer.size() - held));
            if (in.bad()) throw unreadable();
            held += static_cast<std::size_t>(in.gcount());
            ended = in.eof();
        }
        std::size_t at = 0;
        while (held - at > 0 && (ended || held - at >= sizes.most)) {
            const std::size_t length = ChunkLength(buffer.data() + at, held - at, sizes);
            hash.Update(buffer.data() + at, length);
            chunks.push_back({offset, length, hash.Finish()});
            offset += length;
            at += length;
        }
        std::memmove(buffer.data(), buffer.data() + at, held - at);
        held -= at;
    }
    return chunks;
}
