#include "operator/verify.h"

#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <system_error>

#include "operator/file_digest.h"
#include "operator/file_io.h"
#include "operator/names.h"
#include "storage/cp1252.h"
#include "transfer/download.h"
#include "transfer/http.h"
#include "update/trust/signature_file.h"
#include "update/trust/signed_metadata.h"

namespace {

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

std::string Number(double value) {
    std::ostringstream text;
    text << value;
    return text.str();
}

// The format the tool writes and docs/operating.md prescribes: an optional
// minus, then digits.
bool IsPlainWholeNumber(std::string_view text) {
    if (text.starts_with('-')) text.remove_prefix(1);
    return !text.empty() && text.find_first_not_of("0123456789") == std::string_view::npos;
}

// Line numbers (from 1) whose end is a lone LF. A line ends at CR LF, CR or LF.
std::vector<std::size_t> LinesEndingInLoneLf(std::string_view bytes) {
    std::vector<std::size_t> lines;
    std::size_t line = 1;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (bytes[i] == '\n') {
            if (i == 0 || bytes[i - 1] != '\r') lines.push_back(line);
            ++line;
        } else if (bytes[i] == '\r' && (i + 1 == bytes.size() || bytes[i + 1] != '\n')) {
            ++line;
        }
    }
    return lines;
}

std::string LineList(const std::vector<std::size_t>& lines) {
    std::string text;
    for (std::size_t k = 0; k < lines.size() && k < 5; ++k)
        text += (k ? ", " : "") + std::to_string(lines[k]);
    if (lines.size() > 5) text += " and " + std::to_string(lines.size() - 5) + " more";
    return text;
}

void CheckIndex(const RepositoryFolder& repository, std::vector<Problem>& problems) {
    const std::string file = kIndexName;
    if (!repository.index) {
        problems.push_back({file, "missing: every player's update stops at the first request", {}});
        return;
    }
    const std::string& bytes = *repository.index;
    if (bytes.starts_with(kByteOrderMark)) {
        problems.push_back(
            {file,
             "starts with a UTF-8 byte-order mark; the updater reads it as part of the first field",
             {}});
    }
    const auto loneLf = LinesEndingInLoneLf(bytes);
    if (!loneLf.empty()) {
        problems.push_back(
            {file, "lines ending in a lone LF instead of CR LF (line " + LineList(loneLf) + ")", {}});
    }
    std::size_t number = 0;
    for (const IndexedVersion& indexed : repository.fields) {
        const std::string field =
            "field " + std::to_string(++number) + " " + Shown(indexed.field.text) + ": ";
        if (!HasLeadingNumber(indexed.field.text)) {
            problems.push_back({file, field + "not a number; the updater reads it as version 0", {}});
        } else if (!indexed.version) {
            problems.push_back({file,
                                field + Number(indexed.field.value) +
                                    " does not fit a version number (-32768 to 32767); "
                                    "the update of every player below it stops with \"Version invalide\"",
                                {}});
        } else if (!IsPlainWholeNumber(indexed.field.text)) {
            problems.push_back({file,
                                field + "not a plain whole number; the updater reads it as " +
                                    Number(indexed.field.value) + " and installs version " +
                                    std::to_string(*indexed.version),
                                {}});
        }
    }
}

void CheckList(const RepositoryFolder& repository, const PublishedList& list,
               std::vector<Problem>& problems) {
    if (!list.bytes) {
        problems.push_back({list.name,
                            "missing, but version " + std::to_string(list.version) +
                                " is in the index: the update of every player below it stops",
                            {}});
        return;
    }
    if (list.bytes->starts_with(kByteOrderMark)) {
        problems.push_back(
            {list.name, "starts with a UTF-8 byte-order mark; the updater keeps it in the first entry", {}});
    }
    for (std::size_t k = 0; k < list.entries.size(); ++k) {
        const std::string& entry = list.entries[k];
        const std::string where = "line " + std::to_string(k + 1) + ": ";
        if (k == 0 && entry.starts_with(Cp1252ToUtf8(kByteOrderMark))) continue;  // reported above
        if (entry.find('\n') != std::string::npos) {
            problems.push_back({list.name,
                                where +
                                    "a line ends in a lone LF, which the updater keeps inside the entry " +
                                    Shown(entry) + "; lines must end in CR LF",
                                {}});
            continue;
        }
        if (IsBlankEntry(entry)) continue;  // fetched as nothing: useless, harmless
        if (const auto problem = EntryProblem(entry)) {
            problems.push_back({list.name, where + Shown(entry) + ": " + *problem, {}});
            continue;
        }
        std::error_code error;
        if (!fs::is_regular_file(repository.GameFilePath(entry), error)) {
            problems.push_back({list.name, where + Shown(entry) + " is missing under files/", entry});
        }
    }
}

// Two paths that Windows takes for the same file, or a path that is a file
// for one entry and a folder for another, break the game folder of whoever
// fetches both.
void CheckCollisions(const RepositoryFolder& repository, std::vector<Problem>& problems) {
    std::map<std::string, std::string> byKey;  // folded path -> first entry
    std::map<std::string, std::string> listOf;
    for (const PublishedList& list : repository.lists) {
        for (const std::string& entry : list.entries) listOf.emplace(entry, list.name);
    }
    const std::vector<std::string> paths = repository.PublishedPaths();
    for (const std::string& entry : paths) {
        const auto [first, added] = byKey.emplace(FoldCase(entry), entry);
        if (!added) {
            problems.push_back({listOf[entry],
                                Shown(entry) + " and " + Shown(first->second) + " (" + listOf[first->second] +
                                    ") differ only in letter case: on Windows they are one file",
                                {}});
        }
    }
    for (const std::string& entry : paths) {
        for (std::size_t cut = entry.find_first_of("/\\"); cut != std::string::npos;
             cut = entry.find_first_of("/\\", cut + 1)) {
            const auto file = byKey.find(FoldCase(entry.substr(0, cut)));
            if (file == byKey.end()) continue;
            problems.push_back({listOf[entry],
                                Shown(entry) + " needs a folder where " + Shown(file->second) + " (" +
                                    listOf[file->second] + ") is a file",
                                {}});
        }
    }
}

