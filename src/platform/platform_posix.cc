// POSIX backend of the platform layer (Linux).
#include "platform/platform.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <link.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <time.h>
#include <ucontext.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

namespace tarnwick::platform {
namespace {

thread_local ErrorCode t_last_error = 0;

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

// Records errno as the last error; returns `result` for convenience.
template <typename T>
T fail_with_errno(T result) {
  t_last_error = map_errno(errno);
  return result;
}

template <typename T>
T fail_with(ErrorCode code, T result) {
  t_last_error = code;
  return result;
}

#ifdef TARNWICK_TEST_SEAM
Seam* g_seam = nullptr;
// Stands for standard output while a seam fakes it.
constexpr Handle kFakeStandardOutput = 0x7ffffff0;
#endif

// True when the seam makes `call` fail; the last error then holds its code.
inline bool injected([[maybe_unused]] Call call) {
#ifdef TARNWICK_TEST_SEAM
  if (g_seam != nullptr) {
    if (ErrorCode code = g_seam->fail(call)) {
      t_last_error = code;
      return true;
    }
  }
#endif
  return false;
}

// ---- Saved process facts -----------------------------------------------------

int g_argc = 0;
char** g_argv = nullptr;

char g_program_name[NAME_MAX + 1] = "tarnwick";

// Copies a NUL-terminated name, cut to fit `capacity` with its NUL.
void copy_name(char* out, std::size_t capacity, const char* name) {
  const std::size_t length = std::min(std::strlen(name), capacity - 1);
  std::memcpy(out, name, length);
  out[length] = '\0';
}

// The loaded modules, noted at start-up so that fault handlers can look them up.
struct Module {
  std::uintptr_t start;  // the load base: where its first segment begins
  std::uintptr_t end;
  char name[261];
};
Module g_modules[32];
int g_module_count = 0;

int note_module(dl_phdr_info* info, std::size_t, void*) {
  if (g_module_count == static_cast<int>(sizeof g_modules / sizeof g_modules[0])) return 1;
  Module& module = g_modules[g_module_count];
  module.start = UINTPTR_MAX;
  module.end = 0;
  for (int i = 0; i < info->dlpi_phnum; ++i) {
    const ElfW(Phdr)& segment = info->dlpi_phdr[i];
    if (segment.p_type != PT_LOAD) continue;
    module.start = std::min<std::uintptr_t>(module.start, info->dlpi_addr + segment.p_vaddr);
    module.end = std::max<std::uintptr_t>(module.end, info->dlpi_addr + segment.p_vaddr + segment.p_memsz);
  }
  if (module.start >= module.end) return 0;
  // The program itself comes first, without a name: it is named as its file is.
  const char* path = g_module_count == 0 ? g_program_name : info->dlpi_name;
  const char* slash = std::strrchr(path, '/');
  copy_name(module.name, sizeof module.name, slash == nullptr ? path : slash + 1);
  ++g_module_count;
  return 0;
}

// glibc hands the arguments to initialisers in .init_array as well as to main.
// The process facts that fault handlers need are noted here too, before main.
void capture_process(int argc, char** argv, char**) {
  g_argc = argc;
  g_argv = argv;
  char path[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  if (n > 0) {
    path[n] = '\0';
    const char* slash = std::strrchr(path, '/');
    copy_name(g_program_name, sizeof g_program_name, slash == nullptr ? path : slash + 1);
  }
  dl_iterate_phdr(&note_module, nullptr);
}
__attribute__((section(".init_array"), used)) void (*g_capture_process)(int, char**, char**) =
    &capture_process;

// The files a run keeps beside the file it edits, by directory and name, so that
// an interrupt or a fault can remove them; a name is empty while there is none.
struct RunFile {
  int directory = -1;
  char name[NAME_MAX + 1] = "";
};
RunFile g_lock_file;
RunFile g_named_temporary;

void forget(RunFile& file) { file.name[0] = '\0'; }

void remove_run_file(RunFile& file) {
  if (file.name[0] != '\0') unlinkat(file.directory, file.name, 0);
  forget(file);
}

// The mapped files, so that a fault on one of them can be told from others.
struct Mapping {
  const char* start = nullptr;
  std::size_t size = 0;
};
Mapping g_mappings[4];

// ---- Helpers -------------------------------------------------------------------

bool wildcard_match(const char* pattern, const char* name) {
  // Iterative matcher with one back-tracking point: '*' is any run, '?' one byte.
  const char* star = nullptr;
  const char* resume = nullptr;
  while (*name != '\0') {
    if (*pattern == '*') {
      star = pattern++;
      resume = name;
    } else if (*pattern == '?' || *pattern == *name) {
      ++pattern;
      ++name;
    } else if (star != nullptr) {
      pattern = star + 1;
      name = ++resume;
    } else {
      return false;
    }
  }
  while (*pattern == '*') ++pattern;
  return *pattern == '\0';
}

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

int fd_of(Handle handle) { return static_cast<int>(handle); }

}  // namespace

ErrorCode last_error() { return t_last_error; }

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
#ifdef TARNWICK_TEST_SEAM
  if (handle == kFakeStandardOutput) {
    if (ErrorCode code = g_seam->write_standard_output(bytes)) return fail_with(code, false);
    return true;
  }
#endif
  return write_fully(fd_of(handle), bytes.data(), bytes.size(), quietly);
}

}  // namespace

