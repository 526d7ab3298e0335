// Win32 backend: files, the save's steps, and the lock between runs.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/win32.h"

namespace tarnwick::platform {
namespace {

// The one temporary file of a save in progress (main thread only; the console
// handler reads the run's files); empty when there is none.
char g_temporary_path[kRunFilePath] = "";

// Writes all of the bytes. A write the system takes without a byte ends it:
// a failure, or with `quietly` a success that drops the rest.
bool write_fully(HANDLE handle, const char* data, std::size_t size, bool quietly = false) {
  while (size > 0) {
    const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(size, 1u << 30));
    DWORD written = 0;
    if (!WriteFile(handle, data, chunk, &written, nullptr)) return fail_with_system_error(false);
    if (written == 0) return quietly || fail_with(static_cast<ErrorCode>(ERROR_WRITE_FAULT), false);
    data += written;
    size -= written;
  }
  return true;
}

}  // namespace

// The text after the last backslash (or slash) of a path; a backslash that is
// the second byte of a double-byte character does not count.
const char* file_name_part(const char* path) {
  const char* name = path;
  for (const char* p = path; *p != '\0'; ++p) {
    if (IsDBCSLeadByte(static_cast<BYTE>(*p)) && p[1] != '\0') {
      ++p;
    } else if (*p == '\\' || *p == '/') {
      name = p + 1;
    }
  }
  return name;
}

// ---- Files ---------------------------------------------------------------------

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

namespace {

bool write_all(Handle handle, std::string_view bytes, bool quietly) {
  if (injected(Call::kWrite)) return false;
  return write_fully(native(handle), bytes.data(), bytes.size(), quietly);
}

}  // namespace

bool write(Handle handle, std::string_view bytes) { return write_all(handle, bytes, false); }

bool write_output(Handle handle, std::string_view bytes) { return write_all(handle, bytes, true); }

void close(Handle handle) {
  if (injected(Call::kClose)) return;
  CloseHandle(native(handle));
}

// ---- Where a file lives -----------------------------------------------------------

// The final file behind every link; where nothing is there this instant, the
// full path as named: a replace by another run leaves the name empty for a
// moment, and the run must still wait for its lock.
bool locate(const char* path, Site& site) {
  if (injected(Call::kLocate)) return false;
  char full[MAX_PATH * 2];
  DWORD length = 0;
  const HANDLE file = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file != INVALID_HANDLE_VALUE) {
    length = GetFinalPathNameByHandleA(file, full, sizeof full, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    CloseHandle(file);
  }
  const char* start = full;
  if (length > 0 && length < sizeof full) {
    // "\\?\C:\..." is "C:\...", "\\?\UNC\server\..." is "\\server\...".
    if (std::strncmp(full, "\\\\?\\UNC\\", 8) == 0) {
      start = full + 6;
      full[6] = '\\';
    } else if (std::strncmp(full, "\\\\?\\", 4) == 0) {
      start = full + 4;
    }
  } else {
    length = GetFullPathNameA(path, sizeof full, full, nullptr);
    if (length == 0 || length >= sizeof full) return fail_with_system_error(false);
  }
  site.path = start;
  const char* base = site.path.c_str();
  site.name_at = static_cast<std::size_t>(file_name_part(base) - base);
  site.directory = kInvalidHandle;
  return true;
}

