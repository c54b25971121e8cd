#include "update/patch/patch_route.h"

#include <limits>
#include <map>
#include <queue>
#include <set>

std::uint64_t FileWay::Bytes(std::uint64_t wholeSize) const {
    switch (kind) {
        case Kind::Deltas: {
            std::uint64_t sum = 0;
            for (const PatchDelta& delta : deltas) sum += delta.delta.size;
            return sum;
        }
        case Kind::Object:
            return object.size;
        case Kind::Local:
            return 0;
        case Kind::Whole:
        default:
            return wholeSize;
    }
}

namespace {

// The chain from `from` to `to` with the fewest bytes (Dijkstra over the
// deltas); empty when there is none.
std::vector<PatchDelta> CheapestChain(const PatchOffer& offer, const Sha256Digest& from,
                                      const Sha256Digest& to) {
    struct Reached {
        std::uint64_t bytes = std::numeric_limits<std::uint64_t>::max();
        std::optional<PatchDelta> by;
    };
    std::map<Sha256Digest, Reached> reached;
    using Item = std::pair<std::uint64_t, Sha256Digest>;
    std::priority_queue<Item, std::vector<Item>, std::greater<>> queue;
    reached[from].bytes = 0;
    queue.push({0, from});
    std::set<Sha256Digest> done;
    while (!queue.empty()) {
        const auto [bytes, at] = queue.top();
        queue.pop();
        if (!done.insert(at).second) continue;
        if (at == to) break;
        const auto [first, last] = offer.deltas.equal_range(at);
        for (auto it = first; it != last; ++it) {
            const PatchDelta& delta = it->second;
            const std::uint64_t through = bytes + delta.delta.size;
            Reached& next = reached[delta.to];
            if (through < next.bytes) {
                next.bytes = through;
                next.by = delta;
                queue.push({through, delta.to});
            }
        }
    }
    std::vector<PatchDelta> chain;
    if (!done.contains(to) || from == to) return chain;
    for (Sha256Digest at = to; at != from;) {
        const PatchDelta& delta = *reached[at].by;
        chain.insert(chain.begin(), delta);
        at = delta.from;
    }
    return chain;
}

}  // namespace

std::vector<FileWay> WaysToFetch(const PatchOffer& offer, const std::optional<Sha256Digest>& installed,
                                 const FileDigest& target, const std::optional<std::string>& local) {
    std::vector<FileWay> ways;
    if (local) ways.push_back(FileWay{FileWay::Kind::Local, {}, {}, *local, {}});
    std::optional<FileWay> object;
    if (const auto found = offer.objects.find(target.sha256);
        found != offer.objects.end() && found->second.size < target.size) {
        object = FileWay{FileWay::Kind::Object, {}, found->second, {}, {}};
    }
    if (installed && *installed != target.sha256) {
        FileWay chain{FileWay::Kind::Deltas, CheapestChain(offer, *installed, target.sha256), {}, {}, {}};
        const std::uint64_t cheaper = object ? object->object.size : target.size;
        if (!chain.deltas.empty() && chain.Bytes(target.size) < cheaper) ways.push_back(std::move(chain));
    }
    if (object) ways.push_back(*object);
    ways.push_back(FileWay{});
    return ways;
}

std::vector<FileWay> WaysToRepair(const PatchOffer& offer, const FileDigest& target) {
    std::vector<FileWay> ways;
    if (const auto found = offer.objects.find(target.sha256); found != offer.objects.end()) {
        ways.push_back(FileWay{FileWay::Kind::Object, {}, found->second, {}, {}});
    }
    ways.push_back(FileWay{});
    return ways;
}

std::vector<FileWay> WaysThroughPack(const FileDigest& target, bool delta, const PackedAt& at) {
    FileWay member;
    const FileDigest bytes{at.length, {}};
    if (delta) {
        member.kind = FileWay::Kind::Deltas;
        member.deltas.push_back({{}, target.sha256, bytes});
    } else {
        member.kind = FileWay::Kind::Object;
        member.object = bytes;
    }
    member.packed = at;
    return {member, FileWay{}};
}
