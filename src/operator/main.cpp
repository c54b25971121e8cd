// update-repo: the operators' tool that publishes a version into an update
// repository and checks a repository before players see it.
#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <exception>
#include <iostream>
#include <string>
#include <vector>

#include "operator/arguments.h"
#include "operator/file_io.h"
#include "operator/names.h"
#include "operator/publish.h"
#include "operator/refresh.h"
#include "operator/signing.h"
#include "operator/signing_key.h"
#include "operator/verify.h"
#include "update/trust/key_text.h"

#ifndef TRANSFER_TIMEOUT_SECONDS
#define TRANSFER_TIMEOUT_SECONDS 60
#endif

namespace {

constexpr int kOk = 0;
constexpr int kProblems = 1;
constexpr int kUsage = 2;

const std::string kHelp =
    R"(update-repo: publish versions into a Kestralon update repository, sign it and verify it.

usage:
  update-repo publish --repo DIR --version N --from BUILD_DIR [--dry-run] [--allow-empty]
                      [--key KEY_FILE ...] [--freshness-key KEY_FILE ...] [--channel NAME]
                      [--expires-in DAYS] [--release-expires-in DAYS] [--drop-other-keys]
                      [--no-patches] [--no-packs] [--patch-versions K] [--level L]
                      [--delta-threshold BYTES] [--threshold N] [--state FILE] [--first-signing]
                      [--new-state] [--allow-rollback] [--signed-elsewhere]
  update-repo verify --repo DIR [--public-key KEYS] [--threshold N] [--freshness-key KEYS]
                     [--channel NAME] [--url BASE_URL] [--timeout SECONDS]
  update-repo keygen --out KEY_FILE
  update-repo sign --repo DIR --key KEY_FILE [--key KEY_FILE ...] [--freshness-key KEY_FILE ...]
                   [--channel NAME] [--expires-in DAYS] [--release-expires-in DAYS] [--drop-other-keys]
                   [--threshold N] [--state FILE] [--first-signing] [--new-state] [--allow-rollback]
                   [--signed-elsewhere]
  update-repo refresh --repo DIR --key FRESHNESS_KEY_FILE --public-key RELEASE_KEYS [--threshold N]
                      [--expires-in DAYS] [--drop-other-keys] [--state FILE] [--new-state]
                      [--allow-rollback] [--fresh-from-state]
  update-repo --help | update-repo COMMAND --help

publish
  Compares BUILD_DIR (the whole game as it should be installed) with the game
  the repository installs, and adds version N: copies the new and changed files
  under DIR/files/, writes qoro_update_N.deploy listing them, then appends N to
  qoro_update_infos.deploy. Every file is written under a temporary name and
  renamed; the index goes last, so players never see a half-published version.
  Refuses (and writes nothing) when N is not greater than every published
  version or does not fit -32768..32767, when a build file's name cannot be
  published (not Windows-1252, unsafe, not a valid Windows name, same name but
  for letter case), when the repository already has problems (see verify), and
  when nothing changed.
    --dry-run       print what would be published, write nothing
    --allow-empty   publish version N even when no file changed (an empty list)
    --key FILE      sign as it publishes, with the release keys (see sign);
                    required once the repository is signed. Give every key
                    players' updaters may hold, one --key each. The first
                    publish with a key needs --first-signing, and the record
                    of what was signed is kept as sign does.
  Signed, it also writes every new file version compressed once under
  objects/<sha256>.zst and, for each changed file of at least
  --delta-threshold bytes (default 1024), deltas from its contents in the
  last K versions (--patch-versions, default 3) under deltas/, each kept only
  when it saves at least an eighth of the object (one zstd frame up to 64
  MiB, segmented beyond: any size, in bounded memory, on every core);
  qoro_update_N.patch lists them and the release metadata signs it. Keyed
  updaters fetch the cheapest of them. For the newest version and each of the
  K versions before it, a pack (packs/F-N.index and packs/F-N.K.part, named
  in qoro_update_extras.meta) holds the delta or object of every changed file
  of up to 1 MiB in parts of about 256 KiB: a keyed updater at version F
  reads the pack's index instead of every newer list and metadata and fetches
  those files in a few requests. sign makes packs again when they are
  missing or stale.
    --level L       zstd's level for objects and deltas (1 to 22, default 19)
    --no-patches    no objects nor deltas: players fetch whole files
    --no-packs      no packs: players fetch each changed file on its own
  Files deleted from the build stay installed: the repository cannot express a
  deletion; publish lists them as a note.

sign
  Signs DIR for updaters built with UPDATE_PUBLIC_KEY (the release keys):
  writes the missing qoro_update_N.meta (each file of list N with its size and
  SHA-256, from files/), then qoro_update_release.meta (channel, release serial
  and expiry, the digests of the index, lists and version metadata) with its
  signatures in qoro_update_release.sig, then qoro_update_fresh.meta (a serial
  and a short expiry over the release metadata) signed by the freshness keys in
  qoro_update_fresh.sig; qoro_update_infos.meta, kept for updaters built before
  the two roles, is signed again while it is there. On a signed repository it
  refuses, naming them, files that the present release signature does not
  cover: new content comes only through publish --key. Refuses when the
  repository has problems, when a version metadata no longer matches files/,
  or when a key file lies inside DIR.
    --key FILE            a release key made by keygen; repeat for several keys
    --freshness-key FILE  the key that signs the fresh metadata (the one the
                          server keeps for refresh); default: the release keys
    --channel NAME        the channel updaters must be built for (UPDATE_CHANNEL);
                          default: the present one, or live
    --expires-in DAYS     validity of the fresh metadata (default 7) and of
                          qoro_update_infos.meta (default 30), at most 3650
    --release-expires-in DAYS  validity of the release metadata (default 365)
    --drop-other-keys     sign even though a present signature is by a key not
                          given (retiring an old key)
    --threshold N         how many of the given keys must have signed the
                          present release metadata, extras and
                          qoro_update_infos.meta (default: every key given;
                          adding a new key, the number that signed before)
  What it signed is recorded off the server, in update-repo.state beside the
  first --key (or --state FILE): each repository's last release serial and
  digest, per channel. It never signs a release serial at or below the
  recorded one, and refuses, naming the cause, a repository whose release is
  older or later than the record, or that it has no record of; then,
  knowingly:
    --first-signing   the repository has no qoro_update_release.meta: never
                      signed, or its signature files were deleted; it vouches
                      for every file the repository holds
    --new-state       no record of the repository (a lost state file, another
                      machine): start one from its present release
    --allow-rollback  its release is older than the recorded one, on purpose
    --signed-elsewhere  its release is later than the recorded one: you
                      signed it on another machine (verify it first)
  Each is refused where its case does not arise.

refresh
  The scheduled job, with the freshness key the server may keep: first checks
  the whole repository against the release signatures (by RELEASE_KEYS, N of
  them, default 1: give the players' threshold), and refuses, naming each
  file that differs and writing nothing, when the index, a list, a version's
  metadata, a file under files/, the extras and their packs or
  qoro_update_infos.meta is not what the release keys signed, and a release
  older than the last it refreshed (its record, kept as sign keeps its own:
  beside the first --key, or --state FILE; a later one is recorded). The
  next fresh serial passes the recorded one and that of a
  qoro_update_fresh.meta signed by the freshness key or the release keys; a
  fresh metadata missing or unverified is refused. Then it writes
  qoro_update_fresh.meta with that serial and a new expiry, and its
  signature; it signs nothing else. Last, it names every file that nothing
  signed names. Daily, after a first run by hand with --new-state:
    0 4 * * *  update-repo refresh --repo /srv/kestralon/repository --key /etc/kestralon/fresh.pem --public-key RELEASE_KEYS --threshold N --state /var/lib/kestralon/update-repo.state >/dev/null
    --expires-in DAYS   validity of the fresh metadata (default 7, at most 3650)
    --new-state, --allow-rollback   as for sign
    --fresh-from-state  the fresh metadata is missing or unverified: go on
                        from the fresh serial recorded for this very release

keygen
  Makes a new P-256 key pair: writes the private key to KEY_FILE (PEM,
  readable by you only; an existing file is never replaced) and prints the
  public key, the text to build the updater with (-DUPDATE_PUBLIC_KEY=...).
  Keep KEY_FILE outside the repository and back it up offline.

verify
  Reads DIR the way the updater does and reports every problem on its own line:
  index fields that are not numbers or do not fit 16 bits, versions without a
  list, unsafe list entries, entries missing under files/, paths that differ
  only in letter case, byte-order marks and lone LF line ends. In a signed
  repository, also the expiry and every digest: of the index, the lists, the
  version metadata, and of every file under files/ against the newest
  version listing it.
    --public-key KEYS  also check the signatures as an updater built with
                    these release keys does (128 hex digits each, separated
                    by commas); an unsigned repository is then a problem
    --threshold N   how many of them must sign (UPDATE_RELEASE_THRESHOLD)
    --freshness-key KEYS  the freshness keys (UPDATE_FRESHNESS_KEY); default:
                    the release keys
    --channel NAME  the channel the updater is built for (UPDATE_CHANNEL)
    --url BASE_URL  also request every file a player requests from the server
                    that serves DIR (e.g. http://host/game/update/) and check
                    the status, the Content-Length, the size received and
                    that the bytes are the repository's
    --timeout S     seconds without data before a request fails (default )" +
    std::to_string(TRANSFER_TIMEOUT_SECONDS) + R"()

exit status: 0 done / clean, 1 problems found or refused, 2 usage error
)";

std::vector<CommandSyntax> Commands() {
    return {
        {"publish",
         {"repo", "version", "from"},
         {"key", "freshness-key", "expires-in", "release-expires-in", "channel", "patch-versions", "level",
          "delta-threshold", "state", "threshold"},
         {"dry-run", "allow-empty", "drop-other-keys", "no-patches", "no-packs", "first-signing", "new-state",
          "allow-rollback", "signed-elsewhere"},
         {"key", "freshness-key"}},
        {"verify",
         {"repo"},
         {"url", "timeout", "public-key", "threshold", "freshness-key", "channel"},
         {},
         {}},
        {"keygen", {"out"}, {}, {}, {}},
        {"sign",
         {"repo", "key"},
         {"freshness-key", "expires-in", "release-expires-in", "channel", "level", "state", "threshold"},
         {"drop-other-keys", "no-patches", "no-packs", "first-signing", "new-state", "allow-rollback",
          "signed-elsewhere"},
         {"key", "freshness-key"}},
        {"refresh",
         {"repo", "key", "public-key"},
         {"threshold", "expires-in", "state"},
         {"drop-other-keys", "new-state", "allow-rollback", "fresh-from-state"},
         {"key"}},
    };
}

long long Days(const Arguments& arguments, const std::string& option, long long fallback) {
    const long long days = ParseWholeNumber(option, arguments.Value(option, std::to_string(fallback)));
    if (days < 1 || days > 3650) throw UsageError("--" + option + " must be between 1 and 3650 days");
    return days;
}

std::size_t ThresholdFrom(const Arguments& arguments, std::size_t keys, const std::string& option) {
    const long long threshold = ParseWholeNumber("threshold", arguments.Value("threshold", "1"));
    if (threshold < 1 || static_cast<std::size_t>(threshold) > std::max<std::size_t>(keys, 1)) {
        throw UsageError("--threshold must be between 1 and the number of " + option + " keys");
    }
    return static_cast<std::size_t>(threshold);
}

SigningOptions SigningFrom(const Arguments& arguments) {
    SigningOptions options;
    for (const std::string& file : arguments.Values("key")) options.keyFiles.push_back(Utf8Path(file));
    for (const std::string& file : arguments.Values("freshness-key")) {
        options.freshKeyFiles.push_back(Utf8Path(file));
    }
    if (arguments.values.contains("expires-in"))
        options.expiresInDays = Days(arguments, "expires-in", kFreshDays);
    options.releaseExpiresInDays = Days(arguments, "release-expires-in", kReleaseDays);
    if (arguments.values.contains("channel")) {
        options.channel = arguments.Value("channel");
        if (!IsChannelName(*options.channel)) {
            throw UsageError("--channel takes 1 to 64 letters, digits, '.', '_' or '-'");
        }
    }
    options.dropOtherKeys = arguments.Has("drop-other-keys");
    if (arguments.values.contains("state")) options.stateFile = Utf8Path(arguments.Value("state"));
    options.anchor = {arguments.Has("first-signing"), arguments.Has("new-state"),
                      arguments.Has("allow-rollback"), arguments.Has("signed-elsewhere")};
    if (arguments.values.contains("threshold")) {
        options.threshold = ThresholdFrom(arguments, options.keyFiles.size(), "--key");
    }
    if (arguments.Has("no-patches")) {
        options.patches.reset();
    } else {
        PatchOptions& patches = *options.patches;
        patches.versionsBack = static_cast<int>(ParseWholeNumber(
            "patch-versions", arguments.Value("patch-versions", std::to_string(patches.versionsBack))));
        if (patches.versionsBack < 0 || patches.versionsBack > 100) {
            throw UsageError("--patch-versions must be between 0 and 100");
        }
        patches.level = static_cast<int>(
            ParseWholeNumber("level", arguments.Value("level", std::to_string(patches.level))));
        if (patches.level < 1 || patches.level > 22) throw UsageError("--level must be between 1 and 22");
        const long long threshold = ParseWholeNumber(
            "delta-threshold", arguments.Value("delta-threshold", std::to_string(patches.deltaThreshold)));
        if (threshold < 0) throw UsageError("--delta-threshold must be a number of bytes");
        patches.deltaThreshold = static_cast<std::uint64_t>(threshold);
        patches.packs = !arguments.Has("no-packs");
        // For tests only: files of a few MB published as segmented deltas
        // of many segments, as the product does for files beyond 64 MiB.
        if (const char* segment = std::getenv("UPDATE_REPO_TEST_SEGMENT_BYTES")) {
            patches.singleFrameMost = 0;
            patches.segments = ScaledSegmentSizes(std::strtoull(segment, nullptr, 10));
        }
    }
    return options;
}

std::vector<PublicKey> PublicKeysFrom(const Arguments& arguments, const std::string& option) {
    if (!arguments.values.contains(option)) return {};
    const auto parsed = ParsePublicKeys(arguments.Value(option));
    if (!parsed || parsed->empty()) {
        throw UsageError("--" + option +
                         " takes keys of 128 hex digits, separated by commas (keygen prints one)");
    }
    return *parsed;
}

int RunRefresh(const Arguments& arguments) {
    RefreshOptions options;
    for (const std::string& file : arguments.Values("key")) options.keyFiles.push_back(Utf8Path(file));
    options.releaseKeys = PublicKeysFrom(arguments, "public-key");
    options.threshold = ThresholdFrom(arguments, options.releaseKeys.size(), "--public-key");
    if (arguments.values.contains("expires-in"))
        options.expiresInDays = Days(arguments, "expires-in", kFreshDays);
    options.dropOtherKeys = arguments.Has("drop-other-keys");
    if (arguments.values.contains("state")) options.stateFile = Utf8Path(arguments.Value("state"));
    options.newState = arguments.Has("new-state");
    options.allowRollback = arguments.Has("allow-rollback");
    options.freshFromState = arguments.Has("fresh-from-state");
    return Refresh(Utf8Path(arguments.Value("repo")), options, std::cout, std::cerr);
}

int RunKeygen(const Arguments& arguments) {
    const fs::path out = Utf8Path(arguments.Value("out"));
    const SigningKey key = SigningKey::Generate();
    key.SaveNew(out);
    std::cerr << "private key written to " << PathText(out) << " (key id " << KeyId(key.Public())
              << "); keep it outside the repository, readable by you only, with an offline copy\n"
              << "public key, for -DUPDATE_PUBLIC_KEY= and verify --public-key:\n";
    std::cout << KeyText(key.Public()) << "\n";
    return kOk;
}

int RunSign(const Arguments& arguments) {
    return Sign(Utf8Path(arguments.Value("repo")), SigningFrom(arguments), std::cout, std::cerr);
}

int RunVerify(const Arguments& arguments) {
    std::string url = arguments.Value("url");
    if (arguments.values.contains("url")) {
        if (!url.starts_with("http://") && !url.starts_with("https://")) {
            throw UsageError("--url must start with http:// or https://");
        }
        // The updater's own URL always ends in "/"; names are appended to it.
        if (!url.ends_with("/")) url += "/";
    }
    const long long timeout =
        ParseWholeNumber("timeout", arguments.Value("timeout", std::to_string(TRANSFER_TIMEOUT_SECONDS)));
    if (timeout < 1 || timeout > 3600) throw UsageError("--timeout must be between 1 and 3600 seconds");

    TrustedKeys keys;
    keys.release = PublicKeysFrom(arguments, "public-key");
    keys.threshold = ThresholdFrom(arguments, keys.release.size(), "--public-key");
    keys.fresh = PublicKeysFrom(arguments, "freshness-key");
    if (arguments.values.contains("channel")) keys.channel = arguments.Value("channel");

    const fs::path root = Utf8Path(arguments.Value("repo"));
    std::error_code error;
    if (!fs::is_directory(root, error)) {
        std::cerr << "update-repo: error: the repository " << PathText(root) << " is not a folder\n";
        return kProblems;
    }
    const RepositoryFolder repository = ReadRepositoryFolder(root);
    std::vector<Problem> problems = CheckRepository(repository);
    // A signed repository's digests are checked even without its key.
    const bool signedFiles = !keys.release.empty() || IsSigned(repository);
    if (signedFiles) {
        for (Problem& problem : CheckSignedMetadata(repository, keys, std::time(nullptr))) {
            problems.push_back(std::move(problem));
        }
    }
    if (!url.empty()) {
        for (Problem& problem :
             CheckServer(repository, url, static_cast<int>(timeout), signedFiles, std::cerr)) {
            problems.push_back(std::move(problem));
        }
    }
    PrintProblems(problems, std::cout);
    if (!problems.empty()) {
        std::cout << problems.size() << " problem(s) found\n";
        return kProblems;
    }
    std::cout << "clean: " << repository.lists.size() << " version(s), " << repository.PublishedPaths().size()
              << " file(s)" << (signedFiles ? ", " + SignatureSummary(repository, keys) : "")
              << (url.empty() ? "" : ", all served as stored") << "\n";
    return kOk;
}

int RunPublish(const Arguments& arguments) {
    PublishOptions options;
    options.repository = Utf8Path(arguments.Value("repo"));
    options.build = Utf8Path(arguments.Value("from"));
    options.version = ParseWholeNumber("version", arguments.Value("version"));
    options.dryRun = arguments.Has("dry-run");
    options.allowEmpty = arguments.Has("allow-empty");
    options.signing = SigningFrom(arguments);
    return Publish(options, std::cout, std::cerr);
}

}  // namespace

int main(int argc, char** argv) {
    try {
        const Arguments arguments =
            ParseArguments(std::vector<std::string>(argv + 1, argv + argc), Commands());
        if (arguments.help) {
            std::cout << kHelp;
            return kOk;
        }
        if (arguments.command == "publish") return RunPublish(arguments);
        if (arguments.command == "keygen") return RunKeygen(arguments);
        if (arguments.command == "sign") return RunSign(arguments);
        if (arguments.command == "refresh") return RunRefresh(arguments);
        return RunVerify(arguments);
    } catch (const UsageError& e) {
        std::cerr << "update-repo: " << Escaped(e.what()) << "\n(update-repo --help shows the usage)\n";
        return kUsage;
    } catch (const std::exception& e) {
        std::cerr << "update-repo: error: " << Escaped(e.what()) << "\n";
        return kProblems;
    }
}
