// POSIX backend: the journal beside the file, and the mark on the file itself.
#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>
#if defined(__linux__)
#include <sys/xattr.h>
#endif

#include <sys/stat.h>

#include <cstring>
#include <string>

#include "platform/posix/system.h"

namespace tarnwick::platform {

Handle create_journal(const Site& site) {
  if (injected(Call::kOpenCompanion)) return kInvalidHandle;
  char name[NAME_MAX + 1];
  if (!companion_name(site, Companion::kJournal, name)) return kInvalidHandle;
  const int flags = O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
  int fd = openat(site.directory, name, flags, 0600);
  if (fd < 0 && errno == EEXIST) {
    // A journal a run trusted with the file may have left stays: it may hold
    // the only old text. So may a file of a run this one does not know,
    // which is set aside; a link or a directory is no run's, and goes.
    bool trusted = false;
    const int found = open_journal(site, site, nullptr, trusted);
    struct stat info {};
    const bool no_file = found < 0 ? fstatat(site.directory, name, &info, AT_SYMLINK_NOFOLLOW) == 0 && !S_ISREG(info.st_mode)
                                   : fstat(found, &info) == 0 && !S_ISREG(info.st_mode);
    if (found >= 0) ::close(found);
    if (found >= 0 && trusted) return fail_with(kErrorFileExists, kInvalidHandle);
    const bool gone = no_file ? unlinkat(site.directory, name, 0) == 0 || unlinkat(site.directory, name, AT_REMOVEDIR) == 0
                              : set_aside_journal(site);
    if (gone) fd = openat(site.directory, name, flags, 0600);
  }
  if (fd < 0) return fail_with_errno(kInvalidHandle);
  struct stat target {};
  // Readable by those who may read the file, which it copies, so that every
  // writer's run can judge it.
  if (fstatat(site.directory, name_of(site), &target, 0) == 0) fchmod(fd, 0600 | (target.st_mode & 044));
  return fd;
}

Handle open_journal(const Site& journal, const Site& file, const FileIdentity* marked, bool& trusted) {
  if (injected(Call::kOpenCompanion)) return kInvalidHandle;
  trusted = false;
  char name[NAME_MAX + 1];
  // A name too long to make is one that no run can have left either.
  if (!companion_name(journal, Companion::kJournal, name)) return fail_with(kErrorFileNotFound, kInvalidHandle);
  const int fd = openat(journal.directory, name, O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
  // A link in its place was not made by a run. A file this user may not read,
  // or one in a directory it may not enter, it cannot judge.
  if (fd < 0) {
    return fail_with(errno == ENOENT || errno == ELOOP ? kErrorFileNotFound : kErrorAccessDenied, kInvalidHandle);
  }
  struct stat info {};
  struct stat target {};
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    ::close(fd);
    return fail_with(kErrorAccessDenied, kInvalidHandle);
  }
  if (fstatat(file.directory, name_of(file), &target, 0) != 0) return fd;
  CompanionFacts facts = facts_of(info, target);
  FileIdentity mine;
  facts.vouched_by_mark = marked != nullptr && identify(fd, mine) && mine == *marked;
  trusted = trusted_companion(Companion::kJournal, facts);
  return fd;
}

bool remove_journal(const Site& site) {
  if (injected(Call::kRemoveCompanion)) return false;
  char name[NAME_MAX + 1];
  if (!companion_name(site, Companion::kJournal, name)) return false;
  return unlinkat(site.directory, name, 0) == 0 || errno == ENOENT || fail_with_errno(false);
}

bool set_aside_journal(const Site& site) {
  if (injected(Call::kSetAside)) return false;
  char name[NAME_MAX + 1];
  if (!companion_name(site, Companion::kJournal, name)) return false;
  for (int n = 1; n < 1000; ++n) {
    char aside[NAME_MAX + 1];
    const int length = snprintf(aside, sizeof aside, "%s.%d", name, n);
    if (length < 0 || static_cast<std::size_t>(length) >= sizeof aside) return fail_with(kErrorPathNotFound, false);
    // A new name only: an earlier journal set aside stays as it is.
#ifdef RENAME_NOREPLACE
    int moved = renameat2(site.directory, name, site.directory, aside, RENAME_NOREPLACE);
#else
    int moved = -1;
    errno = EINVAL;
#endif
    if (moved != 0 && (errno == EINVAL || errno == ENOSYS) && linkat(site.directory, name, site.directory, aside, 0) == 0) {
      moved = unlinkat(site.directory, name, 0);
    }
    if (moved == 0) return sync_directory(site);
    if (errno != EEXIST) return fail_with_errno(false);
  }
  return fail_with(kErrorAccessDenied, false);
}

#if defined(__linux__)
namespace {

// What stands in the earlier versions' attribute while a mark is set: a
// journal in a directory whose name no file system allows.
std::string_view stop_earlier_runs() {
  static char text[1 + NAME_MAX + 1 + 64] = "/";
  static std::size_t length = 0;
  if (length == 0) {
    std::memset(text + 1, 'x', NAME_MAX + 1);
    std::strcpy(text + 2 + NAME_MAX, "/hosts.tarnwick-journal\n0 0 0");
    length = std::strlen(text);
  }
  return {text, length};
}

bool set_attribute(int fd, const char* name, std::string_view value) {
  if (fsetxattr(fd, name, value.data(), value.size(), 0) == 0) return true;
  // No user attributes kept here (or not for this user): no mark at all.
  if (errno == ENOTSUP || errno == EOPNOTSUPP || errno == EPERM || errno == EACCES) return fail_with(kErrorNotSupported, false);
  // No room left beside the file's other attributes (ext4 keeps them all
  // within a block), or on the disk.
  return fail_with(errno == E2BIG || errno == ERANGE ? kErrorDiskFull : map_errno(errno), false);
}

bool remove_attribute(int fd, const char* name) {
  return fremovexattr(fd, name) == 0 || errno == ENODATA || errno == ENOTSUP || fail_with_errno(false);
}

}  // namespace

bool set_mark(Handle file, std::string_view mark) {
  if (injected(Call::kSetMark)) return false;
  const int fd = fd_of(file);
  if (!set_attribute(fd, kMarkAttribute, mark)) return false;
  if (!set_attribute(fd, kEarlierMarkAttribute, stop_earlier_runs())) {
    const ErrorCode error = last_error();
    fremovexattr(fd, kMarkAttribute);
    return fail_with(error, false);
  }
  return fsync(fd) == 0 || fail_with_errno(false);
}

bool clear_mark(Handle file) {
  if (injected(Call::kClearMark)) return false;
  const int fd = fd_of(file);
  return remove_attribute(fd, kEarlierMarkAttribute) && remove_attribute(fd, kMarkAttribute) &&
         (fsync(fd) == 0 || fail_with_errno(false));
}

bool read_mark(const Site& site, std::string& out) {
  out.clear();
  const int fd = openat(site.directory, name_of(site), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return fail_with_errno(false);
  out.resize(kMarkCapacity + 1);  // one more: a mark too long for a run's is none of a run's
  ssize_t length = fgetxattr(fd, kMarkAttribute, out.data(), out.size());
  // An earlier version's, where there is none of this one's.
  if (length < 0 && errno == ENODATA) length = fgetxattr(fd, kEarlierMarkAttribute, out.data(), out.size());
  const int error = errno;
  ::close(fd);
  if (length > 0 && static_cast<std::size_t>(length) <= kMarkCapacity &&
      std::string_view(out.data(), static_cast<std::size_t>(length)) != stop_earlier_runs()) {
    out.resize(static_cast<std::size_t>(length));
    return true;
  }
  out.clear();
  const bool none = length >= 0 || error == ENODATA || error == ERANGE || error == ENOTSUP || error == EOPNOTSUPP;
  return fail_with(none ? kErrorFileNotFound : map_errno(error), false);
}
#else
bool set_mark(Handle, std::string_view) { return fail_with(kErrorNotSupported, false); }
bool clear_mark(Handle) { return true; }
bool read_mark(const Site&, std::string&) { return fail_with(kErrorFileNotFound, false); }
#endif

}  // namespace tarnwick::platform
