// POSIX backend: where a file lives, found once, and what tells one state
// of it from another.
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "platform/posix.h"

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

}  // namespace tarnwick::platform
