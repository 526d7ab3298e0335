// Win32 backend: opening, reading and writing files.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/win32/system.h"

namespace tarnwick::platform {

bool write_fully(HANDLE handle, std::string_view bytes, bool quietly) {
  while (!bytes.empty()) {
    const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size(), 1u << 30));
    DWORD written = 0;
    if (!WriteFile(handle, bytes.data(), chunk, &written, nullptr)) return fail_with_system_error(false);
    if (written == 0) return quietly || fail_with(static_cast<ErrorCode>(ERROR_WRITE_FAULT), false);
    bytes.remove_prefix(written);
  }
  return true;
}

bool is_existing_file(const char* path) {
  if (injected(Call::kIsExistingFile)) return false;
  WIN32_FIND_DATAA found;
  const HANDLE search = FindFirstFileA(path, &found);
  if (search == INVALID_HANDLE_VALUE) return false;
  FindClose(search);
  if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return false;
  FILETIME local;
  SYSTEMTIME when;
  WORD date = 0;
  WORD time = 0;
  // The DOS range is checked by year as well: not every system's conversion
  // refuses the years after 2107.
  return FileTimeToLocalFileTime(&found.ftLastWriteTime, &local) && FileTimeToSystemTime(&local, &when) &&
         when.wYear >= 1980 && when.wYear <= 2107 && FileTimeToDosDateTime(&local, &date, &time);
}

Handle open_for_reading(const char* path) {
  if (injected(Call::kOpenForReading)) return kInvalidHandle;
  const HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return fail_with_system_error(kInvalidHandle);
  return handle_of(file);
}

std::int64_t seek(Handle handle, std::int64_t distance, SeekFrom from) {
  if (injected(Call::kSeek)) return -1;
  const DWORD method = from == SeekFrom::kBegin ? FILE_BEGIN : from == SeekFrom::kEnd ? FILE_END : FILE_CURRENT;
  SetLastError(NO_ERROR);
  const DWORD position = SetFilePointer(native(handle), static_cast<LONG>(distance), nullptr, method);
  if (position == INVALID_SET_FILE_POINTER && GetLastError() != NO_ERROR) return fail_with_system_error(std::int64_t{-1});
  return position;
}

std::int64_t read(Handle handle, char* buffer, std::size_t size) {
  if (injected(Call::kRead)) return -1;
  std::size_t total = 0;
  while (total < size) {
    const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(size - total, 1u << 30));
    DWORD got = 0;
    if (!ReadFile(native(handle), buffer + total, chunk, &got, nullptr)) return fail_with_system_error(std::int64_t{-1});
    if (got == 0) break;
    total += got;
  }
  return static_cast<std::int64_t>(total);
}

bool write(Handle handle, std::string_view bytes) {
  return !injected(Call::kWrite) && write_fully(native(handle), bytes, false);
}

bool write_output(Handle handle, std::string_view bytes) {
  return !injected(Call::kWrite) && write_fully(native(handle), bytes, true);
}

void close(Handle handle) {
  if (injected(Call::kClose)) return;
  CloseHandle(native(handle));
}
// ---- Mapped files -------------------------------------------------------------------

// The file is read instead: reading keeps the share modes exactly as they are.
char* map_file(Handle, std::size_t) { return fail_with(kErrorNotEnoughMemory, nullptr); }
void unmap_file(char*, std::size_t) {}
bool detach_mapping(char*, std::size_t, std::size_t) { return true; }

}  // namespace tarnwick::platform