bool stamp(Handle handle, FileStamp& out) {
  if (injected(Call::kStamp)) return false;
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(native(handle), &info)) return fail_with_system_error(false);
  out.device = info.dwVolumeSerialNumber;
  out.file = (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  out.size = (static_cast<std::uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
  out.modified = static_cast<std::int64_t>((static_cast<std::uint64_t>(info.ftLastWriteTime.dwHighDateTime) << 32) |
                                           info.ftLastWriteTime.dwLowDateTime);
  out.links = info.nNumberOfLinks;
  return true;
}

namespace {

bool companion_path(const Site& site, Companion companion, char (&out)[MAX_PATH * 2 + 32]) {
  const int written = std::snprintf(out, sizeof out, "%s%s", site.path.c_str(), companion_suffix(companion));
  return (written > 0 && static_cast<std::size_t>(written) < sizeof out) || fail_with(kErrorPathNotFound, false);
}

}  // namespace

Handle create_companion(const Site& site, Companion companion) {
  if (injected(Call::kOpenCompanion)) return kInvalidHandle;
  char path[MAX_PATH * 2 + 32];
  if (!companion_path(site, companion, path)) return kInvalidHandle;
  const HANDLE file = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return fail_with_system_error(kInvalidHandle);
  publish_run_file(companion, path);
  return handle_of(file);
}

Handle open_journal(const Site& journal, const Site&, bool& trusted) {
  if (injected(Call::kOpenCompanion)) return kInvalidHandle;
  trusted = true;
  char path[MAX_PATH * 2 + 32];
  if (!companion_path(journal, Companion::kJournal, path)) return kInvalidHandle;
  const HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return fail_with_system_error(kInvalidHandle);
  return handle_of(file);
}

bool remove_companion(const Site& site, Companion companion) {
  if (injected(Call::kRemoveCompanion)) return false;
  char path[MAX_PATH * 2 + 32];
  if (!companion_path(site, companion, path)) return false;
  withdraw_run_file(companion);
  return DeleteFileA(path) || GetLastError() == ERROR_FILE_NOT_FOUND || fail_with_system_error(false);
}

bool set_aside_journal(const Site& site) {
  if (injected(Call::kSetAside)) return false;
  char path[MAX_PATH * 2 + 32];
  if (!companion_path(site, Companion::kJournal, path)) return false;
  for (int n = 1; n < 1000; ++n) {
    char aside[MAX_PATH * 2 + 48];
    std::snprintf(aside, sizeof aside, "%s.%d", path, n);
    // Without MOVEFILE_REPLACE_EXISTING: an earlier journal set aside stays.
    if (MoveFileExA(path, aside, MOVEFILE_WRITE_THROUGH)) return true;
    if (GetLastError() != ERROR_ALREADY_EXISTS && GetLastError() != ERROR_FILE_EXISTS) return fail_with_system_error(false);
  }
  return fail_with(kErrorAccessDenied, false);
}

void remove_leftovers(const Site& site) {
  char pattern[MAX_PATH * 2 + 32];
  if (!companion_path(site, Companion::kTemporary, pattern)) return;
  DeleteFileA(pattern);
  // Those named after their process.
  std::strcat(pattern, "-*");
  WIN32_FIND_DATAA found;
  const HANDLE search = FindFirstFileA(pattern, &found);
  if (search == INVALID_HANDLE_VALUE) return;
  const std::string directory = site.path.substr(0, site.name_at);
  const std::size_t number_at = std::strlen(pattern) - 1 - site.name_at;  // after the "-"
  do {
    const char* number = found.cFileName + std::min(number_at, std::strlen(found.cFileName));
    if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 && *number != '\0' &&
        std::strspn(number, "0123456789") == std::strlen(number)) {
      DeleteFileA((directory + found.cFileName).c_str());
    }
  } while (FindNextFileA(search, &found));
  FindClose(search);
}

// Directory entries are made durable with the file's own data.
bool sync_directory(const Site&) { return !injected(Call::kSyncDirectory); }

// A new file inherits its directory's security, so a journal is known by
// where it stands; runs through every name of a file share its named mutex.
bool runs_as_owner(const Site&) { return true; }
bool owned_by_administrator(Handle) { return false; }
bool mark_journal(Handle, const Site*, Handle) { return fail_with(kErrorAccessDenied, false); }
Marked marked_journal(const Site&, Site&) { return Marked::kNone; }

// ---- Replacing a file's content ------------------------------------------------

Handle open_for_update(const Site& site) {
  if (injected(Call::kOpenForUpdate)) return kInvalidHandle;
  // The read-only attribute is honoured before anything is opened for
  // writing, for every user: it is never cleared.
  const DWORD attributes = GetFileAttributesA(site.path.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0) {
    return fail_with(kErrorAccessDenied, kInvalidHandle);
  }
  const HANDLE file = CreateFileA(site.path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return fail_with_system_error(kInvalidHandle);
  return handle_of(file);
}

// A new file inherits its directory's security, as the hosts file does.
bool adopt_owner(Handle, Handle) { return !injected(Call::kAdoptOwner); }

Handle create_temporary(const Site& site) {
  if (injected(Call::kCreateTemporary)) return kInvalidHandle;
  char path[MAX_PATH * 2 + 32];
  if (!companion_path(site, Companion::kTemporary, path)) return kInvalidHandle;
  if (!append_process_number(path, sizeof path, GetCurrentProcessId())) return kInvalidHandle;
  const HANDLE file = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return fail_with_system_error(kInvalidHandle);
  std::memcpy(g_temporary_path, path, std::strlen(path) + 1);
  publish_run_file(Companion::kTemporary, path);
  return handle_of(file);
}

// ReplaceFileA keeps the target's security and attributes.
bool copy_metadata(Handle, Handle) { return !injected(Call::kCopyMetadata); }

bool sync(Handle handle) {
  if (injected(Call::kSync)) return false;
  return FlushFileBuffers(native(handle)) != 0 || fail_with_system_error(false);
}

namespace {

bool move_file(const char* from, const char* to) {
  if (injected(Call::kMoveFile)) return false;
  return MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) || fail_with_system_error(false);
}

// The attributes a file keeps across a replace, whatever the system does.
constexpr DWORD kKeptAttributes = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                                  FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

}  // namespace

