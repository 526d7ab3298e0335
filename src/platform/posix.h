// What the POSIX backend's files share: errno as an error code, and the
// records that interrupt and fault handlers read.
#pragma once

#include <errno.h>
#include <limits.h>

#include <cstddef>

#include "platform/common.h"

namespace tarnwick::platform {

inline int fd_of(Handle handle) { return static_cast<int>(handle); }

ErrorCode map_errno(int error);

// Records errno as the last error; gives `result` for convenience.
template <typename T>
T fail_with_errno(T result) {
  return fail_with(map_errno(errno), result);
}

// A file a run keeps beside the file it edits, by directory and name, so that
// an interrupt or a fault can remove it; the name is empty while there is none.
struct RunFile {
  int directory = -1;
  char name[NAME_MAX + 1] = "";
};
extern RunFile g_lock_file;
extern RunFile g_named_temporary;

void remove_run_file(RunFile& file);

// A mapped file's block, so that a fault on it can be told from others.
struct Mapping {
  const char* start = nullptr;
  std::size_t size = 0;
};
inline constexpr int kMaxMappings = 4;
extern Mapping g_mappings[kMaxMappings];

}  // namespace tarnwick::platform
