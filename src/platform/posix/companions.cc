// POSIX backend: the files a run keeps beside the file it edits, reached
// through the directory held for the run: their names, what a run judges
// them by, and the temporary files dead runs left.
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <sys/stat.h>

#include <cstring>
#include <string>

#include "platform/posix/system.h"

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

bool owned_by_administrator(Handle handle) {
  struct stat info {};
  return fstat(fd_of(handle), &info) == 0 && info.st_uid == 0;
}

}  // namespace tarnwick::platform
