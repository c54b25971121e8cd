// A game folder that hands every call on to another one. A class that
// changes a few calls (one that fails some of them on purpose, for a test)
// derives from it and overrides only those.
#pragma once

#include "storage/storage.h"

class GameFolderWrapper : public GameFolder {
public:
    explicit GameFolderWrapper(GameFolder& target) : target_(target) {}

    Result<std::unique_ptr<FileWriter>> OpenForWriting(const std::string& name, WriteMode mode) override {
        return target_.OpenForWriting(name, mode);
    }
    Result<std::unique_ptr<FileReader>> OpenForReading(const std::string& name, Links links) override {
        return target_.OpenForReading(name, links);
    }
    Result<std::unique_ptr<MappedFile>> Map(const std::string& name) override { return target_.Map(name); }
    IoStatus Replace(const std::string& from, const std::string& to) override {
        return target_.Replace(from, to);
    }
    IoStatus Remove(const std::string& name) override { return target_.Remove(name); }
    IoStatus MakeFolder(const std::string& name) override { return target_.MakeFolder(name); }
    Result<FileInfo> Inspect(const std::string& name, Links links) override {
        return target_.Inspect(name, links);
    }
    bool FileExists(const std::string& name) override { return target_.FileExists(name); }
    Result<std::unique_ptr<FolderLock>> Lock(const std::string& name) override { return target_.Lock(name); }
    IoStatus Flush(const std::vector<std::string>& names) override { return target_.Flush(names); }
    Result<std::uint64_t> FreeSpace() override { return target_.FreeSpace(); }
    std::string ReadIni(const std::string& section, const std::string& key) override {
        return target_.ReadIni(section, key);
    }
    IoStatus WriteIni(const std::string& section, const std::string& key, const std::string& value) override {
        return target_.WriteIni(section, key, value);
    }
    std::filesystem::path Where(const std::string& name) const override { return target_.Where(name); }

protected:
    GameFolder& target() const { return target_; }

private:
    GameFolder& target_;
};
