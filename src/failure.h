// The two ways an update run stops early. Both are thrown from deep inside a
// transfer, a list read or the commit and caught at one place, where the
// window shows the reason. Every layer may throw them, so they live below
// all of them.
#pragma once

#include <stdexcept>
#include <string>

// Something went wrong; what() is the French reason shown to the player.
class UpdateFailure : public std::runtime_error {
public:
    explicit UpdateFailure(const std::string& reason) : std::runtime_error(reason) {}
};

// The player closed the window while the run was working.
class RunCancelled {};
