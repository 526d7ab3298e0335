// POSIX backend: where a file lives, found once, and what tells one state
// of it from another.
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <string>

#include "platform/posix/system.h"

namespace tarnwick::platform {

int open_directory(const char* path) {
  const int fd = ::open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  return fd >= 0 || errno != EACCES ? fd : ::open(path, O_PATH | O_DIRECTORY | O_CLOEXEC);
}

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
  const int fd = open_directory(directory.c_str());
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
  out.links = info.st_nlink;
  return true;
}

// The device is left out: its number may change from one mount to the next
// (a loop device, a btrfs subvolume, a disk found in another order after a
// power cut), while the file stays what it was. Where the system keeps no
// birth, the number alone tells.
bool identify(Handle handle, FileIdentity& out) {
  struct statx info {};
  if (statx(fd_of(handle), "", AT_EMPTY_PATH, STATX_INO | STATX_BTIME, &info) != 0) return fail_with_errno(false);
  const bool born = (info.stx_mask & STATX_BTIME) != 0;
  out = {0, info.stx_ino, born ? static_cast<std::int64_t>(info.stx_btime.tv_sec) * 1000000000 + info.stx_btime.tv_nsec : 0};
  return true;
}

bool site_at(std::string_view path, Site& out) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string_view::npos || slash + 1 == path.size()) return fail_with(kErrorPathNotFound, false);
  const int directory = open_directory(std::string(path.substr(0, slash == 0 ? 1 : slash)).c_str());
  if (directory < 0) return fail_with(errno == ENOENT || errno == ENOTDIR ? kErrorPathNotFound : map_errno(errno), false);
  out.path.assign(path);
  out.name_at = slash + 1;
  out.directory = directory;
  return true;
}

#if defined(__linux__)
namespace {

// Undoes the octal escapes (\\040 for a space, ...) of a path in a mount table.
std::string unescaped(std::string_view field) {
  const auto octal = [&](std::size_t at) { return at < field.size() && field[at] >= '0' && field[at] <= '7'; };
  std::string path;
  for (std::size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && octal(i + 1) && octal(i + 2) && octal(i + 3)) {
      path += static_cast<char>((field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 + (field[i + 3] - '0'));
      i += 3;
    } else {
      path += field[i];
    }
  }
  return path;
}

}  // namespace

bool mounted_elsewhere(const Site& site) {
  struct statx info {};
  if (statx(site.directory, name_of(site), AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT, STATX_INO | STATX_MNT_ID, &info) != 0) {
    return false;
  }
  if ((info.stx_attributes_mask & info.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0) return true;
  // The source of a bind mount: a mount point of the file's file system that
  // is the file itself. The mount table numbers a file system by its
  // superblock, which is not always the number its files show (a btrfs
  // subvolume's), so the number is taken from the mount the file is on.
  struct Table {
    FILE* file = fopen("/proc/self/mountinfo", "re");
    char* line = nullptr;
    std::size_t capacity = 0;
    ~Table() {
      free(line);
      if (file != nullptr) fclose(file);
    }
    // Each line: id, parent's id, major:minor, root within the file system,
    // mount point, ...
    bool next(std::string_view (&field)[5]) {
      if (getline(&line, &capacity, file) <= 0) return false;
      std::string_view fields(line);
      for (std::string_view& f : field) {
        const std::size_t end = fields.find(' ');
        f = fields.substr(0, end);
        fields.remove_prefix(end == std::string_view::npos ? fields.size() : end + 1);
      }
      return true;
    }
  } table;
  if (table.file == nullptr) return false;
  std::string device = std::to_string(info.stx_dev_major) + ":" + std::to_string(info.stx_dev_minor);
  std::string_view field[5];
  if ((info.stx_mask & STATX_MNT_ID) != 0) {
    const std::string mount = std::to_string(info.stx_mnt_id);
    while (table.next(field)) {
      if (field[0] == mount) device = field[2];
    }
    rewind(table.file);
  }
  while (table.next(field)) {
    struct stat point {};
    if (field[2] == device && fstatat(AT_FDCWD, unescaped(field[4]).c_str(), &point, AT_SYMLINK_NOFOLLOW) == 0 &&
        point.st_ino == info.stx_ino && major(point.st_dev) == info.stx_dev_major &&
        minor(point.st_dev) == info.stx_dev_minor) {
      return true;
    }
  }
  return false;
}
#else
bool mounted_elsewhere(const Site&) { return false; }
#endif

}  // namespace tarnwick::platform
