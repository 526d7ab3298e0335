// POSIX backend: files, the save's steps, and the lock between runs.
#include <dirent.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>
#if defined(__linux__)
#include <sys/xattr.h>
#endif

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/posix.h"

namespace tarnwick::platform {

RunFile g_lock_file;
RunFile g_named_temporary;
Mapping g_mappings[kMaxMappings];

namespace {

// Maps every page of a file at once where the system can.
#ifdef MAP_POPULATE
constexpr int kPopulate = MAP_POPULATE;
#else
constexpr int kPopulate = 0;
#endif

}  // namespace

ErrorCode map_errno(int error) {
  switch (error) {
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR:
    case ETXTBSY:
      return kErrorAccessDenied;
    case ENOENT:
      return kErrorFileNotFound;
    case ENOTDIR:
    case ENAMETOOLONG:
    case ELOOP:
      return kErrorPathNotFound;
    case EMFILE:
    case ENFILE:
      return kErrorTooManyOpenFiles;
    case EBADF:
      return kErrorInvalidHandle;
    case ENOMEM:
      return kErrorNotEnoughMemory;
    case ENOSPC:
    case EDQUOT:
    case EFBIG:
      return kErrorDiskFull;
    case EPIPE:
      return kErrorNoData;
    case EIO:
      return kErrorIoDevice;
    default:
      return kErrorGenFailure;
  }
}

void remove_run_file(RunFile& file) {
  if (file.name[0] != '\0') unlinkat(file.directory, file.name, 0);
  file.name[0] = '\0';
}

namespace {

// The first directory entry (in byte order, "." and ".." included) matching the
// last component of `path`; empty when none does or the directory is unreadable.
std::string first_wildcard_match(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  const std::string directory =
      slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
  const std::string pattern = slash == std::string::npos ? path : path.substr(slash + 1);
  struct CloseDir {
    void operator()(DIR* dir) const { closedir(dir); }
  };
  const std::unique_ptr<DIR, CloseDir> dir(opendir(directory.c_str()));
  if (dir == nullptr) return {};
  std::vector<std::string> names;
  while (const dirent* entry = readdir(dir.get())) {
    if (wildcard_match(pattern.c_str(), entry->d_name)) names.emplace_back(entry->d_name);
  }
  if (names.empty()) return {};
  const std::string first = *std::min_element(names.begin(), names.end());
  return slash == std::string::npos ? first : path.substr(0, slash + 1) + first;
}

bool fits_dos_date(time_t when) {
  tm local{};
  if (localtime_r(&when, &local) == nullptr) return false;
  const int year = local.tm_year + 1900;
  return year >= 1980 && year <= 2107;
}

// Writes all of the bytes. A write the system takes without a byte ends it:
// a failure, or with `quietly` a success that drops the rest.
bool write_fully(int fd, const char* data, std::size_t size, bool quietly) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return fail_with_errno(false);
    }
    if (n == 0) return quietly || fail_with(kErrorGenFailure, false);
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace

// ---- Files ---------------------------------------------------------------------

bool is_existing_file(const char* path) {
  if (injected(Call::kIsExistingFile)) return false;
  std::string found = path;
  if (found.find_first_of("*?", found.rfind('/') + 1) != std::string::npos) {
    found = first_wildcard_match(found);
    if (found.empty()) return false;
  }
  struct stat info {};
  if (stat(found.c_str(), &info) != 0) return false;
  if (S_ISDIR(info.st_mode)) return false;
  return fits_dos_date(info.st_mtime);
}

Handle open_for_reading(const char* path) {
  if (injected(Call::kOpenForReading)) return kInvalidHandle;
  const int fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return fail_with_errno(kInvalidHandle);
  struct stat info {};
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    ::close(fd);
    return fail_with(kErrorAccessDenied, kInvalidHandle);
  }
  return fd;
}

std::int64_t seek(Handle handle, std::int64_t distance, SeekFrom from) {
  if (injected(Call::kSeek)) return -1;
  const int whence = from == SeekFrom::kBegin ? SEEK_SET : from == SeekFrom::kEnd ? SEEK_END : SEEK_CUR;
  const off_t position = lseek(fd_of(handle), distance, whence);
  return position < 0 ? fail_with_errno(std::int64_t{-1}) : position;
}

