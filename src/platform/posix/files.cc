// POSIX backend: opening, reading and writing files.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "platform/posix/system.h"

namespace tarnwick::platform {
namespace {

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

}  // namespace

bool write_fully(int fd, std::string_view bytes, bool quietly) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return fail_with_errno(false);
    }
    if (n == 0) return quietly || fail_with(kErrorGenFailure, false);
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

bool is_existing_file(const char* path) {
  if (injected(Call::kIsExistingFile)) return false;
  std::string found = path;
  if (found.find_first_of("*?", found.rfind('/') + 1) != std::string::npos) {
    found = first_wildcard_match(found);
    if (found.empty()) return false;
  }
  struct stat info {};
  return stat(found.c_str(), &info) == 0 && !S_ISDIR(info.st_mode) && fits_dos_date(info.st_mtime);
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

bool write(Handle handle, std::string_view bytes) {
  return !injected(Call::kWrite) && write_fully(fd_of(handle), bytes, false);
}

bool write_output(Handle handle, std::string_view bytes) {
  return !injected(Call::kWrite) && write_fully(fd_of(handle), bytes, true);
}

void close(Handle handle) {
  if (injected(Call::kClose)) return;
  ::close(fd_of(handle));
}

}  // namespace tarnwick::platform