bool write(Handle handle, std::string_view bytes) { return write_all(handle, bytes, false); }

bool write_output(Handle handle, std::string_view bytes) { return write_all(handle, bytes, true); }

void close(Handle handle) {
  if (injected(Call::kClose)) return;
#ifdef TARNWICK_TEST_SEAM
  if (handle == kFakeStandardOutput) return;
#endif
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
  static constexpr const char* kSuffixes[] = {".tarnwick-lock", ".tarnwick-journal", ".tarnwick-new",
                                              ".tarnwick-old"};
  const char* name = name_of(site);
  const char* suffix = kSuffixes[static_cast<int>(companion)];
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
  const std::size_t length = std::strlen(name);
  const int written = snprintf(name + length, sizeof name - length, "-%d", static_cast<int>(getpid()));
  if (written < 0 || static_cast<std::size_t>(written) >= sizeof name - length) {
    return fail_with(kErrorPathNotFound, kInvalidHandle);
  }
  const int fd = openat(site.directory, name, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return fail_with_errno(kInvalidHandle);
  g_named_temporary.directory = site.directory;
  std::memcpy(g_named_temporary.name, name, sizeof name);
  return fd;
}

namespace {

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
  if (fchmod(to, wanted.st_mode & 07777) != 0) return fail_with_errno(false);
  for (const char* name = wanted_names.bytes; name < wanted_names.bytes + wanted_names.length;
       name += std::strlen(name) + 1) {
    const ssize_t size = fgetxattr(from, name, g_attribute_value, sizeof g_attribute_value);
    if (size < 0 || fsetxattr(to, name, g_attribute_value, static_cast<std::size_t>(size), 0) != 0) {
      return fail_with_errno(false);
    }
  }
  if (fstat(to, &have) != 0) return fail_with_errno(false);
  return have.st_mode == wanted.st_mode || fail_with(kErrorAccessDenied, false);
}

bool sync(Handle handle) {
  if (injected(Call::kSync)) return false;
  return fsync(fd_of(handle)) == 0 || fail_with_errno(false);
}

bool replace_with_temporary(const Site& site, Handle& temporary) {
  if (injected(Call::kReplace)) return false;
  if (g_named_temporary.name[0] == '\0') {
    // An unnamed file gets its name only now, for the instant before the rename.
    // A name left by a run that died in that instant is taken over.
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
  }
  if (renameat(site.directory, g_named_temporary.name, site.directory, name_of(site)) != 0) {
    const int error = errno;
    remove_run_file(g_named_temporary);
    errno = error;
    return fail_with_errno(false);
  }
  forget(g_named_temporary);
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

// The lock file beside the file, owned like the file and open to its owner
// alone: -1 when there is none to be had that others could not hold.
// The permissions of a lock file for `target`: open to those who may write
// the file itself (its owner, and its group or everybody where they may),
// who could spoil the file anyway, and closed to everybody else.
mode_t lock_mode(const struct stat& target) {
  return 0600 | ((target.st_mode & 020) != 0 ? 060 : 0) | ((target.st_mode & 002) != 0 ? 006 : 0);
}

// The lock file beside the file, owned like the file: -1 (and `created`
// telling whether this call made it) when there is none to be had that
// others could not hold.
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
  if (fd < 0) return -1;
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
  ::close(fd);
  // Made here, or left by someone else and removable: a new one in its place.
  if (unlinkat(site.directory, name, 0) == 0 && !created && may_replace) {
    return open_lock_file(site, target, name, created, false);
  }
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

// ---- Interrupts -----------------------------------------------------------------------

namespace {

constexpr int kInterrupts[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
int g_interrupts_held = 0;

sigset_t interrupt_set() {
  sigset_t set;
  sigemptyset(&set);
  for (int signal : kInterrupts) sigaddset(&set, signal);
  return set;
}

// Removes the run's files, then lets the interrupt take its usual course.
void on_interrupt(int signal) {
  remove_run_files();
  ::signal(signal, SIG_DFL);
  sigset_t just_this;
  sigemptyset(&just_this);
  sigaddset(&just_this, signal);
  sigprocmask(SIG_UNBLOCK, &just_this, nullptr);
  raise(signal);
}

}  // namespace

void hold_interrupts() {
  if (g_interrupts_held++ > 0) return;
  const sigset_t set = interrupt_set();
  sigprocmask(SIG_BLOCK, &set, nullptr);
}

void release_interrupts() {
  if (--g_interrupts_held > 0) return;
  const sigset_t set = interrupt_set();
  sigprocmask(SIG_UNBLOCK, &set, nullptr);
}

void remove_run_files() {
  remove_run_file(g_named_temporary);
  remove_run_file(g_lock_file);
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
  void* block = mmap(nullptr, size, PROT_READ, MAP_PRIVATE | MAP_POPULATE, fd_of(handle), 0);
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

// ---- Console and process ---------------------------------------------------------

Handle standard_output() {
  if (injected(Call::kStandardOutput)) return kInvalidHandle;
#ifdef TARNWICK_TEST_SEAM
  if (g_seam != nullptr && g_seam->fakes_standard_output()) return kFakeStandardOutput;
#endif
  if (fcntl(STDOUT_FILENO, F_GETFD) == -1) return fail_with_errno(kInvalidHandle);
  return STDOUT_FILENO;
}

FileType file_type(Handle handle) {
  if (injected(Call::kFileType)) return FileType::kUnknown;
#ifdef TARNWICK_TEST_SEAM
  if (handle == kFakeStandardOutput) return g_seam->standard_output_type();
#endif
  struct stat info {};
  if (fstat(fd_of(handle), &info) != 0) return fail_with_errno(FileType::kUnknown);
  if (S_ISCHR(info.st_mode)) return FileType::kCharacter;
  if (S_ISFIFO(info.st_mode) || S_ISSOCK(info.st_mode)) return FileType::kPipe;
  return FileType::kDisk;
}

void initialize_process() {
  signal(SIGPIPE, SIG_IGN);
  signal(SIGXFSZ, SIG_IGN);
  struct sigaction action {};
  action.sa_handler = &on_interrupt;
  action.sa_mask = interrupt_set();
  for (int signal : kInterrupts) {
    // An interrupt the process was started to ignore (nohup) stays ignored.
    struct sigaction before {};
    if (sigaction(signal, nullptr, &before) == 0 && before.sa_handler != SIG_IGN) {
      sigaction(signal, &action, nullptr);
    }
  }
}

std::string command_line() { return join_arguments(g_argc, g_argv); }

std::string join_arguments(int count, const char* const* arguments) {
  std::string line;
  // The program's name is skipped by whoever reads the line, so it need only be
  // one token: no quote or blank that would end it early or join it to the next.
  if (count > 0) {
    for (const char* p = arguments[0]; *p != '\0' && line.size() < 4096; ++p) {
      if (static_cast<unsigned char>(*p) > 32 && *p != '"') line += *p;
    }
  }
  if (line.empty()) line = "tarnwick";
  for (int i = 1; i < count; ++i) {
    const std::string_view argument = arguments[i];
    line += ' ';
    const bool has_blank = std::any_of(argument.begin(), argument.end(), [](char c) {
      return c >= 1 && static_cast<unsigned char>(c) <= 32;
    });
    const bool has_quote = argument.find('"') != std::string_view::npos;
    if (argument.empty() || (has_blank && !has_quote)) {
      line += '"';
      line += argument;
      line += '"';
    } else {
      line += argument;
    }
  }
  return line;
}

std::string_view program_name() { return g_program_name; }

void exit_process(int status) { _exit(status); }

bool find_module(const void* address, char* name, std::size_t capacity, std::uintptr_t* base) {
  const auto where = reinterpret_cast<std::uintptr_t>(address);
  for (int i = 0; i < g_module_count; ++i) {
    const Module& module = g_modules[i];
    if (where < module.start || where >= module.end || capacity == 0) continue;
    const std::size_t length = std::min(std::strlen(module.name), capacity - 1);
    std::memcpy(name, module.name, length);
    name[length] = '\0';
    *base = module.start;
    return true;
  }
  return false;
}

// ---- Processor faults ----------------------------------------------------------------

namespace {

void (*g_fault_handler)(const FaultRecord&) = nullptr;
alignas(16) char g_fault_stack[64 * 1024];
constexpr int kFaultSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL};

std::uint32_t fault_code(int signal, const siginfo_t& info, std::uintptr_t stack_pointer) {
  switch (signal) {
    case SIGSEGV: {
      // A fault just below the stack pointer is the stack running into its guard.
      const auto accessed = reinterpret_cast<std::uintptr_t>(info.si_addr);
      if (accessed <= stack_pointer + 4096 && accessed + (1u << 20) >= stack_pointer) {
        return kStatusStackOverflow;
      }
      return kStatusAccessViolation;
    }
    case SIGBUS:
      return kStatusAccessViolation;
    case SIGFPE:
      switch (info.si_code) {
        case FPE_INTDIV: return kStatusIntegerDivideByZero;
        case FPE_INTOVF: return kStatusIntegerOverflow;
        case FPE_FLTDIV: return kStatusFloatDivideByZero;
        case FPE_FLTOVF: return kStatusFloatOverflow;
        case FPE_FLTUND: return kStatusFloatUnderflow;
        case FPE_FLTRES: return kStatusFloatInexactResult;
        case FPE_FLTINV: return kStatusFloatInvalidOperation;
        case FPE_FLTSUB: return kStatusArrayBoundsExceeded;
        default: return kStatusFloatInvalidOperation;
      }
    default:  // SIGILL
      return info.si_code == ILL_PRVOPC || info.si_code == ILL_PRVREG ? kStatusPrivilegedInstruction
                                                                      : kStatusIllegalInstruction;
  }
}

void on_fault(int signal, siginfo_t* info, void* context) {
  const auto* uc = static_cast<const ucontext_t*>(context);
  FaultRecord fault;
  std::uintptr_t stack_pointer = 0;
#if defined(__x86_64__)
  fault.fault_address = reinterpret_cast<const void*>(uc->uc_mcontext.gregs[REG_RIP]);
  stack_pointer = static_cast<std::uintptr_t>(uc->uc_mcontext.gregs[REG_RSP]);
  fault.write_access = (uc->uc_mcontext.gregs[REG_ERR] & 2) != 0;  // page-fault error code
#elif defined(__i386__)
  fault.fault_address = reinterpret_cast<const void*>(uc->uc_mcontext.gregs[REG_EIP]);
  stack_pointer = static_cast<std::uintptr_t>(uc->uc_mcontext.gregs[REG_ESP]);
  fault.write_access = (uc->uc_mcontext.gregs[REG_ERR] & 2) != 0;
#else
  (void)uc;
  fault.fault_address = info->si_addr;
#endif
  fault.code = fault_code(signal, *info, stack_pointer);
  fault.accessed_address = info->si_addr;
  if (signal == SIGBUS) {
    const auto accessed = reinterpret_cast<std::uintptr_t>(info->si_addr);
    for (const Mapping& mapping : g_mappings) {
      const auto start = reinterpret_cast<std::uintptr_t>(mapping.start);
      if (mapping.start != nullptr && accessed >= start && accessed - start < mapping.size) {
        fault.in_mapped_file = true;
      }
    }
  }
  if (g_fault_handler != nullptr) g_fault_handler(fault);
  // Declined: let the fault happen again with the default action.
  ::signal(signal, SIG_DFL);
}

}  // namespace

void install_fault_handler(void (*handler)(const FaultRecord& fault)) {
  g_fault_handler = handler;
  stack_t stack{};
  stack.ss_sp = g_fault_stack;
  stack.ss_size = sizeof g_fault_stack;
  sigaltstack(&stack, nullptr);
  struct sigaction action {};
  action.sa_sigaction = &on_fault;
  action.sa_flags = SA_SIGINFO | SA_ONSTACK;
  sigemptyset(&action.sa_mask);
  for (int signal : kFaultSignals) sigaction(signal, &action, nullptr);
}

bool debugger_attached() {
  // Read with plain system calls: this runs inside fault handlers.
  const int fd = ::open("/proc/self/status", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  char text[4096];
  const ssize_t n = ::read(fd, text, sizeof text - 1);
  ::close(fd);
  if (n <= 0) return false;
  text[n] = '\0';
  const char* field = std::strstr(text, "TracerPid:");
  if (field == nullptr) return false;
  field += 10;
  while (*field == ' ' || *field == '\t') ++field;
  return *field != '0';
}

bool install_seam([[maybe_unused]] Seam* seam) {
#ifdef TARNWICK_TEST_SEAM
  g_seam = seam;
  return true;
#else
  return false;
#endif
}

}  // namespace tarnwick::platform
