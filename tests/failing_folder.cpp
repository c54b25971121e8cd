#include "failing_folder.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <sstream>

namespace {

constexpr std::array<std::string_view, kCallKinds> kCallNames = {"open", "write",  "close",  "read",
                                                                 "map",  "rename", "remove", "mkdir",
                                                                 "lock", "flush",  "space",  "settings"};

struct ErrorName {
    std::string_view name;
    int value;
};

constexpr ErrorName kErrors[] = {
    {"ENOSPC", ENOSPC}, {"EIO", EIO},       {"EACCES", EACCES}, {"EPERM", EPERM},
    {"EROFS", EROFS},   {"EBUSY", EBUSY},   {"EXDEV", EXDEV},   {"ENOENT", ENOENT},
    {"EAGAIN", EAGAIN}, {"EMFILE", EMFILE}, {"ENOMEM", ENOMEM}, {"ENAMETOOLONG", ENAMETOOLONG},
};

// The writer's calls count and fail in its folder.
class FailingWriter : public FileWriter {
public:
    FailingWriter(FailingFolder& folder, std::string name, std::unique_ptr<FileWriter> inner)
        : folder_(folder), name_(std::move(name)), inner_(std::move(inner)) {}

    // A failed write writes nothing, as a full disk refuses the first byte.
    IoStatus Write(const char* data, std::size_t size) override {
        if (IoStatus failed = folder_.Next(Call::Write, name_); !failed.ok()) return failed;
        return inner_->Write(data, size);
    }
    void StartWriteback() override { inner_->StartWriteback(); }
    IoStatus Close() override {
        const IoStatus closed = inner_->Close();
        if (IoStatus failed = folder_.Next(Call::Close, name_); !failed.ok()) return failed;
        return closed;
    }

private:
    FailingFolder& folder_;
    std::string name_;
    std::unique_ptr<FileWriter> inner_;
};

}  // namespace

std::string_view CallName(Call call) {
    return kCallNames[static_cast<std::size_t>(call)];
}

std::optional<Fault> ParseFault(std::string_view text) {
    const auto colon = text.find(':');
    const auto second = colon == std::string_view::npos ? colon : text.find(':', colon + 1);
    if (second == std::string_view::npos) return std::nullopt;
    Fault fault;
    const std::string_view kind = text.substr(0, colon);
    std::string_view position = text.substr(colon + 1, second - colon - 1);
    const std::string_view error = text.substr(second + 1);
    bool known = false;
    for (std::size_t k = 0; k < kCallKinds; ++k) {
        if (kCallNames[k] == kind) {
            fault.call = static_cast<Call>(k);
            known = true;
        }
    }
    if (!known) return std::nullopt;
    if (position.ends_with('+')) {
        fault.onward = true;
        position.remove_suffix(1);
    }
    const auto [end, parsed] = std::from_chars(position.data(), position.data() + position.size(), fault.nth);
    if (parsed != std::errc() || end != position.data() + position.size() || fault.nth < 1)
        return std::nullopt;
    if (error == "cut") {
        fault.powerCut = true;
        return fault;
    }
    for (const ErrorName& name : kErrors) {
        if (name.name == error) {
            fault.error = std::error_code(name.value, std::generic_category());
            return fault;
        }
    }
    return std::nullopt;
}

FailingFolder::FailingFolder(GameFolder& target, std::vector<Fault> faults)
    : GameFolderWrapper(target), faults_(std::move(faults)) {}

void FailingFolder::Add(const Fault& fault) {
    std::lock_guard lock(mutex_);
    faults_.push_back(fault);
}

void FailingFolder::OnPowerCut(std::function<void()> cut) {
    std::lock_guard lock(mutex_);
    powerCut_ = std::move(cut);
}

void FailingFolder::SetFreeSpace(std::uint64_t bytes) {
    std::lock_guard lock(mutex_);
    freeSpace_ = bytes;
}

int FailingFolder::Count(Call call) const {
    std::lock_guard lock(mutex_);
    return counts_[static_cast<std::size_t>(call)];
}

