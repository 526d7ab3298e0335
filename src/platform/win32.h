// What the Win32 backend's files share.
#pragma once

#include <windows.h>

#include "platform/common.h"

namespace tarnwick::platform {

inline HANDLE native(Handle handle) { return reinterpret_cast<HANDLE>(handle); }
inline Handle handle_of(HANDLE handle) { return reinterpret_cast<Handle>(handle); }

// Records GetLastError as the last error; gives `result` for convenience.
template <typename T>
T fail_with_system_error(T result) {
  return fail_with(static_cast<ErrorCode>(GetLastError()), result);
}

// The run's own files, by their full paths, as the console handler sees them
// (see win32_run_files.cc).
inline constexpr std::size_t kRunFilePath = MAX_PATH * 2 + 48;
void publish_run_file(Companion companion, const char* path);
void withdraw_run_file(Companion companion);

// The text after the last backslash (or slash) of a path; a backslash that is
// the second byte of a double-byte character does not count.
const char* file_name_part(const char* path);

}  // namespace tarnwick::platform