std::int64_t read(Handle handle, char* buffer, std::size_t size) {
  if (injected(Call::kRead)) return -1;
  std::size_t total = 0;
  while (total < size) {
    const ssize_t n = ::read(fd_of(handle), buffer + total, size - total);
    if (n < 0) {
      if (errno == EINTR) continue;
      return fail_with_errno(std::int64_t{-1});
    }
    if (n == 0) break;
    total += static_cast<std::size_t>(n);
  }
  return static_cast<std::int64_t>(total);
}

namespace {

bool write_all(Handle handle, std::string_view bytes, bool quietly) {
  if (injected(Call::kWrite)) return false;
  return write_fully(fd_of(handle), bytes.data(), bytes.size(), quietly);
}

}  // namespace

bool write(Handle handle, std::string_view bytes) { return write_all(handle, bytes, false); }

bool write_output(Handle handle, std::string_view bytes) { return write_all(handle, bytes, true); }

void close(Handle handle) {
  if (injected(Call::kClose)) return;
  ::close(fd_of(handle));
}

// ---- Where a file lives -----------------------------------------------------------

bool locate(const char* path, Site& site) {
  if (injected(Call::kLocate)) return false;
  // Freed on every way out, also when copying it runs out of memory.
  const std::unique_ptr<char, decltype(&free)> resolved(realpath(path, nullptr), &free);
  if (resolved == nullptr) return fail_with_errno(false);
  struct stat info {};
  if (stat(resolved.get(), &info) != 0) return fail_with_errno(false);
  if (!S_ISREG(info.st_mode)) return fail_with(kErrorAccessDenied, false);
  std::string full = resolved.get();
  const std::size_t slash = full.rfind('/');
  const std::string directory = slash == 0 ? "/" : full.substr(0, slash);
  const int fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return fail_with_errno(false);
  site.path = std::move(full);
  site.name_at = slash + 1;
  site.directory = fd;
  return true;
}

bool stamp(Handle handle, FileStamp& out) {
  if (injected(Call::kStamp)) return false;
  struct stat info {};
  if (fstat(fd_of(handle), &info) != 0) return fail_with_errno(false);
  out.device = info.st_dev;
  out.file = info.st_ino;
  out.size = static_cast<std::uint64_t>(info.st_size);
  out.modified = static_cast<std::int64_t>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
  // The change time cannot be set back by anyone, as the last write's can.
  out.changed = static_cast<std::int64_t>(info.st_ctim.tv_sec) * 1000000000 + info.st_ctim.tv_nsec;
  return true;
}

namespace {

const char* name_of(const Site& site) { return site.path.c_str() + site.name_at; }

// True when `made` (a file beside `target`) was made by a member of a group
// that may write the target: known by its group, unless the directory hands
// its group to every file made in it.
bool made_by_group_writer(const struct stat& made, const struct stat& target, int directory) {
  struct stat place {};
  return (target.st_mode & 020) != 0 && made.st_gid == target.st_gid && fstat(directory, &place) == 0 &&
         (place.st_mode & S_ISGID) == 0;
}

// The name of a companion: the file's own name and a suffix. False when that
// would be too long a name.
bool companion_name(const Site& site, Companion companion, char (&out)[NAME_MAX + 1]) {
  const char* name = name_of(site);
  const char* suffix = companion_suffix(companion);
  const std::size_t length = std::strlen(name);
  if (length + std::strlen(suffix) > NAME_MAX) return fail_with(kErrorPathNotFound, false);
  std::memcpy(out, name, length);
  std::strcpy(out + length, suffix);
  return true;
}

}  // namespace

