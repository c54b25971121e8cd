// update-repo: the operators' tool that publishes a version into an update
// repository and checks a repository before players see it.
#include <exception>
#include <iostream>
#include <string>
#include <vector>

#include "operator/arguments.h"
#include "operator/file_io.h"
#include "operator/publish.h"
#include "operator/verify.h"

#ifndef TRANSFER_TIMEOUT_SECONDS
#define TRANSFER_TIMEOUT_SECONDS 60
#endif

namespace {

constexpr int kOk = 0;
constexpr int kProblems = 1;
constexpr int kUsage = 2;

const std::string kHelp =
    R"(update-repo: publish versions into a Kestralon update repository and verify one.

usage:
  update-repo publish --repo DIR --version N --from BUILD_DIR [--dry-run] [--allow-empty]
  update-repo verify --repo DIR [--url BASE_URL] [--timeout SECONDS]
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
  Files deleted from the build stay installed: the repository cannot express a
  deletion; publish lists them as a note.

verify
  Reads DIR the way the updater does and reports every problem on its own line:
  index fields that are not numbers or do not fit 16 bits, versions without a
  list, unsafe list entries, entries missing under files/, paths that differ
  only in letter case, byte-order marks and lone LF line ends.
    --url BASE_URL  also request every file a player requests from the server
                    that serves DIR (e.g. http://host/game/update/) and check
                    the status, the Content-Length and the size received
    --timeout S     seconds without data before a request fails (default )" +
    std::to_string(TRANSFER_TIMEOUT_SECONDS) + R"()

exit status: 0 done / clean, 1 problems found or publish refused, 2 usage error
)";

std::vector<CommandSyntax> Commands() {
    return {
        {"publish", {"repo", "version", "from"}, {}, {"dry-run", "allow-empty"}},
        {"verify", {"repo"}, {"url", "timeout"}, {}},
    };
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

    const fs::path root = Utf8Path(arguments.Value("repo"));
    std::error_code error;
    if (!fs::is_directory(root, error)) {
        std::cerr << "update-repo: error: the repository " << PathText(root) << " is not a folder\n";
        return kProblems;
    }
    const RepositoryFolder repository = ReadRepositoryFolder(root);
    std::vector<Problem> problems = CheckRepository(repository);
    if (!url.empty()) {
        for (Problem& problem : CheckServer(repository, url, static_cast<int>(timeout), std::cerr)) {
            problems.push_back(std::move(problem));
        }
    }
    PrintProblems(problems, std::cout);
    if (!problems.empty()) {
        std::cout << problems.size() << " problem(s) found\n";
        return kProblems;
    }
    std::cout << "clean: " << repository.lists.size() << " version(s), " << repository.PublishedPaths().size()
              << " file(s)" << (url.empty() ? "" : ", all served as stored") << "\n";
    return kOk;
}

int RunPublish(const Arguments& arguments) {
    PublishOptions options;
    options.repository = Utf8Path(arguments.Value("repo"));
    options.build = Utf8Path(arguments.Value("from"));
    options.version = ParseWholeNumber("version", arguments.Value("version"));
    options.dryRun = arguments.Has("dry-run");
    options.allowEmpty = arguments.Has("allow-empty");
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
        return RunVerify(arguments);
    } catch (const UsageError& e) {
        std::cerr << "update-repo: " << e.what() << "\n(update-repo --help shows the usage)\n";
        return kUsage;
    } catch (const std::exception& e) {
        std::cerr << "update-repo: error: " << e.what() << "\n";
        return kProblems;
    }
}
