// The two ways an update run stops early. Both are thrown from deep inside a
// transfer or a list read and caught at one place, in Form_Load.
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