Handle open_companion(const Site& site, Companion companion, bool create) {
  if (injected(Call::kOpenCompanion)) return kInvalidHandle;
  char name[NAME_MAX + 1];
  // A name too long to make is one that no run can have left either.
  if (!companion_name(site, companion, name)) return fail_with(kErrorFileNotFound, kInvalidHandle);
  const int flags = create ? O_RDWR | O_CREAT | O_EXCL : O_RDONLY | O_NONBLOCK;
  int fd = openat(site.directory, name, flags | O_NOFOLLOW | O_CLOEXEC, 0600);
  // Whatever holds the name of a new companion is not a live one: a run's own
  // was dealt with when its lock was taken. It goes, where it may.
  if (create && fd < 0 && errno == EEXIST &&
      (unlinkat(site.directory, name, 0) == 0 || unlinkat(site.directory, name, AT_REMOVEDIR) == 0)) {
    fd = openat(site.directory, name, flags | O_NOFOLLOW | O_CLOEXEC, 0600);
  }
  if (fd < 0) {
    // A link in its place was not made by a run.
    return errno == ELOOP ? fail_with(kErrorFileNotFound, kInvalidHandle) : fail_with_errno(kInvalidHandle);
  }
  struct stat info {};
  struct stat target {};
  // Only a file that a run of the file's owner, of the administrator or of
  // this user made, and that nobody else may change, is taken for one; what
  // others put there is none of the run's business.
  const bool trusted = fstat(fd, &info) == 0 && fstatat(site.directory, name_of(site), &target, 0) == 0 &&
                       S_ISREG(info.st_mode) && info.st_nlink == 1 && (info.st_mode & 077) == 0 &&
                       (info.st_uid == target.st_uid || info.st_uid == 0 || info.st_uid == geteuid() ||
                        made_by_group_writer(info, target, site.directory));
  if (!trusted) {
    ::close(fd);
    return fail_with(kErrorFileNotFound, kInvalidHandle);
  }
  return fd;
}

bool remove_companion(const Site& site, Companion companion) {
  if (injected(Call::kRemoveCompanion)) return false;
  char name[NAME_MAX + 1];
  if (!companion_name(site, companion, name)) return false;
  return unlinkat(site.directory, name, 0) == 0 || errno == ENOENT || fail_with_errno(false);
}

bool sync_directory(const Site& site) {
  if (injected(Call::kSyncDirectory)) return false;
  return fsync(site.directory) == 0 || fail_with_errno(false);
}

// ---- Replacing a file's content ------------------------------------------------

Handle open_for_update(const Site& site) {
  if (injected(Call::kOpenForUpdate)) return kInvalidHandle;
  const int fd = openat(site.directory, name_of(site), O_RDWR | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return fail_with_errno(kInvalidHandle);
  struct stat info {};
  // A file that grants writing to nobody is read-only, whoever asks.
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || (info.st_mode & 0222) == 0) {
    ::close(fd);
    return fail_with(kErrorAccessDenied, kInvalidHandle);
  }
  return fd;
}

bool adopt_owner(Handle from, Handle to) {
  if (injected(Call::kAdoptOwner)) return false;
  struct stat wanted {};
  struct stat have {};
  if (fstat(fd_of(from), &wanted) != 0 || fstat(fd_of(to), &have) != 0) return fail_with_errno(false);
  if (wanted.st_uid == have.st_uid && wanted.st_gid == have.st_gid) return true;
  if (fchown(fd_of(to), wanted.st_uid, wanted.st_gid) == 0) return true;
  // Kept in the file's group at least, where this user may not give it away.
  fchown(fd_of(to), static_cast<uid_t>(-1), wanted.st_gid);
  return fail_with_errno(false);
}

