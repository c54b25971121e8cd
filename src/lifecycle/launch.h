// Starting the game, one backend per platform.
#pragma once

#include <filesystem>

// Starts the program without waiting for it, minimised with focus where the
// system has such a thing. Failures are ignored: the updater closes either way.
void LaunchGame(const std::filesystem::path& executable);
