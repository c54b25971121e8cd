// For the backends only: the one place each of them turns the system's error
// number into an IoStatus, errno on POSIX systems (files_posix.cpp) and
// GetLastError() on Windows (files_win.cpp).
#pragma once

#include <string>

#include "storage/status.h"

IoStatus SystemError(const std::string& name, int error);
