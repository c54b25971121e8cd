// A pack as the update run takes it: its index, fetched in place of the
// newer versions' lists and metadata, checked against the digest the
// release extras signed before a byte of it is decoded.
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "update/install_plan.h"
#include "update/trust/extras.h"
#include "update/trust/pack_index.h"

// The offer of a pack from `from` to `to`, or nullptr.
const PackOffer* FindPack(const ReleaseExtras* extras, std::int16_t from, std::int16_t to);

// The index of the offered pack from its compressed bytes: nothing when they
// are not what the offer signed, do not decode within kLargestPackIndex, or
// are not an index from the offer's versions.
std::optional<PackIndex> ReadPackIndex(const PackOffer& offer, const std::string& compressed);

// Rebuilds the files a part carries on a worker thread as soon as the part
// has arrived and matched its digest, while the other transfers go on. A
// file rebuilt holds its result; one whose member fails is marked failed,
// for the run to give it its next way. The window's thread hands parts in
// and waits for the last rebuild; the worker touches only the files of the
// parts handed in, which nothing else touches meanwhile.
class PartRebuilds {
public:
    PartRebuilds(GameFolder& folder, InstallPlan& plan);
    // Stops the rebuild under way (its file is left to its next way) and
    // waits for the worker.
    ~PartRebuilds();
    PartRebuilds(const PartRebuilds&) = delete;
    PartRebuilds& operator=(const PartRebuilds&) = delete;

    void Arrived(std::size_t part);
    // Returns once every part handed in is done; throws what the worker threw
    // (RunCancelled once stop is set).
    void Drain(const std::atomic<bool>& stop);

private:
    void Run();
    void RebuildPart(std::size_t part);

    GameFolder& folder_;
    InstallPlan& plan_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<std::size_t> queue_;
    bool busy_ = false;
    bool closing_ = false;
    std::atomic<bool> stop_{false};
    std::exception_ptr error_;
    std::thread worker_;
};
