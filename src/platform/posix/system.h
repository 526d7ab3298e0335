// What the POSIX backend's files share: errno as an error code, and the
// records that interrupt and fault handlers read.
#pragma once

#include <errno.h>
#include <limits.h>
#include <sys/stat.h>

#include <cstddef>
#include <string_view>

#include "platform/common.h"

namespace tarnwick::platform {

inline int fd_of(Handle handle) { return static_cast<int>(handle); }

ErrorCode map_errno(int error);

// Writes all of the bytes. A write the system takes without a byte ends it:
// a failure, or with `quietly` a success that drops the rest.
bool write_fully(int fd, std::string_view bytes, bool quietly = false);

// Records errno as the last error; gives `result` for convenience.
template <typename T>
T fail_with_errno(T result) {
  return fail_with(map_errno(errno), result);
}

// Opens a directory to work in through *at calls: for reading where this user
// may, held without reading (O_PATH) where it may only be passed through.
int open_directory(const char* path);

// The file's own name within its site's path.
inline const char* name_of(const Site& site) { return site.path.c_str() + site.name_at; }

// The name of a companion: the file's own name and a suffix. False when that
// would be too long a name.
bool companion_name(const Site& site, Companion companion, char (&out)[NAME_MAX + 1]);

// True when `user` owns `file` or is the administrator: a user who may write
// the file by its owner's bits. A file's group tells nothing of who made a
// file beside it, since a directory or a mount may hand any group on.
inline bool owner_or_administrator(uid_t user, const struct stat& file) { return user == file.st_uid || user == 0; }

// The permissions of a lock file for `target`: open to those who may write
// the file itself (its owner, and its group or everybody where they may),
// who could spoil the file anyway, and closed to everybody else.
inline mode_t lock_mode(const struct stat& target) {
  return 0600 | ((target.st_mode & 020) != 0 ? 060 : 0) | ((target.st_mode & 002) != 0 ? 006 : 0);
}

// The extended attribute that holds a file's mark (see set_mark()).
inline constexpr const char* kMarkAttribute = "user.tarnwick.mark";
// Where runs of earlier versions kept their mark: the journal's path, a
// newline, its identity. While a mark is set, a path there that no directory
// can have (a name longer than any file system allows) stops such a run
// before it builds on the file, as a journal out of its reach would; a mark
// an earlier run left there, the journal reads as such.
inline constexpr const char* kEarlierMarkAttribute = "user.tarnwick.journal";

// What tells who made `made`, a file at a companion's name beside `target`,
// and who else may change it.
CompanionFacts facts_of(const struct stat& made, const struct stat& target);


// A mapped file's block, so that a fault on it can be told from others.
struct Mapping {
  const char* start = nullptr;
  std::size_t size = 0;
};
inline constexpr int kMaxMappings = 4;
extern Mapping g_mappings[kMaxMappings];

}  // namespace tarnwick::platform
