// make_pak: a synthetic game archive and its next version, the same bytes
// for the same seed on every machine, for the segmented delta benchmark
// (bench/segment_bench.py). Not part of the product.
//
//   make_pak old SEED SIZE OUT
//       SIZE bytes of "assets" one after the other, 16 KiB to 4 MiB each:
//       three in five already compressed (random bytes, as textures and
//       sounds are), the others records of small numbers and names, which
//       compress about 3:1; about 2:1 in all.
//   make_pak new SEED OLD OUT NEWDATA
//       OLD with, at places drawn from SEED, 64 KiB blocks overwritten (0.6 %
//       of the file), 512 KiB blocks inserted and 256 KiB blocks removed (16
//       of each per 3 GiB): about 1 % changed. Every new
//       byte (overwrites and inserts, in the same asset mix) is also written
//       to NEWDATA, whose compressed size is what a perfect delta moves.
//       Prints what it did.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

namespace {

// xoshiro256**, seeded by splitmix64: fast and the same everywhere.
class Random {
public:
    explicit Random(std::uint64_t seed) {
        for (std::uint64_t& word : state_) {
            seed += 0x9e3779b97f4a7c15ull;
            std::uint64_t z = seed;
            z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
            z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
            word = z ^ (z >> 31);
        }
    }
    std::uint64_t Next() {
        const std::uint64_t result = Rotate(state_[1] * 5, 7) * 9, t = state_[1] << 17;
        state_[2] ^= state_[0];
        state_[3] ^= state_[1];
        state_[1] ^= state_[2];
        state_[0] ^= state_[3];
        state_[2] ^= t;
        state_[3] = Rotate(state_[3], 45);
        return result;
    }
    std::uint64_t Below(std::uint64_t bound) { return Next() % bound; }

private:
    static std::uint64_t Rotate(std::uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }
    std::uint64_t state_[4];
};

// Appends `size` bytes of assets drawn from random to out.
void Assets(Random& random, std::uint64_t size, std::string& out) {
    static const char* const kNames[] = {"rock_", "tree_",  "wall_", "door_",
                                         "npc_",  "sword_", "cape_", "lamp_"};
    while (size > 0) {
        const std::uint64_t asset = std::min<std::uint64_t>(size, (16 << 10) + random.Below(4 << 20));
        const std::size_t start = out.size();
        if (random.Below(2) == 0) {
            for (std::uint64_t k = 0; k < asset; k += 8) {
                const std::uint64_t word = random.Next();
                out.append(reinterpret_cast<const char*>(&word), 8);
            }
        } else {
            std::uint64_t value = random.Next() & 0xFFFF;
            while (out.size() - start < asset) {
                value += random.Below(64);
                out += kNames[random.Below(8)] + std::to_string(value & 0xFFFFF) + '\0';
                const std::uint32_t record[3] = {static_cast<std::uint32_t>(value),
                                                 static_cast<std::uint32_t>(random.Below(256)),
                                                 static_cast<std::uint32_t>(random.Below(4))};
                out.append(reinterpret_cast<const char*>(record), sizeof record);
            }
        }
        out.resize(start + asset);
        size -= asset;
    }
}

int MakeOld(std::uint64_t seed, std::uint64_t size, const char* path) {
    Random random(seed);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    std::string buffer;
    for (std::uint64_t left = size; left > 0;) {
        buffer.clear();
        const std::uint64_t piece = std::min<std::uint64_t>(left, 64 << 20);
        Assets(random, piece, buffer);
        out.write(buffer.data(), static_cast<std::streamsize>(buffer.size()));
        left -= piece;
    }
    return out.good() ? 0 : 1;
}

struct Edit {
    std::uint64_t at = 0;      // in the old file
    std::uint64_t remove = 0;  // old bytes left out from there
    std::uint64_t insert = 0;  // new bytes put there
};

int MakeNew(std::uint64_t seed, const char* oldPath, const char* path, const char* newDataPath) {
    std::ifstream in(oldPath, std::ios::binary | std::ios::ate);
    const auto oldSize = static_cast<std::uint64_t>(in.tellg());
    in.seekg(0);
    Random random(seed ^ 0x6e6577ull);
    std::vector<Edit> edits;
    const std::uint64_t overwrites = std::max<std::uint64_t>(oldSize * 6 / 1000 / (64 << 10), 1);
    const std::uint64_t blocks = std::max<std::uint64_t>(oldSize / (192 << 20), 1);
    for (std::uint64_t k = 0; k < overwrites; ++k)
        edits.push_back({random.Below(oldSize), 64 << 10, 64 << 10});
    for (std::uint64_t k = 0; k < blocks; ++k) edits.push_back({random.Below(oldSize), 0, 512 << 10});
    for (std::uint64_t k = 0; k < blocks; ++k) edits.push_back({random.Below(oldSize), 256 << 10, 0});
    std::sort(edits.begin(), edits.end(), [](const Edit& a, const Edit& b) { return a.at < b.at; });
    std::ofstream out(path, std::ios::binary | std::ios::trunc),
        newData(newDataPath, std::ios::binary | std::ios::trunc);
    std::string buffer(8 << 20, '\0'), inserted;
    std::uint64_t at = 0, removed = 0, added = 0;
    const auto copy = [&](std::uint64_t until) {
        while (at < until) {
            const std::uint64_t piece = std::min<std::uint64_t>(until - at, buffer.size());
            in.read(buffer.data(), static_cast<std::streamsize>(piece));
            out.write(buffer.data(), static_cast<std::streamsize>(piece));
            at += piece;
        }
    };
    for (const Edit& edit : edits) {
        if (edit.at < at) continue;  // inside what the edit before removed
        copy(edit.at);
        inserted.clear();
        Assets(random, edit.insert, inserted);
        out.write(inserted.data(), static_cast<std::streamsize>(inserted.size()));
        newData.write(inserted.data(), static_cast<std::streamsize>(inserted.size()));
        const std::uint64_t skip = std::min(edit.remove, oldSize - at);
        in.seekg(static_cast<std::streamoff>(at + skip));
        at += skip;
        removed += skip;
        added += edit.insert;
    }
    copy(oldSize);
    std::printf("%zu edits: %llu bytes removed, %llu new bytes written\n", edits.size(),
                static_cast<unsigned long long>(removed), static_cast<unsigned long long>(added));
    return out.good() && newData.good() ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 5 && std::string(argv[1]) == "old")
        return MakeOld(std::stoull(argv[2]), std::stoull(argv[3]), argv[4]);
    if (argc == 6 && std::string(argv[1]) == "new")
        return MakeNew(std::stoull(argv[2]), argv[3], argv[4], argv[5]);
    std::fprintf(stderr, "usage: make_pak old SEED SIZE OUT | make_pak new SEED OLD OUT NEWDATA\n");
    return 2;
}
