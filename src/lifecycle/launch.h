// Starting the game, one backend per platform.
#pragma once

#include <string>

#include "storage/storage.h"

// Starts the program `name` of the game folder without waiting for it,
// minimised with focus where the system has such a thing. Failures are
// ignored: the updater closes either way.
void LaunchGame(GameFolder& folder, const std::string& name);
