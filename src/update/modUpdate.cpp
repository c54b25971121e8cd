#include "update/modUpdate.h"

#include <fstream>
#include <iterator>
#include <system_error>
#include <unordered_set>

#include "lifecycle/failure.h"
#include "lifecycle/startup.h"
#include "lifecycle/window.h"
#include "storage/storage.h"
#include "transfer/download.h"
#include "update/repository.h"

std::int16_t CurrentVersion = 0;
std::int16_t NewestVersion = 0;
std::vector<std::int16_t> NewVersions;
std::vector<std::string> FileList;
std::int32_t FileCount = 0;

namespace {

// The entries of FileList, for a quick membership test when thousands of
// files are listed.
std::unordered_set<std::string> listedEntries;

// Local copies of the index and lists go as soon as they are read, and also
// when reading them fails.
class ListCopy {
public:
    explicit ListCopy(const std::string& name) : name_(name), path_(LocalPath(name)) {}
    ~ListCopy() {
        std::error_code ignored;
        std::filesystem::remove(path_, ignored);
    }
    ListCopy(const ListCopy&) = delete;
    ListCopy& operator=(const ListCopy&) = delete;

    std::string Read() const {
        std::ifstream in(path_, std::ios::binary);
        if (!in.is_open()) throw UpdateFailure("Impossible de lire " + name_ + ".");
        std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        if (in.bad()) throw UpdateFailure("Impossible de lire " + name_ + ".");
        return content;
    }

private:
    std::string name_;
    std::filesystem::path path_;
};

// How a version is written into the settings file: the sign position first,
// a blank for a positive number.
std::string SettingsText(std::int16_t version) {
    return (version < 0 ? "" : " ") + std::to_string(version);
}

std::int16_t InstalledVersion() {
    const std::string text = ReadIni(SettingsFile(), "VERSION", "Game");
    const auto version = ToVersion(LeadingNumber(text));
    if (!version) throw UpdateFailure("Version invalide: " + text + ".");
    return *version;
}

// Shown in a message: control characters would garble the window.
std::string Printable(const std::string& text) {
    std::string out = text;
    for (char& c : out) {
        const auto b = static_cast<unsigned char>(c);
        if (b < 0x20 || b == 0x7F) c = '?';
    }
    return out;
}

void ReadIndex() {
    const ListCopy index(kIndexName);
    for (const IndexField& field : ReadIndexFields(index.Read())) {
        if (!(field.value > CurrentVersion)) continue;
        const auto version = ToVersion(field.value);
        if (!version) throw UpdateFailure("Version invalide: " + Printable(AnsiToUtf8(field.text)) + ".");
        NewVersions.push_back(*version);
        if (NewestVersion < *version) NewestVersion = *version;
    }
}

// Adds the entries of one list that are not listed yet (exact, case-sensitive
// comparison). Every entry is checked here, before the first game file is
// fetched, so a hostile list writes nothing.
void MergeList(const std::string& name) {
    DownloadFile(name, name);
    const ListCopy list(name);
    for (const std::string& line : ReadListEntries(list.Read())) {
        const std::string entry = AnsiToUtf8(line);
        if (!IsSafeEntry(entry)) throw UpdateFailure("Chemin refusé: " + Printable(entry) + ".");
        if (!listedEntries.insert(entry).second) continue;
        FileList.push_back(entry);
        ++FileCount;
    }
}

void ApplyUpdate() {
    frmUpdate->SetText(L2, "Vérification des versions des fichiers...");
    for (const std::int16_t version : NewVersions) MergeList(ListName(version));
    frmUpdate->SetText(L2, "");
    for (std::int32_t k = 1; k <= FileCount; ++k) {
        const std::string& entry = FileList[static_cast<std::size_t>(k - 1)];
        frmUpdate->SetText(L2, "Téléchargement de " + entry + "...");
        frmUpdate->SetText(
            L3, "Fichier de téléchargement: " + std::to_string(k) + " sur " + std::to_string(FileCount));
        DownloadFile(RemoteFileName(entry), entry);
    }
    WriteIni("VERSION", "Game", SettingsText(NewestVersion), SettingsFile());
    frmUpdate->SetText(L2, "Mise à jours à la version " + std::to_string(NewestVersion) + "!");
    frmUpdate->SetText(L3, "Téléchargement terminé!");
    SetFinished();
}

}  // namespace

void RunUpdate() {
    FileCount = 0;
    FileList.clear();
    listedEntries.clear();
    NewVersions.clear();
    if (!FileExists(kSettingsName)) WriteIni("UPDATER", "Fin", " 0", SettingsFile());
    BaseUrl = UPDATE_URL;
    if (FileExists(kSettingsName)) CurrentVersion = InstalledVersion();
    frmUpdate->Show();
    frmUpdate->SetText(L2, "Recherche des nouvelles...");
    DownloadFile(kIndexName, kIndexName);
    NewestVersion = CurrentVersion;
    ReadIndex();

    if (CurrentVersion < NewestVersion) {
        ApplyUpdate();
    } else {
        frmUpdate->SetText(L2, "Tu as la dernière version!");
        frmUpdate->SetText(L3, "");
        frmUpdate->SetText(Label4, "100%");
        WriteIni("UPDATER", "Fin", "1", SettingsFile());
    }
    UpdateDone = true;
}