bool replace_with_temporary(const Site& site, Handle& temporary) {
  // The system will not replace with a file that is still open.
  CloseHandle(native(temporary));
  temporary = kInvalidHandle;
  const char* target = site.path.c_str();
  char backup[MAX_PATH * 2 + 32];
  if (!companion_path(site, Companion::kBackup, backup)) return false;
  const DWORD attributes = GetFileAttributesA(target);
  DeleteFileA(backup);  // left by a run that died in the middle of a replace
  ErrorCode error = 0;
  if (injected(Call::kReplace)) {
    error = last_error();
  } else if (!ReplaceFileA(target, g_temporary_path, backup, REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr)) {
    error = static_cast<ErrorCode>(GetLastError());
  }
  if (error != 0) {
    // Refused before the old file left its name: nothing has changed.
    if (GetFileAttributesA(target) != INVALID_FILE_ATTRIBUTES) return fail_with(error, false);
    // The old file has gone to the backup name: the new text takes the name,
    // or else the old text comes back to it.
    if (!move_file(g_temporary_path, target)) {
      move_file(backup, target);
      return fail_with(error, false);
    }
  }
  withdraw_run_file(Companion::kTemporary);
  g_temporary_path[0] = '\0';
  DeleteFileA(backup);
  // Some systems let the replace drop hidden and system: they come back.
  if (attributes != INVALID_FILE_ATTRIBUTES) {
    const DWORD kept = attributes & kKeptAttributes;
    SetFileAttributesA(target, kept != 0 ? kept : FILE_ATTRIBUTE_NORMAL);
  }
  return true;
}

void discard_temporary() {
  if (g_temporary_path[0] != '\0') {
    withdraw_run_file(Companion::kTemporary);
    DeleteFileA(g_temporary_path);
    g_temporary_path[0] = '\0';
  }
}

bool write_at(Handle handle, std::int64_t offset, std::string_view bytes) {
  if (injected(Call::kWriteAt)) return false;
  LARGE_INTEGER position;
  position.QuadPart = offset;
  if (!SetFilePointerEx(native(handle), position, nullptr, FILE_BEGIN)) return fail_with_system_error(false);
  return write_fully(native(handle), bytes.data(), bytes.size());
}

bool truncate(Handle handle, std::int64_t size) {
  if (injected(Call::kTruncate)) return false;
  LARGE_INTEGER position;
  position.QuadPart = size;
  if (!SetFilePointerEx(native(handle), position, nullptr, FILE_BEGIN) || !SetEndOfFile(native(handle))) {
    return fail_with_system_error(false);
  }
  return true;
}

// Windows keeps nothing that writing a file takes away.
bool capability_of(Handle, Capability& out) { return out.size = 0, !injected(Call::kCapability); }
bool restore_capability(Handle, const Capability&) { return true; }

// ---- Serialising runs ------------------------------------------------------------

// A named mutex per file, so that the file's own share modes stay as they are
// for other programs. The name comes from the final path, in upper case, since
// the file system ignores case. It lives in the Global namespace, shared by
// every session, where the process may create it there, and in its session's
// own otherwise. Anyone may hold a named mutex, so it is waited for 10
// seconds at most.
Handle lock_companion(const Site& site) {
  if (injected(Call::kLockCompanion)) return kInvalidHandle;
  std::string full = site.path;
  CharUpperBuffA(full.data(), static_cast<DWORD>(full.size()));
  std::uint64_t hash = 14695981039346656037ull;  // FNV-1a
  for (const char c : full) hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211ull;
  HANDLE mutex = nullptr;
  for (const char* space : {"Global", "Local"}) {
    char name[64];
    std::snprintf(name, sizeof name, "%s\\tarnwick-%016llx", space, static_cast<unsigned long long>(hash));
    mutex = CreateMutexA(nullptr, FALSE, name);
    if (mutex != nullptr) break;
  }
  if (mutex == nullptr) return fail_with_system_error(kInvalidHandle);
  const DWORD waited = WaitForSingleObject(mutex, 10000);
  if (waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED) return handle_of(mutex);
  CloseHandle(mutex);
  return waited == WAIT_TIMEOUT ? fail_with(kErrorSharingViolation, kInvalidHandle)
                                : fail_with_system_error(kInvalidHandle);
}

void unlock_companion(const Site&, Handle lock) {
  ReleaseMutex(native(lock));
  CloseHandle(native(lock));
}

// Every run shares the mutex: the file itself is never locked as well.
Handle lock_itself(const Site&) { return fail_with(kErrorAccessDenied, kInvalidHandle); }
bool others_may_write(const Site&) { return false; }

// ---- Memory -------------------------------------------------------------------------

void* allocate(std::size_t size) {
  if (injected(Call::kAllocate)) return nullptr;
  return std::malloc(size);
}

void release(void* block) { std::free(block); }

// ---- Mapped files -------------------------------------------------------------------

// The file is read instead: reading keeps the share modes exactly as they are.
char* map_file(Handle, std::size_t) { return fail_with(kErrorNotEnoughMemory, nullptr); }
void unmap_file(char*, std::size_t) {}
bool detach_mapping(char*, std::size_t) { return true; }

}  // namespace tarnwick::platform
