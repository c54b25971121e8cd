// Starting the game on POSIX systems. "kestralon.exe" is a Windows program:
// it runs directly only where the system can execute it (a native build or a
// script standing in for it), otherwise through Wine when that is installed.
#include <spawn.h>
#include <unistd.h>

#include <cstring>

#include "lifecycle/launch.h"

extern char** environ;

namespace {

bool SystemCanExecute(GameFolder& folder, const std::string& name) {
    if (access(folder.Where(name).c_str(), X_OK) != 0) return false;
    char magic[4] = {};
    const Result<std::string> start = ReadFile(folder, name, sizeof magic);
    if (start.ok()) start->copy(magic, sizeof magic);
    return std::memcmp(magic,
                       "\x7f"
                       "ELF",
                       4) == 0 ||
           std::memcmp(magic, "#!", 2) == 0;
}

void Spawn(const std::filesystem::path& executable, bool throughWine) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    // The game expects its own folder as the current directory.
    posix_spawn_file_actions_addchdir_np(&actions, executable.parent_path().c_str());
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    // Its own session, so the game outlives the updater and its terminal.
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);

    std::string program = throughWine ? "wine" : executable.string();
    std::string target = executable.string();
    char* argvWine[] = {program.data(), target.data(), nullptr};
    char* argvDirect[] = {target.data(), nullptr};
    pid_t pid = 0;
    if (throughWine) {
        posix_spawnp(&pid, "wine", &actions, &attributes, argvWine, environ);
    } else {
        posix_spawn(&pid, target.c_str(), &actions, &attributes, argvDirect, environ);
    }
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
}

}  // namespace

void LaunchGame(GameFolder& folder, const std::string& name) {
    Spawn(folder.Where(name), !SystemCanExecute(folder, name));
}
