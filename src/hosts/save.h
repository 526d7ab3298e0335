// What the routes of a save share. The notes on the save, its invariants
// and its commit points, are at the top of save.cc.
#pragma once

#include <string>

#include "platform/platform.h"

namespace tarnwick {

// EWriteError "Stream write error".
[[noreturn]] void raise_write_error();
// EFCreateError "Cannot create file PATH" for `path`.
[[noreturn]] void raise_create_error(const std::string& path);
// The same, or EOutOfMemory where `error` says that memory ran out.
[[noreturn]] void raise_create_failure(const std::string& path, platform::ErrorCode error = platform::last_error());

}  // namespace tarnwick
