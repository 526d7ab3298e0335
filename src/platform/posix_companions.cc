// POSIX backend: the files a run keeps beside the file it edits, reached
// through the directory held for the run, and who is trusted with them.
#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>
#if defined(__linux__)
#include <sys/xattr.h>
#endif

#include <cstring>

#include "platform/posix.h"

namespace tarnwick::platform {

bool companion_name(const Site& site, Companion companion, char (&out)[NAME_MAX + 1]) {
  const char* name = name_of(site);
  const char* suffix = companion_suffix(companion);
  const std::size_t length = std::strlen(name);
  if (length + std::strlen(suffix) > NAME_MAX) return fail_with(kErrorPathNotFound, false);
  std::memcpy(out, name, length);
  std::strcpy(out + length, suffix);
  return true;
}

bool made_by_writer(const struct stat& made, const struct stat& target, int directory) {
  if (made.st_uid == target.st_uid || made.st_uid == 0) return true;
  // A member of a group that may write the target is known by the file's
  // group, unless the directory hands its group to every file made in it.
  struct stat place {};
  return (target.st_mode & 020) != 0 && made.st_gid == target.st_gid && fstat(directory, &place) == 0 &&
         (place.st_mode & S_ISGID) == 0;
}

bool still_named(int directory, const char* name, int held) {
  struct stat mine {};
  struct stat named {};
  return fstat(held, &mine) == 0 && fstatat(directory, name, &named, AT_SYMLINK_NOFOLLOW) == 0 &&
         mine.st_dev == named.st_dev && mine.st_ino == named.st_ino;
}

namespace {

// True when `fd`, a companion of the file at `site`, may have been left by a
// run trusted with the file: a plain file with one name, made by one who may
// write the file or by this user, that nobody else may change. What others
// put there is none of the run's business.
bool trusted(const Site& site, int fd) {
  struct stat info {};
  struct stat target {};
  return fstat(fd, &info) == 0 && fstatat(site.directory, name_of(site), &target, 0) == 0 &&
         S_ISREG(info.st_mode) && info.st_nlink == 1 && (info.st_mode & 077) == 0 &&
         (info.st_uid == geteuid() || made_by_writer(info, target, site.directory));
}

}  // namespace

Handle open_companion(const Site& site, Companion companion, bool create) {
  if (injected(Call::kOpenCompanion)) return kInvalidHandle;
  char name[NAME_MAX + 1];
  // A name too long to make is one that no run can have left either.
  if (!companion_name(site, companion, name)) return fail_with(kErrorFileNotFound, kInvalidHandle);
  const int existing = O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC;
  if (create) {
    int fd = openat(site.directory, name, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0 && errno == EEXIST) {
      // A companion a run may have left stays: it may hold the only old text.
      // Anything else at its name goes, where it may.
      const int found = openat(site.directory, name, existing);
      const bool keep = found >= 0 && trusted(site, found);
      if (found >= 0) ::close(found);
      if (keep) return fail_with(kErrorAccessDenied, kInvalidHandle);
      if (unlinkat(site.directory, name, 0) == 0 || unlinkat(site.directory, name, AT_REMOVEDIR) == 0) {
        fd = openat(site.directory, name, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
      }
    }
    if (fd < 0) return fail_with_errno(kInvalidHandle);
    publish_run_file(companion, site.directory, name);
    return fd;
  }
  const int fd = openat(site.directory, name, existing);
  // A link in its place was not made by a run.
  if (fd < 0) return errno == ELOOP ? fail_with(kErrorFileNotFound, kInvalidHandle) : fail_with_errno(kInvalidHandle);
  if (!trusted(site, fd)) {
    ::close(fd);
    return fail_with(kErrorFileNotFound, kInvalidHandle);
  }
  return fd;
}

bool remove_companion(const Site& site, Companion companion) {
  if (injected(Call::kRemoveCompanion)) return false;
  char name[NAME_MAX + 1];
  if (!companion_name(site, companion, name)) return false;
  withdraw_run_file(companion);
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

void remove_leftovers(const Site& site) {
  char temporary[NAME_MAX + 1];
  struct stat target {};
  if (!companion_name(site, Companion::kTemporary, temporary) ||
      fstatat(site.directory, name_of(site), &target, 0) != 0) {
    return;
  }
  const auto remove_if_trusted = [&](const char* name) {
    struct stat info {};
    if (fstatat(site.directory, name, &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(info.st_mode) &&
        (info.st_uid == geteuid() || made_by_writer(info, target, site.directory))) {
      unlinkat(site.directory, name, 0);
    }
  };
  remove_if_trusted(temporary);
  // Temporaries named after their process are found by reading the
  // directory, where it may be read.
  const int listing = openat(site.directory, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  DIR* dir = listing < 0 ? nullptr : fdopendir(listing);
  if (dir == nullptr) {
    if (listing >= 0) ::close(listing);
    return;
  }
  const std::size_t length = std::strlen(temporary);
  while (const dirent* entry = readdir(dir)) {
    const char* name = entry->d_name;
    if (std::strncmp(name, temporary, length) != 0 || name[length] != '-' || name[length + 1] == '\0') continue;
    if (std::strspn(name + length + 1, "0123456789") == std::strlen(name + length + 1)) remove_if_trusted(name);
  }
  closedir(dir);
}

bool sync_directory(const Site& site) {
  if (injected(Call::kSyncDirectory)) return false;
  if (fsync(site.directory) == 0) return true;
  // A file system that cannot sync a directory on its own keeps its entries
  // as it does; a directory held without reading it cannot be synced but
  // through the whole file system.
  if (errno == EINVAL || errno == ENOTSUP || errno == ENOSYS) return true;
  if (errno != EBADF) return fail_with_errno(false);
  const int file = openat(site.directory, name_of(site), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
  const bool synced = file >= 0 && syncfs(file) == 0;
  if (file >= 0) ::close(file);
  return synced || fail_with_errno(false);
}

#if defined(__linux__)
namespace {
constexpr const char* kJournalMark = "user.tarnwick.journal";
}

bool mark_journal(Handle file, const Site* journal) {
  if (injected(Call::kMarkJournal)) return false;
  if (journal == nullptr) {
    return fremovexattr(fd_of(file), kJournalMark) == 0 || errno == ENODATA || fail_with_errno(false);
  }
  char path[PATH_MAX + NAME_MAX];
  const int length = snprintf(path, sizeof path, "%s%s", journal->path.c_str(), companion_suffix(Companion::kJournal));
  if (length < 0 || static_cast<std::size_t>(length) >= sizeof path) return fail_with(kErrorPathNotFound, false);
  return fsetxattr(fd_of(file), kJournalMark, path, static_cast<std::size_t>(length), 0) == 0 || fail_with_errno(false);
}

bool marked_journal(const Site& site, Site& journal) {
  const int fd = openat(site.directory, name_of(site), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return false;
  char path[PATH_MAX + NAME_MAX];
  const ssize_t length = fgetxattr(fd, kJournalMark, path, sizeof path - 1);
  ::close(fd);
  if (length <= 0) return false;
  const std::string_view marked(path, static_cast<std::size_t>(length));
  const std::string_view suffix = companion_suffix(Companion::kJournal);
  const std::size_t slash = marked.rfind('/');
  if (!marked.ends_with(suffix) || slash == std::string_view::npos || marked.size() - suffix.size() <= slash + 1) {
    return false;
  }
  const int held = open_directory(std::string(marked.substr(0, slash == 0 ? 1 : slash)).c_str());
  if (held < 0) return false;
  journal.path.assign(marked.substr(0, marked.size() - suffix.size()));
  journal.name_at = slash + 1;
  journal.directory = held;
  return true;
}
#else
bool mark_journal(Handle, const Site*) { return fail_with(kErrorAccessDenied, false); }
bool marked_journal(const Site&, Site&) { return false; }
#endif

}  // namespace tarnwick::platform
