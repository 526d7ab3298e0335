// POSIX backend: the steps of a save, from opening the file for writing to
// making it durable; the temporary file that takes its place is
// temporary.cc's.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#if defined(__linux__)
#include <linux/magic.h>
#include <sys/vfs.h>
#include <sys/xattr.h>
#endif

#include <algorithm>
#include <cstring>

#include "platform/posix/system.h"

namespace tarnwick::platform {
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

AttributeNames g_wanted_names;  // the target's
AttributeNames g_had_names;     // the temporary file's
char g_attribute_value[65536];

// Gives `to` the mode and every extended attribute of `from`, and no other.
bool copy_attributes(int from, int to, mode_t mode) {
  if (!g_wanted_names.read(from) || !g_had_names.read(to)) return fail_with_errno(false);
  // What the new file got from its directory (a default access list, a label)
  // and the target lacks goes first; then the mode; then the target's own
  // attributes, among them an access list that sets the group bits as before.
  for (const char* name = g_had_names.bytes; name < g_had_names.bytes + g_had_names.length;
       name += std::strlen(name) + 1) {
    if (!g_wanted_names.holds(name) && fremovexattr(to, name) != 0) return fail_with_errno(false);
  }
  if (fchmod(to, mode) != 0) return fail_with_errno(false);
  for (const char* name = g_wanted_names.bytes; name < g_wanted_names.bytes + g_wanted_names.length;
       name += std::strlen(name) + 1) {
    // The mark of a change to that file, not to this one.
    if (std::strcmp(name, kMarkAttribute) == 0 || std::strcmp(name, kEarlierMarkAttribute) == 0) continue;
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

bool names_file(const Site& site, Handle file) {
  struct stat named {};
  struct stat open {};
  return fstatat(site.directory, name_of(site), &named, AT_SYMLINK_NOFOLLOW) == 0 && fstat(fd_of(file), &open) == 0 &&
         named.st_dev == open.st_dev && named.st_ino == open.st_ino;
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

bool copy_metadata(Handle target, Handle temporary) {
  if (injected(Call::kCopyMetadata)) return false;
  const int from = fd_of(target);
  const int to = fd_of(temporary);
  struct stat wanted {};
  struct stat have {};
  if (fstat(from, &wanted) != 0 || fstat(to, &have) != 0) return fail_with_errno(false);
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

#if defined(__linux__)
bool copy_range(Handle from, std::uint64_t offset, Handle to, std::string_view bytes) {
  if (injected(Call::kCopyRange)) return false;
  // Only whole blocks at the same place in a block of both files can be
  // shared; anything else the file system would copy, which ext4 does more
  // slowly than writing from memory.
  struct statfs disk {};
  const bool shares = fstatfs(fd_of(to), &disk) == 0 && disk.f_bsize > 0 &&
                      (disk.f_type == XFS_SUPER_MAGIC || disk.f_type == BTRFS_SUPER_MAGIC);
  const auto block = static_cast<std::uint64_t>(disk.f_bsize);
  const off_t at = shares ? lseek(fd_of(to), 0, SEEK_CUR) : -1;
  if (at >= 0 && (offset - static_cast<std::uint64_t>(at)) % block == 0) {
    const std::size_t head = std::min<std::uint64_t>(bytes.size(), (block - offset % block) % block);
    if (!write_fully(fd_of(to), bytes.substr(0, head))) return false;
    bytes.remove_prefix(head);
    auto in = static_cast<loff_t>(offset + head);
    for (std::size_t shared = bytes.size() / block * block; shared > 0;) {
      const ssize_t n = copy_file_range(fd_of(from), &in, fd_of(to), nullptr, shared, 0);
      if (n > 0) {
        bytes.remove_prefix(static_cast<std::size_t>(n));
        shared -= static_cast<std::size_t>(n);
      } else if (n == 0) {  // the file ended before the bytes it held when loaded
        return fail_with(kErrorGenFailure, false);
      } else if (errno == EXDEV || errno == EOPNOTSUPP || errno == ENOSYS || errno == EINVAL || errno == EPERM) {
        break;  // refused (EPERM: by a sandbox's filter): what is left is written
      } else if (errno != EINTR) {
        return fail_with_errno(false);
      }
    }
  }
  return write_fully(fd_of(to), bytes);
}

void start_write_back(Handle handle) { sync_file_range(fd_of(handle), 0, 0, SYNC_FILE_RANGE_WRITE); }
#else
bool copy_range(Handle, std::uint64_t, Handle to, std::string_view bytes) {
  return !injected(Call::kCopyRange) && write_fully(fd_of(to), bytes);
}

void start_write_back(Handle) {}
#endif

bool truncate(Handle handle, std::int64_t size) {
  if (injected(Call::kTruncate)) return false;
  return ftruncate(fd_of(handle), size) == 0 || fail_with_errno(false);
}

#if defined(__linux__)
constexpr const char* kCapability = "security.capability";

bool capability_of(Handle file, Capability& out) {
  if (injected(Call::kCapability)) return false;
  // Only the administrator may give a file its capability back; from anyone
  // else's save the system takes it, as from any writer's.
  out.size = 0;
  if (geteuid() != 0) return true;
  const ssize_t size = fgetxattr(fd_of(file), kCapability, out.bytes, sizeof out.bytes);
  out.size = size > 0 ? static_cast<std::size_t>(size) : 0;
  return size >= 0 || errno == ENODATA || errno == ENOTSUP || fail_with_errno(false);
}

bool restore_capability(Handle file, const Capability& capability) {
  return capability.size == 0 || fsetxattr(fd_of(file), kCapability, capability.bytes, capability.size, 0) == 0 ||
         fail_with_errno(false);
}
#else
bool capability_of(Handle, Capability& out) { return out.size = 0, true; }
bool restore_capability(Handle, const Capability&) { return true; }
#endif

}  // namespace tarnwick::platform