Handle create_temporary(const Site& site) {
  if (injected(Call::kCreateTemporary)) return kInvalidHandle;
#ifdef O_TMPFILE
  // Without a name nothing is left behind, whatever ends the process.
  const int unnamed = openat(site.directory, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (unnamed >= 0) return unnamed;
#endif
  // Named after the process, so that no other run can take it for its own.
  char name[NAME_MAX + 1];
  if (!companion_name(site, Companion::kTemporary, name)) return kInvalidHandle;
  if (!append_process_number(name, sizeof name, static_cast<unsigned long>(getpid()))) return kInvalidHandle;
  const int fd = openat(site.directory, name, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return fail_with_errno(kInvalidHandle);
  g_named_temporary.directory = site.directory;
  std::memcpy(g_named_temporary.name, name, sizeof name);
  return fd;
}

namespace {

#if defined(__linux__)
// The names of a file's extended attributes, each NUL-terminated. The system
// keeps lists and values below 64 KiB.
struct AttributeNames {
  char bytes[65536];
  ssize_t length = 0;

  bool read(int fd) {
    length = flistxattr(fd, bytes, sizeof bytes);
    if (length < 0 && (errno == ENOTSUP || errno == ENOSYS)) length = 0;  // none where none are kept
    return length >= 0;
  }
  bool holds(const char* name) const {
    for (const char* p = bytes; p < bytes + length; p += std::strlen(p) + 1) {
      if (std::strcmp(p, name) == 0) return true;
    }
    return false;
  }
};

AttributeNames g_target_attributes;
AttributeNames g_temporary_attributes;
char g_attribute_value[65536];

// Gives `to` the mode and every extended attribute of `from`, and no other.
bool copy_attributes(int from, int to, mode_t mode) {
  AttributeNames& wanted_names = g_target_attributes;
  AttributeNames& had_names = g_temporary_attributes;
  if (!wanted_names.read(from) || !had_names.read(to)) return fail_with_errno(false);
  // What the new file got from its directory (a default access list, a label)
  // and the target lacks goes first; then the mode; then the target's own
  // attributes, among them an access list that sets the group bits as before.
  for (const char* name = had_names.bytes; name < had_names.bytes + had_names.length;
       name += std::strlen(name) + 1) {
    if (!wanted_names.holds(name) && fremovexattr(to, name) != 0) return fail_with_errno(false);
  }
  if (fchmod(to, mode) != 0) return fail_with_errno(false);
  for (const char* name = wanted_names.bytes; name < wanted_names.bytes + wanted_names.length;
       name += std::strlen(name) + 1) {
    const ssize_t size = fgetxattr(from, name, g_attribute_value, sizeof g_attribute_value);
    if (size < 0 || fsetxattr(to, name, g_attribute_value, static_cast<std::size_t>(size), 0) != 0) {
      return fail_with_errno(false);
    }
  }
  return true;
}
#else
// Where a file's extended attributes cannot be listed, a new file could lose
// some: the file is written in place instead, keeping all it has.
bool copy_attributes(int, int, mode_t) { return fail_with(kErrorAccessDenied, false); }
#endif

}  // namespace

bool copy_metadata(Handle target, Handle temporary) {
  if (injected(Call::kCopyMetadata)) return false;
  const int from = fd_of(target);
  const int to = fd_of(temporary);
  struct stat wanted {};
  struct stat have {};
  if (fstat(from, &wanted) != 0 || fstat(to, &have) != 0) return fail_with_errno(false);
  // Another name would keep the old content: the replacement would not be the file.
  if (wanted.st_nlink > 1) return fail_with(kErrorAccessDenied, false);
  // The owner first: changing it drops attributes such as file capabilities.
  if ((wanted.st_uid != have.st_uid || wanted.st_gid != have.st_gid) &&
      fchown(to, wanted.st_uid, wanted.st_gid) != 0) {
    return fail_with_errno(false);
  }
  if (!copy_attributes(from, to, wanted.st_mode & 07777)) return false;
  if (fstat(to, &have) != 0) return fail_with_errno(false);
  return have.st_mode == wanted.st_mode || fail_with(kErrorAccessDenied, false);
}

bool sync(Handle handle) {
  if (injected(Call::kSync)) return false;
  return fsync(fd_of(handle)) == 0 || fail_with_errno(false);
}

namespace {

#ifdef O_TMPFILE
// An unnamed temporary file gets its name only for the instant before the
// rename. A name left by a run that died in that instant is taken over.
bool name_temporary(const Site& site, Handle temporary) {
  RunFile named;
  named.directory = site.directory;
  if (!companion_name(site, Companion::kTemporary, named.name)) return false;
  char self[64];
  snprintf(self, sizeof self, "/proc/self/fd/%d", fd_of(temporary));
  const auto link = [&] {
    return linkat(AT_FDCWD, self, site.directory, named.name, AT_SYMLINK_FOLLOW) == 0 ||
           (errno != EEXIST && linkat(fd_of(temporary), "", site.directory, named.name, AT_EMPTY_PATH) == 0);
  };
  if (!link() && !(errno == EEXIST && unlinkat(site.directory, named.name, 0) == 0 && link())) {
    return fail_with_errno(false);
  }
  g_named_temporary = named;
  return true;
}
#else
bool name_temporary(const Site&, Handle) { return fail_with(kErrorGenFailure, false); }  // all have names here
#endif

}  // namespace

bool replace_with_temporary(const Site& site, Handle& temporary) {
  if (injected(Call::kReplace)) return false;
  if (g_named_temporary.name[0] == '\0' && !name_temporary(site, temporary)) return false;
  if (renameat(site.directory, g_named_temporary.name, site.directory, name_of(site)) != 0) {
    const int error = errno;
    remove_run_file(g_named_temporary);
    errno = error;
    return fail_with_errno(false);
  }
  g_named_temporary.name[0] = '\0';
  ::close(fd_of(temporary));
  temporary = kInvalidHandle;
  // Make the new directory entry durable as well; the new text is in place
  // whatever this answers.
  fsync(site.directory);
  return true;
}

void discard_temporary() { remove_run_file(g_named_temporary); }

bool write_at(Handle handle, std::int64_t offset, std::string_view bytes) {
  if (injected(Call::kWriteAt)) return false;
  const char* data = bytes.data();
  std::size_t size = bytes.size();
  while (size > 0) {
    const ssize_t n = pwrite(fd_of(handle), data, size, offset);
    if (n < 0) {
      if (errno == EINTR) continue;
      return fail_with_errno(false);
    }
    data += n;
    size -= static_cast<std::size_t>(n);
    offset += n;
  }
  return true;
}

bool truncate(Handle handle, std::int64_t size) {
  if (injected(Call::kTruncate)) return false;
  return ftruncate(fd_of(handle), size) == 0 || fail_with_errno(false);
}

// ---- Serialising runs ------------------------------------------------------------------

namespace {

constexpr int kLockWaitMilliseconds = 10000;

// True when `held` (an open lock) is still the file that `name` names: a run
// that locked a file just removed or replaced must lock the new one instead.
bool still_named(int directory, const char* name, int held) {
  struct stat mine {};
  struct stat named {};
  return fstat(held, &mine) == 0 && fstatat(directory, name, &named, AT_SYMLINK_NOFOLLOW) == 0 &&
         mine.st_dev == named.st_dev && mine.st_ino == named.st_ino;
}

// The permissions of a lock file for `target`: open to those who may write
// the file itself (its owner, and its group or everybody where they may),
// who could spoil the file anyway, and closed to everybody else.
mode_t lock_mode(const struct stat& target) {
  return 0600 | ((target.st_mode & 020) != 0 ? 060 : 0) | ((target.st_mode & 002) != 0 ? 006 : 0);
}

// The lock file beside the file, owned like the file: -1 (and `created`
// telling whether this call made it) when there is none to be had that
// others could not hold, with errno ENOENT where one went meanwhile.
int open_lock_file(const Site& site, const struct stat& target, const char* name, bool& created,
                   bool may_replace = true) {
  const int flags = O_RDWR | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK;
  int fd = openat(site.directory, name, flags | O_CREAT | O_EXCL, 0600);
  created = fd >= 0;
  if (!created && errno == EEXIST) fd = openat(site.directory, name, flags);
  // Something at the name that cannot be opened as a lock file (a link, a
  // directory, a file of someone else's) goes, where it may, for a new one.
  if (fd < 0 && (errno == ELOOP || errno == EISDIR || errno == EACCES) &&
      (unlinkat(site.directory, name, 0) == 0 || unlinkat(site.directory, name, AT_REMOVEDIR) == 0)) {
    fd = openat(site.directory, name, flags | O_CREAT | O_EXCL, 0600);
    created = fd >= 0;
  }
  if (fd < 0) return -1;  // ENOENT: its holder removed it meanwhile
  struct stat info {};
  bool usable = fstat(fd, &info) == 0;
  if (usable && created) {
    // Owned like the file where this user may give it away; in the file's
    // group at least.
    if ((info.st_uid != target.st_uid || info.st_gid != target.st_gid) &&
        fchown(fd, target.st_uid, target.st_gid) != 0) {
      fchown(fd, static_cast<uid_t>(-1), target.st_gid);
    }
    usable = fchmod(fd, lock_mode(target)) == 0 && fstat(fd, &info) == 0;
  }
  // Made by someone who may not write the file, or open to others: it could
  // be held against the run.
  usable = usable && S_ISREG(info.st_mode) && info.st_nlink == 1 && (info.st_mode & 0777 & ~lock_mode(target)) == 0 &&
           (info.st_uid == target.st_uid || info.st_uid == 0 || made_by_group_writer(info, target, site.directory));
  if (usable) return fd;
  // Removed by its holder since it was opened: another try, and what holds
  // the name now is none of this run's business.
  const bool named = still_named(site.directory, name, fd);
  ::close(fd);
  if (!named) {
    errno = ENOENT;
    return -1;
  }
  // Made here, or left by someone else and removable: a new one in its place.
  if (unlinkat(site.directory, name, 0) != 0) return -1;
  if (!created && may_replace) return open_lock_file(site, target, name, created, false);
  errno = EACCES;  // none to be had that others could not hold
  return -1;
}

}  // namespace

Handle lock_run(const Site& site) {
  if (injected(Call::kLockRun)) return kInvalidHandle;
  struct stat target {};
  if (fstatat(site.directory, name_of(site), &target, AT_SYMLINK_NOFOLLOW) != 0) {
    return fail_with_errno(kInvalidHandle);
  }
  char name[NAME_MAX + 1];
  for (int attempt = 0; attempt < 100 && companion_name(site, Companion::kLock, name); ++attempt) {
    bool created = false;
    const int fd = open_lock_file(site, target, name, created);
    if (fd < 0 && errno == ENOENT) continue;  // it went while this run came for it
    if (fd < 0) break;
    int locked;
    while ((locked = flock(fd, LOCK_EX)) != 0 && errno == EINTR) {
    }
    if (locked == 0 && still_named(site.directory, name, fd)) {
      g_lock_file.directory = site.directory;
      std::memcpy(g_lock_file.name, name, sizeof name);
      return fd;
    }
    if (locked != 0 && created) unlinkat(site.directory, name, 0);  // no locks here at all
    ::close(fd);
    if (locked != 0) break;
  }
  // No lock file: the file itself, which anyone who may read it can lock too,
  // so never waited for long.
  const int fd = openat(site.directory, name_of(site), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return fail_with_errno(kInvalidHandle);
  for (int waited = 0; waited <= kLockWaitMilliseconds; waited += 10) {
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) {
      if (still_named(site.directory, name_of(site), fd)) return fd;
      flock(fd, LOCK_UN);  // replaced meanwhile: a run that went before saved by renaming
    } else if (errno != EWOULDBLOCK && errno != EINTR) {
      const int error = errno;
      ::close(fd);
      errno = error;
      return fail_with_errno(kInvalidHandle);
    }
    const timespec pause{0, 10 * 1000 * 1000};
    nanosleep(&pause, nullptr);
  }
  ::close(fd);
  return fail_with(kErrorSharingViolation, kInvalidHandle);
}

void unlock_run(const Site&, Handle lock) {
  // Removed while still held: a run waiting for it then finds it gone and
  // makes a new one.
  hold_interrupts();
  remove_run_file(g_lock_file);
  release_interrupts();
  ::close(fd_of(lock));
}

// ---- Memory -------------------------------------------------------------------------

void* allocate(std::size_t size) {
  if (injected(Call::kAllocate)) return nullptr;
  return malloc(size);
}

void release(void* block) { free(block); }

// ---- Mapped files -------------------------------------------------------------------

char* map_file(Handle handle, std::size_t size) {
  if (injected(Call::kMapFile)) return nullptr;
  void* block = mmap(nullptr, size, PROT_READ, MAP_PRIVATE | kPopulate, fd_of(handle), 0);
  if (block == MAP_FAILED) return fail_with_errno(nullptr);
  for (Mapping& mapping : g_mappings) {
    if (mapping.start == nullptr) {
      mapping = {static_cast<const char*>(block), size};
      break;
    }
  }
  return static_cast<char*>(block);
}

void unmap_file(char* block, std::size_t size) {
  for (Mapping& mapping : g_mappings) {
    if (mapping.start == block) mapping = {};
  }
  munmap(block, size);
}

bool detach_mapping(char* block, std::size_t size) {
  if (injected(Call::kDetachMapping)) return false;
  // Writing to a private mapping copies the page; touch one byte of each.
  if (mprotect(block, size, PROT_READ | PROT_WRITE) != 0) return fail_with_errno(false);
  const long page = sysconf(_SC_PAGESIZE);
  for (std::size_t offset = 0; offset < size; offset += static_cast<std::size_t>(page)) {
    volatile char* byte = block + offset;
    *byte = *byte;
  }
  return true;
}

}  // namespace tarnwick::platform
