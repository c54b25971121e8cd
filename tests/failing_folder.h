// A game folder that fails chosen calls on purpose, the way a full disk, a
// refused rename or a flush that cannot reach the disk would, and counts the
// calls of each kind. The unit tests wrap a scratch folder in it; the
// headless driver wraps the program's folder when its command line asks
// (--fail=...), so that whole runs against a real server meet the same
// faults.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include "storage/folder_wrapper.h"

// The kinds of calls counted and failed.
enum class Call {
    Open,        // OpenForWriting
    Write,       // FileWriter::Write
    Close,       // FileWriter::Close
    Read,        // OpenForReading
    Map,         // Map
    Rename,      // Replace
    Remove,      // Remove
    MakeFolder,  // MakeFolder
    Lock,        // Lock
    Flush,       // Flush
    Space,       // FreeSpace
    Settings,    // WriteIni
};
inline constexpr std::size_t kCallKinds = 12;

// "open", "write", ... as the command line names them.
std::string_view CallName(Call call);

struct Fault {
    Call call = Call::Write;
    int nth = 1;          // the first call of that kind is 1
    bool onward = false;  // the nth and every later one (a disk that stays full)
    std::error_code error;
    // Instead of failing, the process stops there as if the power went (see
    // FailingFolder::OnPowerCut).
    bool powerCut = false;
};

// What a call that meets a power cut throws, unless OnPowerCut says otherwise:
// nothing in the program catches it.
struct PowerCut {};

// "write:3:ENOSPC" fails the third write with ENOSPC; "write:3+:ENOSPC" the
// third and every later one; "rename:2:cut" cuts the power at the second
// rename. Nothing when the text is not one.
std::optional<Fault> ParseFault(std::string_view text);

class FailingFolder : public GameFolderWrapper {
public:
    explicit FailingFolder(GameFolder& target, std::vector<Fault> faults = {});

    void Add(const Fault& fault);
    // What a power cut does: the headless driver ends the process on the spot.
    void OnPowerCut(std::function<void()> cut);
    // What FreeSpace() answers instead of the disk (it still counts, and may fail).
    void SetFreeSpace(std::uint64_t bytes);

    int Count(Call call) const;
    // How many calls were failed (or cut).
    int Failed() const;
    // "open=3 write=12 ..." for every kind.
    std::string Counts() const;
    // Every call counted, in order, with the name it was given.
    std::vector<std::pair<Call, std::string>> Log() const;
    // The names given to each Flush(), in order.
    std::vector<std::vector<std::string>> Flushed() const;

    Result<std::unique_ptr<FileWriter>> OpenForWriting(const std::string& name, WriteMode mode) override;
    Result<std::unique_ptr<FileReader>> OpenForReading(const std::string& name, Links links) override;
    Result<std::unique_ptr<MappedFile>> Map(const std::string& name) override;
    IoStatus Replace(const std::string& from, const std::string& to) override;
    IoStatus Remove(const std::string& name) override;
    IoStatus MakeFolder(const std::string& name) override;
    Result<std::unique_ptr<FolderLock>> Lock(const std::string& name) override;
    IoStatus Flush(const std::vector<std::string>& names) override;
    Result<std::uint64_t> FreeSpace() override;
    IoStatus WriteIni(const std::string& section, const std::string& key, const std::string& value) override;

    // Counts a call of this kind; the failure when a fault falls on it.
    IoStatus Next(Call call, const std::string& name);

private:
    mutable std::mutex mutex_;
    std::array<int, kCallKinds> counts_{};
    std::vector<Fault> faults_;
    std::optional<std::uint64_t> freeSpace_;
    std::function<void()> powerCut_;
    int failed_ = 0;
    std::vector<std::pair<Call, std::string>> log_;
    std::vector<std::vector<std::string>> flushed_;
};
