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
#include <string>

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

// The mark of a save in progress on a file: the journal's path, then its
// device, number and change time once written.
struct Mark {
  char path[PATH_MAX + NAME_MAX];
  std::size_t length = 0;
  unsigned long long device = 0, file = 0;
  long long changed = 0;
};

long long change_time(const struct stat& info) {
  return static_cast<long long>(info.st_ctim.tv_sec) * 1000000000 + info.st_ctim.tv_nsec;
}

#if defined(__linux__)
constexpr const char* kJournalMark = "user.tarnwick.journal";

bool read_mark(const Site& site, Mark& mark) {
  const int fd = openat(site.directory, name_of(site), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return false;
  char value[sizeof mark.path + 64];
  const ssize_t length = fgetxattr(fd, kJournalMark, value, sizeof value - 1);
  ::close(fd);
  if (length <= 0) return false;
  value[length] = '\0';
  const char* end = static_cast<const char*>(std::memchr(value, '\n', static_cast<std::size_t>(length)));
  if (end == nullptr || static_cast<std::size_t>(end - value) >= sizeof mark.path) return false;
  mark.length = static_cast<std::size_t>(end - value);
  std::memcpy(mark.path, value, mark.length);
  mark.path[mark.length] = '\0';
  return std::sscanf(end + 1, "%llu %llu %lld", &mark.device, &mark.file, &mark.changed) == 3;
}
#else
bool read_mark(const Site&, Mark&) { return false; }
#endif

// True for a plain file with one name that nobody but its owner may change.
bool private_file(const struct stat& info) {
  return S_ISREG(info.st_mode) && info.st_nlink == 1 && (info.st_mode & 077) == 0;
}

// True when `fd`, a companion of the file at `site`, may have been left by a
// run trusted with the file: a private file, made by one who may write the
// file or by this user, or the very journal the file's mark names, which a
// writer of the file made. What others put there is none of the run's
// business.
bool trusted(const Site& site, Companion companion, int fd) {
  struct stat info {};
  struct stat target {};
  if (fstat(fd, &info) != 0 || fstatat(site.directory, name_of(site), &target, 0) != 0 || !private_file(info)) {
    return false;
  }
  if (info.st_uid == geteuid() || made_by_writer(info, target, site.directory)) return true;
  Mark mark;
  return companion == Companion::kJournal && read_mark(site, mark) &&
         std::string_view(mark.path, mark.length) == site.path + companion_suffix(companion) &&
         mark.device == info.st_dev && mark.file == info.st_ino && mark.changed == change_time(info);
}

}  // namespace

Handle open_companion(const Site& site, Companion companion, bool create) {
  if (injected(Call::kOpenCompanion)) return kInvalidHandle;
  char name[NAME_MAX + 1];
  // A name too long to make is one that no run can have left either.
  if (!companion_name(site, companion, name)) return fail_with(kErrorFileNotFound, kInvalidHandle);
  const int existing = O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC;
  if (create) {
    const int flags = O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
    int fd = openat(site.directory, name, flags, 0600);
    if (fd < 0 && errno == EEXIST) {
      // A companion a run may have left stays: it may hold the only old text.
      // So may a file of a run this one does not know, which is set aside;
      // a link or a directory is no run's, and goes.
      const int found = openat(site.directory, name, existing);
      struct stat info {};
      const bool keep = found >= 0 && trusted(site, companion, found);
      const bool no_file = found < 0 ? errno == ELOOP : fstat(found, &info) == 0 && !S_ISREG(info.st_mode);
      if (found >= 0) ::close(found);
      if (keep) return fail_with(kErrorAccessDenied, kInvalidHandle);
      const bool gone = no_file ? unlinkat(site.directory, name, 0) == 0 || unlinkat(site.directory, name, AT_REMOVEDIR) == 0
                                : companion == Companion::kJournal && set_aside_journal(site);
      if (gone) fd = openat(site.directory, name, flags, 0600);
    }
    if (fd < 0) return fail_with_errno(kInvalidHandle);
    publish_run_file(companion, site.directory, name);
    return fd;
  }
  const int fd = openat(site.directory, name, existing);
  // A link in its place was not made by a run.
  if (fd < 0) return errno == ELOOP ? fail_with(kErrorFileNotFound, kInvalidHandle) : fail_with_errno(kInvalidHandle);
  if (!trusted(site, companion, fd)) {
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

bool runs_as_owner(const Site& site) {
  struct stat target {};
  return geteuid() == 0 || (fstatat(site.directory, name_of(site), &target, 0) == 0 && target.st_uid == geteuid());
}

#if defined(__linux__)
bool mark_journal(Handle file, const Site* journal, const FileStamp* made) {
  if (injected(Call::kMarkJournal)) return false;
  if (journal == nullptr) {
    return fremovexattr(fd_of(file), kJournalMark) == 0 || errno == ENODATA || fail_with_errno(false);
  }
  char value[PATH_MAX + NAME_MAX + 64];
  const int length = snprintf(value, sizeof value, "%s%s\n%llu %llu %lld", journal->path.c_str(),
                              companion_suffix(Companion::kJournal), static_cast<unsigned long long>(made->device),
                              static_cast<unsigned long long>(made->file), static_cast<long long>(made->changed));
  if (length < 0 || static_cast<std::size_t>(length) >= sizeof value) return fail_with(kErrorPathNotFound, false);
  return fsetxattr(fd_of(file), kJournalMark, value, static_cast<std::size_t>(length), 0) == 0 || fail_with_errno(false);
}

bool marked_journal(const Site& site, Site& journal) {
  Mark mark;
  if (!read_mark(site, mark)) return false;
  const std::string_view marked(mark.path, mark.length);
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
  // Another file's journal is none of this run's business: that file's runs
  // do not wait for this one.
  struct stat named {};
  struct stat mine {};
  if (fstatat(held, name_of(journal), &named, 0) == 0 && fstatat(site.directory, name_of(site), &mine, 0) == 0 &&
      named.st_dev == mine.st_dev && named.st_ino == mine.st_ino) {
    return true;
  }
  ::close(held);
  return false;
}
#else
bool mark_journal(Handle, const Site*, const FileStamp*) { return fail_with(kErrorAccessDenied, false); }
bool marked_journal(const Site&, Site&) { return false; }
#endif

}  // namespace tarnwick::platform
