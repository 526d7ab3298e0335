// POSIX backend: mapped files, and the blocks a fault handler tells apart.
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/posix/system.h"

namespace tarnwick::platform {

Mapping g_mappings[kMaxMappings];

// Maps every page of a file at once where the system can.
#ifdef MAP_POPULATE
constexpr int kPopulate = MAP_POPULATE;
#else
constexpr int kPopulate = 0;
#endif

char* map_file(Handle handle, std::size_t size) {
  if (injected(Call::kMapFile)) return nullptr;
  void* block = mmap(nullptr, size, PROT_READ, MAP_PRIVATE | kPopulate, fd_of(handle), 0);
  if (block == MAP_FAILED) return fail_with_errno(nullptr);
  for (Mapping& mapping : g_mappings) {
    if (mapping.start == nullptr) {
      mapping = {static_cast<const char*>(block), size};
      break;
    }
  }
  return static_cast<char*>(block);
}

void unmap_file(char* block, std::size_t size) {
  for (Mapping& mapping : g_mappings) {
    if (mapping.start == block) mapping = {};
  }
  munmap(block, size);
}

bool detach_mapping(char* block, std::size_t size, std::size_t from) {
  if (injected(Call::kDetachMapping)) return false;
  const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  from -= from % page;
  if (from >= size) return true;
  // Copied pages of a private mapping still go when the file is cut short
  // below them, so the pages from `from` on are replaced by a copy that is
  // no longer the file's at all.
  const std::size_t length = size - from;
  void* copy = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (copy == MAP_FAILED) return fail_with_errno(false);
  std::memcpy(copy, block + from, length);
  if (mremap(copy, length, length, MREMAP_MAYMOVE | MREMAP_FIXED, block + from) == MAP_FAILED) {
    const int error = errno;
    munmap(copy, length);
    errno = error;
    return fail_with_errno(false);
  }
  return true;
}

}  // namespace tarnwick::platform
