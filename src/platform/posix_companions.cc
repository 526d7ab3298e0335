// POSIX backend: the files a run keeps beside the file it edits, reached
// through the directory held for the run, and who is trusted with them.
#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>
#if defined(__linux__)
#include <sys/xattr.h>
#endif

#include <sys/stat.h>
#include <sys/sysmacros.h>

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

CompanionFacts facts_of(const struct stat& made, const struct stat& target) {
  CompanionFacts facts;
  facts.plain_file = S_ISREG(made.st_mode);
  facts.one_name = made.st_nlink == 1;
  facts.by_file_owner = made.st_uid == target.st_uid;
  facts.by_administrator = made.st_uid == 0;
  facts.by_this_user = made.st_uid == geteuid();
  facts.others_may_write = (made.st_mode & 022) != 0;
  facts.others_may_open = (made.st_mode & 0777 & ~lock_mode(target)) != 0;
  return facts;
}

namespace {

// What tells a journal from any file made later in its place, whatever is
// done to it meanwhile: its device, number and birth (or, where the system
// keeps no birth, last change).
struct Identity {
  unsigned long long device = 0, file = 0;
  long long born = 0;
  bool operator==(const Identity&) const = default;
};

bool identity_of(int fd, Identity& out) {
#ifdef STATX_BTIME
  struct statx info {};
  if (statx(fd, "", AT_EMPTY_PATH, STATX_BASIC_STATS | STATX_BTIME, &info) != 0) return false;
  const statx_timestamp& born = (info.stx_mask & STATX_BTIME) != 0 ? info.stx_btime : info.stx_ctime;
  out = {makedev(info.stx_dev_major, info.stx_dev_minor), info.stx_ino,
         static_cast<long long>(born.tv_sec) * 1000000000 + born.tv_nsec};
#else
  struct stat info {};
  if (fstat(fd, &info) != 0) return false;
  out = {info.st_dev, info.st_ino, static_cast<long long>(info.st_ctim.tv_sec) * 1000000000 + info.st_ctim.tv_nsec};
#endif
  return true;
}

// The mark of a save in progress on a file: the journal's path, a newline,
// then its identity.
struct Mark {
  std::string path;
  Identity journal;
};

#if defined(__linux__)
constexpr const char* kJournalMark = "user.tarnwick.journal";

// 0 when the file at `site` bears no mark, -1 when it bears one that is no
// mark of a run's, 1 when `mark` holds it.
int read_mark(const Site& site, Mark& mark) {
  const int fd = openat(site.directory, name_of(site), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return 0;
  char value[PATH_MAX + NAME_MAX + 64];
  const ssize_t length = fgetxattr(fd, kJournalMark, value, sizeof value - 1);
  ::close(fd);
  if (length <= 0) return 0;
  const std::string_view text(value, static_cast<std::size_t>(length));
  const std::size_t newline = text.rfind('\n');  // a path may hold newlines of its own
  value[length] = '\0';
  if (newline == std::string_view::npos ||
      std::sscanf(value + newline + 1, "%llu %llu %lld", &mark.journal.device, &mark.journal.file, &mark.journal.born) != 3) {
    return -1;
  }
  mark.path.assign(text.substr(0, newline));
  return 1;
}
#else
int read_mark(const Site&, Mark&) { return 0; }
#endif

}  // namespace

Handle create_companion(const Site& site, Companion companion) {
  if (injected(Call::kOpenCompanion)) return kInvalidHandle;
  char name[NAME_MAX + 1];
  if (!companion_name(site, companion, name)) return kInvalidHandle;
  const int flags = O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
  int fd = openat(site.directory, name, flags, 0600);
  if (fd < 0 && errno == EEXIST) {
    // A journal a run trusted with the file may have left stays: it may hold
    // the only old text. So may a file of a run this one does not know,
    // which is set aside; a link or a directory is no run's, and goes.
    bool trusted = false;
    const int found = open_journal(site, site, trusted);
    struct stat info {};
    const bool no_file = found < 0 ? fstatat(site.directory, name, &info, AT_SYMLINK_NOFOLLOW) == 0 && !S_ISREG(info.st_mode)
                                   : fstat(found, &info) == 0 && !S_ISREG(info.st_mode);
    if (found >= 0) ::close(found);
    if (found >= 0 && trusted) return fail_with(kErrorAccessDenied, kInvalidHandle);
    const bool gone = no_file ? unlinkat(site.directory, name, 0) == 0 || unlinkat(site.directory, name, AT_REMOVEDIR) == 0
                              : companion == Companion::kJournal && set_aside_journal(site);
    if (gone) fd = openat(site.directory, name, flags, 0600);
  }
  if (fd < 0) return fail_with_errno(kInvalidHandle);
  struct stat target {};
  // Readable by those who may read the file, which it copies, so that every
  // writer's run can judge it.
  if (companion == Companion::kJournal && fstatat(site.directory, name_of(site), &target, 0) == 0) {
    fchmod(fd, 0600 | (target.st_mode & 044));
  }
  publish_run_file(companion, site.directory, name);
  return fd;
}

Handle open_journal(const Site& journal, const Site& file, bool& trusted) {
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
  Mark mark;
  Identity mine;
  facts.vouched_by_mark = read_mark(file, mark) == 1 && mark.path == journal.path + companion_suffix(Companion::kJournal) &&
                          identity_of(fd, mine) && mark.journal == mine;
  trusted = trusted_companion(Companion::kJournal, facts);
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
    if (fstatat(site.directory, name, &info, AT_SYMLINK_NOFOLLOW) == 0 &&
        trusted_companion(Companion::kTemporary, facts_of(info, target))) {
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
  return fstatat(site.directory, name_of(site), &target, 0) == 0 ? owner_or_administrator(geteuid(), target)
                                                                  : geteuid() == 0;
}

bool owned_by_administrator(Handle handle) {
  struct stat info {};
  return fstat(fd_of(handle), &info) == 0 && info.st_uid == 0;
}

#if defined(__linux__)
bool mark_journal(Handle file, const Site* journal, Handle made) {
  if (injected(Call::kMarkJournal)) return false;
  if (journal == nullptr) {
    return fremovexattr(fd_of(file), kJournalMark) == 0 || errno == ENODATA || fail_with_errno(false);
  }
  Identity identity;
  if (!identity_of(fd_of(made), identity)) return fail_with_errno(false);
  char value[PATH_MAX + NAME_MAX + 64];
  const int length = snprintf(value, sizeof value, "%s%s\n%llu %llu %lld", journal->path.c_str(),
                              companion_suffix(Companion::kJournal), identity.device, identity.file, identity.born);
  if (length < 0 || static_cast<std::size_t>(length) >= sizeof value) return fail_with(kErrorPathNotFound, false);
  return fsetxattr(fd_of(file), kJournalMark, value, static_cast<std::size_t>(length), 0) == 0 || fail_with_errno(false);
}

Marked marked_journal(const Site& site, Site& journal) {
  Mark mark;
  const int read = read_mark(site, mark);
  if (read <= 0) return Marked::kNone;  // no mark, or one that names nothing a run made
  const std::string_view marked = mark.path;
  const std::string_view suffix = companion_suffix(Companion::kJournal);
  const std::size_t slash = marked.rfind('/');
  if (!marked.ends_with(suffix) || slash == std::string_view::npos || marked.size() - suffix.size() <= slash + 1) {
    return Marked::kNone;
  }
  const int held = open_directory(std::string(marked.substr(0, slash == 0 ? 1 : slash)).c_str());
  // A directory that is gone took the journal with it; one this user may not
  // enter keeps a journal out of its reach.
  if (held < 0) return errno == ENOENT || errno == ENOTDIR ? Marked::kNone : Marked::kOutOfReach;
  journal.path.assign(marked.substr(0, marked.size() - suffix.size()));
  journal.name_at = slash + 1;
  journal.directory = held;
  return Marked::kFound;
}
#else
bool mark_journal(Handle, const Site*, Handle) { return fail_with(kErrorAccessDenied, false); }
Marked marked_journal(const Site&, Site&) { return Marked::kNone; }
#endif

}  // namespace tarnwick::platform