// Counts and hashes the body: a server (or a mirror) that sends other bytes
// of the same length is found too.
class CheckingSink : public BodySink {
public:
    bool Begin(const ResponseHead&) override { return true; }
    bool Write(const char* data, std::size_t size) override {
        hash.Update(data, size);
        received += size;
        return true;
    }
    Sha256 hash;
    std::uint64_t received = 0;
};

struct Request {
    std::string remote;  // as appended to the base URL, before encoding
    fs::path local;
};

// What a player at a version below every indexed one asks for, in order.
std::vector<Request> PlayerRequests(const RepositoryFolder& repository, bool signedFiles) {
    std::vector<Request> requests;
    requests.push_back({kIndexName, repository.IndexPath()});
    if (signedFiles) {
        for (const char* name :
             {kFreshMetadataName, kFreshSignatureName, kReleaseMetadataName, kReleaseSignatureName}) {
            requests.push_back({name, repository.root / name});
        }
        // Kept for the updaters that read it, while it is there.
        std::error_code error;
        if (fs::exists(repository.root / kMetadataName, error)) {
            requests.push_back({kMetadataName, repository.root / kMetadataName});
            requests.push_back({kSignatureName, repository.root / kSignatureName});
        }
    }
    for (const PublishedList& list : repository.lists) {
        if (list.bytes) requests.push_back({list.name, repository.ListPath(list.name)});
        if (signedFiles) {
            const std::string name = VersionMetadataName(list.version);
            requests.push_back({name, repository.root / name});
        }
    }
    for (const std::string& entry : repository.PublishedPaths()) {
        // The updater stops before fetching anything when a list holds an
        // unsafe entry; the local check reports those.
        if (!IsSafeEntry(entry)) continue;
        requests.push_back({RemoteFileName(entry), repository.GameFilePath(entry)});
    }
    return requests;
}

std::optional<std::string> Judge(const TransferResult& result, std::int64_t declared, std::uint64_t received,
                                 std::uint64_t local, int timeoutSeconds) {
    switch (result.outcome) {
        case TransferOutcome::Complete:
            break;
        case TransferOutcome::HttpError:
            return "the server answered " + std::to_string(result.head.status);
        case TransferOutcome::TimedOut:
            return "nothing received for " + std::to_string(timeoutSeconds) + " seconds";
        case TransferOutcome::Interrupted:
        default:
            return "the transfer broke off after " + std::to_string(received) + " bytes";
    }
    if (result.head.status < 200 || result.head.status > 299)
        return "the server answered " + std::to_string(result.head.status);
    if (declared < 0) return std::string("no Content-Length in the answer");
    if (static_cast<std::uint64_t>(declared) != local) {
        return "Content-Length " + std::to_string(declared) + ", but the repository file has " +
               std::to_string(local) + " bytes";
    }
    if (received != local) {
        return "received " + std::to_string(received) + " bytes, the repository file has " +
               std::to_string(local);
    }
    return std::nullopt;
}

}  // namespace

std::vector<Problem> CheckRepository(const RepositoryFolder& repository) {
    std::vector<Problem> problems;
    CheckIndex(repository, problems);
    for (const PublishedList& list : repository.lists) CheckList(repository, list, problems);
    CheckCollisions(repository, problems);
    return problems;
}

std::vector<Problem> CheckServer(const RepositoryFolder& repository, const std::string& baseUrl,
                                 int timeoutSeconds, bool signedFiles, std::ostream& progress) {
    std::vector<Problem> problems;
    const std::vector<Request> requests = PlayerRequests(repository, signedFiles);
    HttpOptions options;
    options.timeoutSeconds = timeoutSeconds;
    const std::unique_ptr<HttpClient> client = MakeHttpClient(options);
    std::size_t done = 0;
    for (const Request& request : requests) {
        std::error_code error;
        const std::uint64_t local = fs::file_size(request.local, error);
        if (error) continue;  // missing here: reported by the local check
        const std::string url = baseUrl + EncodeRemoteName(request.remote);
        CheckingSink sink;
        client->Start({url, 0, {}}, sink);
        std::vector<std::pair<TransferId, TransferResult>> ended;
        while (ended.empty()) ended = client->Wait(100);
        const TransferResult result = ended.front().second;
        if (result.outcome == TransferOutcome::Unreachable) {
            problems.push_back({url, "the server cannot be reached; nothing else was requested", {}});
            return problems;
        }
        if (auto problem = Judge(result, result.head.length, sink.received, local, timeoutSeconds)) {
            problems.push_back({url, *problem, {}});
        } else if (sink.hash.Finish() != DigestOfFile(request.local).sha256) {
            problems.push_back(
                {url, "the server sends other bytes than the repository file, of the same length", {}});
        }
        if (++done % 100 == 0) progress << "requested " << done << " of " << requests.size() << " files\n";
    }
    progress << "requested " << done << " files from " << baseUrl << "\n";
    return problems;
}
