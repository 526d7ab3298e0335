// POSIX backend: the locks that keep runs on one file from overlapping.
//
// Runs through one name share a lock file beside it, open only to those who
// may write the file. A run takes it in attempts: open it, or make it where
// there is none; wait for its lock; check that it still has its name, since a
// holder removes it at its end, and a run that locked a file just removed
// takes the next one instead. Runs through every name then meet on the file
// itself, with a write lock that only a writer can take; a reader can only
// hold them up with a read lock, which they tell from a run's.
#include <fcntl.h>
#include <sys/file.h>
#include <time.h>
#include <unistd.h>

#include "platform/posix/system.h"

namespace tarnwick::platform {
namespace {

// The byte runs lock the file by: far past any end the file can have, where
// no reader of its text locks it.
constexpr off_t kLockByte = 0x7FFFFFFFFFFFFFF0;
// How long a reader's lock on that byte may hold a run up, in all; and how
// often a waiting run tries the lock again.
constexpr long long kReaderWaitNanoseconds = 10'000'000'000;
constexpr long kPauseNanoseconds = 1'000'000;
// Something at the lock file's name that no run made is removed for a new
// lock file this many times at most: a user who keeps putting one back can
// only send the run to the file's own lock, or stop it.
constexpr int kMostRemovals = 3;

// An attempt holds the lock file, finds it gone (its holder removed it: try
// again), finds the name held by something no run made that it cannot clear
// away, or is refused one (this user may not make or open it).
enum class Attempt { kHeld, kGone, kSquatted, kRefused };

// True when `held`, an open file, is still the file that `name` names.
bool still_named(int directory, const char* name, int held) {
  struct stat mine {};
  struct stat named {};
  return fstat(held, &mine) == 0 && fstatat(directory, name, &named, AT_SYMLINK_NOFOLLOW) == 0 &&
         mine.st_dev == named.st_dev && mine.st_ino == named.st_ino;
}

// Removes what holds the lock file's name, a file or a directory that no run
// made, where this user may and has not done so too often.
bool remove_squatter(int directory, const char* name, int& removals) {
  return removals++ < kMostRemovals &&
         (unlinkat(directory, name, 0) == 0 || unlinkat(directory, name, AT_REMOVEDIR) == 0);
}

// One attempt at the lock file `name` beside `target`.
Attempt attempt(const Site& site, const struct stat& target, const char* name, int& removals, int& held) {
  const int directory = site.directory;
  const int flags = O_RDWR | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK;
  // Others only take one the owner or the administrator made: one of their
  // own could not be given to the file's owner, and would hold nobody off.
  const bool may_make = owner_or_administrator(geteuid(), target);
  int fd = may_make ? openat(directory, name, flags | O_CREAT | O_EXCL, 0600) : -1;
  const bool created = fd >= 0;
  const bool existed = !may_make || (!created && errno == EEXIST);
  if (existed) fd = openat(directory, name, flags);
  if (fd < 0) {
    // Its holder removed it meanwhile.
    if (errno == ENOENT) return may_make ? Attempt::kGone : Attempt::kRefused;
    // A link or a directory is no run's. A file this user may not open is a
    // live one of a run this user may not join, where it may not write the
    // file; where it may, it is none of a run's.
    if (errno == ELOOP || errno == EISDIR) {
      return remove_squatter(directory, name, removals) ? Attempt::kGone : Attempt::kSquatted;
    }
    return errno == EACCES && existed && may_make ? Attempt::kSquatted : Attempt::kRefused;
  }
  struct stat info {};
  bool usable = fstat(fd, &info) == 0;
  if (usable && created) {
    // Owned like the file; where this user may not hand it the file's group,
    // the group's writers lock the file itself instead.
    if (info.st_uid != target.st_uid || info.st_gid != target.st_gid) fchown(fd, target.st_uid, target.st_gid);
    usable = fchmod(fd, lock_mode(target)) == 0 && fstat(fd, &info) == 0;
  }
  // Made by someone no run trusts, or open to others: it could be held
  // against the run.
  usable = usable && trusted_companion(Companion::kLock, facts_of(info, target));
  if (!usable) {
    const bool named = still_named(directory, name, fd);
    ::close(fd);
    // Removed meanwhile by its holder: what holds the name now is another
    // run's, and the next attempt finds it.
    if (!named) return Attempt::kGone;
    // One this user made and could not make right: another would be no better.
    if (created) return unlinkat(directory, name, 0), Attempt::kRefused;
    return remove_squatter(directory, name, removals) ? Attempt::kGone : Attempt::kSquatted;
  }
  int locked;
  while ((locked = flock(fd, LOCK_EX)) != 0 && errno == EINTR) {
  }
  if (locked != 0) {  // no locks on this file system
    if (created) unlinkat(directory, name, 0);
    ::close(fd);
    return Attempt::kRefused;
  }
  if (!still_named(directory, name, fd)) {
    ::close(fd);
    return Attempt::kGone;
  }
  held = fd;
  return Attempt::kHeld;
}

}  // namespace

Handle lock_companion(const Site& site) {
  if (injected(Call::kLockCompanion)) return kInvalidHandle;
  struct stat target {};
  if (fstatat(site.directory, name_of(site), &target, AT_SYMLINK_NOFOLLOW) != 0) return fail_with_errno(kInvalidHandle);
  char name[NAME_MAX + 1];
  if (!companion_name(site, Companion::kLock, name)) return kInvalidHandle;
  int removals = 0;
  int held = -1;
  for (;;) {
    switch (attempt(site, target, name, removals, held)) {
      case Attempt::kHeld:
        publish_run_file(Companion::kLock, site, 0);
        return held;
      case Attempt::kGone:
        continue;  // without limit: each holder removes its lock file at its end
      case Attempt::kRefused:
        return fail_with(kErrorAccessDenied, kInvalidHandle);
      case Attempt::kSquatted:
        // Runs that hold the lock file lock the file itself only where others
        // may write it: elsewhere this run could not exclude them.
        return fail_with((target.st_mode & 022) == 0 && target.st_nlink == 1 ? kErrorSharingViolation : kErrorAccessDenied,
                         kInvalidHandle);
    }
  }
}

void unlock_companion(const Site& site, Handle lock) {
  // Removed while still held: a run waiting for it then finds it gone and
  // makes a new one.
  char name[NAME_MAX + 1];
  withdraw_run_file(Companion::kLock);
  if (companion_name(site, Companion::kLock, name)) unlinkat(site.directory, name, 0);
  ::close(fd_of(lock));
}

Handle lock_itself(const Site& site, bool holds_lock_file) {
  if (injected(Call::kLockItself)) return kInvalidHandle;
  // Only a writer may take a write lock, on a descriptor open for writing;
  // the lock belongs to that open file, not to the process, so that closing
  // another descriptor of the file keeps it.
  struct flock lock {};
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  lock.l_start = kLockByte;
  lock.l_len = 1;
  // Where the run may go on without the lock: this user may not write the
  // file (its save will say so), or its file system keeps no such locks. Any
  // other failure may pass, and stops the run as a file held elsewhere does.
  const auto unlocked = [](int error, bool no_locks) {
    return fail_with(error == EACCES || error == EPERM || error == EROFS || no_locks ? map_errno(error) : kErrorSharingViolation,
                     kInvalidHandle);
  };
  timespec since{};
  long long read_locked = 0;  // nanoseconds waited for readers' locks
  for (;;) {
    const int fd = openat(site.directory, name_of(site), O_RDWR | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return unlocked(errno, false);
    for (;;) {
      struct flock held = lock;
      if (fcntl(fd, F_OFD_SETLK, &held) == 0) {
        if (still_named(site.directory, name_of(site), fd)) return fd;
        break;  // replaced meanwhile by a run that saved by renaming: the new file is locked
      }
      if (errno != EAGAIN && errno != EACCES && errno != EINTR) {
        const int error = errno;
        ::close(fd);
        // Where the lock file could be locked, this file system keeps locks:
        // running out of them passes.
        return unlocked(error, error == EINVAL || error == EOPNOTSUPP || error == ENOSYS || (error == ENOLCK && !holds_lock_file));
      }
      held = lock;
      timespec now{};
      clock_gettime(CLOCK_MONOTONIC, &now);
      if (fcntl(fd, F_OFD_GETLK, &held) == 0 && held.l_type == F_RDLCK) {
        // A reader's lock, which anyone who may read the file can take.
        if (read_locked == 0 && since.tv_sec == 0 && holds_lock_file && !others_may_write(site)) {
          ::close(fd);
          return fail_with(kErrorAccessDenied, kInvalidHandle);  // the lock file is enough
        }
        if (since.tv_sec != 0) read_locked += (now.tv_sec - since.tv_sec) * 1'000'000'000LL + (now.tv_nsec - since.tv_nsec);
        if (read_locked >= kReaderWaitNanoseconds) {
          ::close(fd);
          return fail_with(kErrorSharingViolation, kInvalidHandle);
        }
        since = now;
      } else {
        since = {};  // another run's lock: waited for as long as it is held
      }
      const timespec pause{0, kPauseNanoseconds};
      nanosleep(&pause, nullptr);
    }
    ::close(fd);
  }
}

void unlock_itself(Handle lock) { ::close(fd_of(lock)); }

bool others_may_write(const Site& site) {
  struct stat target {};
  return fstatat(site.directory, name_of(site), &target, AT_SYMLINK_NOFOLLOW) != 0 ||
         (target.st_mode & 022) != 0 || target.st_uid != geteuid() || target.st_nlink > 1 || mounted_elsewhere(site);
}

}  // namespace tarnwick::platform
