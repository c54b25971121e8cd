#include "update/pack_source.h"

#include <chrono>
#include <sstream>

#include "failure.h"
#include "update/patch/zstd_codec.h"

const PackOffer* FindPack(const ReleaseExtras* extras, std::int16_t from, std::int16_t to) {
    if (!extras) return nullptr;
    for (const PackOffer& pack : extras->packs) {
        if (pack.from == from && pack.to == to) return &pack;
    }
    return nullptr;
}

std::optional<PackIndex> ReadPackIndex(const PackOffer& offer, const std::string& compressed) {
    if (DigestOf(compressed) != offer.index) return std::nullopt;
    std::istringstream in(compressed);
    std::string text;
    try {
        DecompressObject(
            in,
            [&](const char* data, std::size_t size) {
                text.append(data, size);
                return true;
            },
            kLargestPackIndex);
    } catch (const CodecError&) {
        return std::nullopt;
    }
    auto index = ParsePackIndex(text);
    if (!index || index->from != offer.from || index->to != offer.to) return std::nullopt;
    return index;
}

PartRebuilds::PartRebuilds(GameFolder& folder, InstallPlan& plan)
    : folder_(folder), plan_(plan), worker_([this] { Run(); }) {}

PartRebuilds::~PartRebuilds() {
    {
        std::lock_guard lock(mutex_);
        closing_ = true;
    }
    stop_ = true;
    changed_.notify_all();
    worker_.join();
}

void PartRebuilds::Arrived(std::size_t part) {
    {
        std::lock_guard lock(mutex_);
        queue_.push_back(part);
    }
    changed_.notify_all();
}

void PartRebuilds::Drain(const std::atomic<bool>& stop) {
    std::unique_lock lock(mutex_);
    while (!(queue_.empty() && !busy_) && !error_) {
        if (stop) throw RunCancelled();
        changed_.wait_for(lock, std::chrono::milliseconds(20));
    }
    if (error_) std::rethrow_exception(error_);
}

void PartRebuilds::Run() {
    std::unique_lock lock(mutex_);
    while (true) {
        changed_.wait(lock, [&] { return closing_ || !queue_.empty(); });
        if (closing_) return;
        const std::size_t part = queue_.front();
        queue_.pop_front();
        busy_ = true;
        lock.unlock();
        try {
            RebuildPart(part);
        } catch (...) {
            lock.lock();
            error_ = std::current_exception();
            busy_ = false;
            changed_.notify_all();
            return;
        }
        lock.lock();
        busy_ = false;
        changed_.notify_all();
    }
}

void PartRebuilds::RebuildPart(std::size_t part) {
    for (const std::size_t member : plan_.parts[part].members) {
        PatchedFile& file = plan_.patched[member];
        if (RebuildFile(folder_, file, stop_) == Rebuilt::Failed) file.failed = true;
    }
}