int FailingFolder::Failed() const {
    std::lock_guard lock(mutex_);
    return failed_;
}

std::string FailingFolder::Counts() const {
    std::lock_guard lock(mutex_);
    std::ostringstream out;
    for (std::size_t k = 0; k < kCallKinds; ++k) out << (k ? " " : "") << kCallNames[k] << "=" << counts_[k];
    return out.str();
}

IoStatus FailingFolder::Next(Call call, const std::string& name) {
    std::function<void()> cut;
    {
        std::lock_guard lock(mutex_);
        const int count = ++counts_[static_cast<std::size_t>(call)];
        log_.emplace_back(call, name);
        const auto falls = [&](const Fault& fault) {
            return fault.call == call && (fault.onward ? count >= fault.nth : count == fault.nth);
        };
        const auto fault = std::find_if(faults_.begin(), faults_.end(), falls);
        if (fault == faults_.end()) return {};
        ++failed_;
        if (!fault->powerCut) return IoStatus(name, fault->error);
        cut = powerCut_;
    }
    if (cut) cut();
    throw PowerCut();
}

Result<std::unique_ptr<FileWriter>> FailingFolder::OpenForWriting(const std::string& name, WriteMode mode) {
    if (IoStatus failed = Next(Call::Open, name); !failed.ok()) return failed;
    Result<std::unique_ptr<FileWriter>> opened = target().OpenForWriting(name, mode);
    if (!opened.ok()) return opened;
    return std::unique_ptr<FileWriter>(std::make_unique<FailingWriter>(*this, name, std::move(*opened)));
}

Result<std::unique_ptr<FileReader>> FailingFolder::OpenForReading(const std::string& name, Links links) {
    if (IoStatus failed = Next(Call::Read, name); !failed.ok()) return failed;
    return target().OpenForReading(name, links);
}

Result<std::unique_ptr<MappedFile>> FailingFolder::Map(const std::string& name) {
    if (IoStatus failed = Next(Call::Map, name); !failed.ok()) return failed;
    return target().Map(name);
}

IoStatus FailingFolder::Replace(const std::string& from, const std::string& to) {
    if (IoStatus failed = Next(Call::Rename, to); !failed.ok()) return failed;
    return target().Replace(from, to);
}

IoStatus FailingFolder::Remove(const std::string& name) {
    if (IoStatus failed = Next(Call::Remove, name); !failed.ok()) return failed;
    return target().Remove(name);
}

IoStatus FailingFolder::MakeFolder(const std::string& name) {
    if (IoStatus failed = Next(Call::MakeFolder, name); !failed.ok()) return failed;
    return target().MakeFolder(name);
}

Result<std::unique_ptr<FolderLock>> FailingFolder::Lock(const std::string& name) {
    if (IoStatus failed = Next(Call::Lock, name); !failed.ok()) return failed;
    return target().Lock(name);
}

IoStatus FailingFolder::Flush(const std::vector<std::string>& names) {
    {
        std::lock_guard lock(mutex_);
        flushed_.push_back(names);
    }
    if (IoStatus failed = Next(Call::Flush, "."); !failed.ok()) return failed;
    return target().Flush(names);
}

Result<std::uint64_t> FailingFolder::FreeSpace() {
    if (IoStatus failed = Next(Call::Space, "."); !failed.ok()) return failed;
    {
        std::lock_guard lock(mutex_);
        if (freeSpace_) return *freeSpace_;
    }
    return target().FreeSpace();
}

IoStatus FailingFolder::WriteIni(const std::string& section, const std::string& key,
                                 const std::string& value) {
    if (IoStatus failed = Next(Call::Settings, kSettingsName); !failed.ok()) return failed;
    return target().WriteIni(section, key, value);
}

std::vector<std::pair<Call, std::string>> FailingFolder::Log() const {
    std::lock_guard lock(mutex_);
    return log_;
}

std::vector<std::vector<std::string>> FailingFolder::Flushed() const {
    std::lock_guard lock(mutex_);
    return flushed_;
}
